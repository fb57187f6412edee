// Unicode default lower-case conversion with full mappings (İ becomes "i̇") and the final sigma
// rule; the same tables on every platform, so device matching never depends on the OS locale.
#pragma once

#include <string>
#include <string_view>

namespace brindle {

// Lower-cases UTF-8 text; invalid sequences become U+FFFD.
std::string unicode_lower(std::string_view utf8);

}  // namespace brindle
