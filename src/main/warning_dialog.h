// The blocking warning dialog ("Brindle Receiver", one OK button, warning icon).
#pragma once

#include <string_view>

namespace brindle {

// Shows `text` and returns when the user closed the dialog (at once where none can be shown).
void show_warning_dialog(std::string_view text);

}  // namespace brindle
