// Whole lines of UTF-8 text to the standard streams. On an interactive Windows console the text
// goes through the wide-character interface so "—", "→", "×", "•" and "·" show; redirected
// streams get the UTF-8 bytes unchanged.
#pragma once

#include <string_view>

namespace brindle::console {

// Thread-safe: each call writes its text in one piece.
void write_out(std::string_view text);
void write_err(std::string_view text);

}  // namespace brindle::console
