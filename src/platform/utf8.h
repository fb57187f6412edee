// UTF-8 / UTF-16 conversions. Invalid input never fails: it becomes U+FFFD.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brindle::utf8 {

// Decodes UTF-8 into code points; each maximal invalid subpart becomes one U+FFFD.
std::u32string decode(std::string_view bytes);

// Encodes code points as UTF-8; surrogates and values past U+10FFFF become U+FFFD.
std::string encode(std::u32string_view code_points);

// Whether the bytes are valid UTF-8 as they are.
bool is_valid(std::string_view bytes);

// Bytes as valid UTF-8, invalid sequences replaced by U+FFFD.
std::string sanitize(std::string_view bytes);

std::u16string to_utf16(std::string_view bytes);

// Unpaired surrogates become U+FFFD.
std::string from_utf16(std::u16string_view units);

}  // namespace brindle::utf8
