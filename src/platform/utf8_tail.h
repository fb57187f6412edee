// Where a chunk of UTF-8 must be cut so that a sequence split across two writes stays whole.
#pragma once

#include <cstddef>
#include <string_view>

namespace brindle::utf8 {

// Length of the trailing bytes that start a multi-byte sequence not yet complete: 0 to 3.
// Bytes that can never become valid (stray continuations, bad lead bytes) are not held back.
inline size_t incomplete_tail_length(std::string_view bytes) {
  const size_t size = bytes.size();
  // A sequence is at most 4 bytes, so an unfinished one starts within the last 3.
  for (size_t back = 1; back <= 3 && back <= size; ++back) {
    const auto byte = static_cast<unsigned char>(bytes[size - back]);
    if ((byte & 0xC0) == 0x80) continue;  // continuation byte: keep looking for the lead
    size_t needed = 0;
    if (byte >= 0xC2 && byte <= 0xDF) {
      needed = 2;
    } else if (byte >= 0xE0 && byte <= 0xEF) {
      needed = 3;
    } else if (byte >= 0xF0 && byte <= 0xF4) {
      needed = 4;
    }
    return needed > back ? back : 0;
  }
  return 0;
}

}  // namespace brindle::utf8
