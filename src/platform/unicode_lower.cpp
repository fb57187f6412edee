#include "platform/unicode_lower.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>

#include "platform/utf8.h"

namespace brindle {
namespace {

struct LowerRun {
  char32_t first;
  uint16_t count;
  uint8_t stride;
  int32_t delta;
};

struct LowerMulti {
  char32_t code_point;
  std::array<char32_t, 3> lower;  // zero-terminated when shorter
};

struct CodeRange {
  char32_t first;
  char32_t last;
};

#include "platform/unicode_lower_table.inc"

constexpr char32_t CAPITAL_SIGMA = 0x03A3;
constexpr char32_t SMALL_SIGMA = 0x03C3;
constexpr char32_t FINAL_SIGMA = 0x03C2;

template <size_t N>
bool in_ranges(const CodeRange (&ranges)[N], char32_t cp) {
  const auto it = std::upper_bound(std::begin(ranges), std::end(ranges), cp,
                                   [](char32_t c, const CodeRange& r) { return c < r.first; });
  return it != std::begin(ranges) && cp <= std::prev(it)->last;
}

bool is_cased(char32_t cp) {
  return in_ranges(CASED_RANGES, cp);
}
bool is_case_ignorable(char32_t cp) {
  return in_ranges(CASE_IGNORABLE_RANGES, cp);
}

char32_t simple_lower(char32_t cp) {
  if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
  const auto it = std::upper_bound(std::begin(LOWER_RUNS), std::end(LOWER_RUNS), cp,
                                   [](char32_t c, const LowerRun& r) { return c < r.first; });
  if (it == std::begin(LOWER_RUNS)) return cp;
  const LowerRun& run = *std::prev(it);
  const char32_t offset = cp - run.first;
  if (offset >= char32_t{run.count} * run.stride || offset % run.stride != 0) return cp;
  return static_cast<char32_t>(static_cast<int64_t>(cp) + run.delta);
}

const LowerMulti* multi_lower(char32_t cp) {
  const auto it =
      std::lower_bound(std::begin(LOWER_MULTI), std::end(LOWER_MULTI), cp,
                       [](const LowerMulti& m, char32_t c) { return m.code_point < c; });
  return (it != std::end(LOWER_MULTI) && it->code_point == cp) ? &*it : nullptr;
}

// Skips case-ignorable characters from `it` towards `end` and reports whether a cased letter
// follows them.
template <class It>
bool case_ignorable_then_cased(It it, It end) {
  while (it != end && is_case_ignorable(*it)) ++it;
  return it != end && is_cased(*it);
}

// A capital sigma becomes final when a cased letter precedes it and none follows it (either
// side may have case-ignorable characters in between).
bool is_final_sigma(const std::u32string& text, size_t i) {
  const bool preceded = case_ignorable_then_cased(
      std::make_reverse_iterator(text.begin() + static_cast<std::ptrdiff_t>(i)), text.rend());
  const bool followed =
      case_ignorable_then_cased(text.begin() + static_cast<std::ptrdiff_t>(i) + 1, text.end());
  return preceded && !followed;
}

}  // namespace

std::string unicode_lower(std::string_view utf8) {
  const bool ascii = std::all_of(utf8.begin(), utf8.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) {
    std::string out(utf8);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return out;
  }
  const std::u32string text = utf8::decode(utf8);
  std::u32string lower;
  lower.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char32_t cp = text[i];
    if (cp == CAPITAL_SIGMA) {
      lower.push_back(is_final_sigma(text, i) ? FINAL_SIGMA : SMALL_SIGMA);
    } else if (const LowerMulti* multi = multi_lower(cp)) {
      for (const char32_t m : multi->lower) {
        if (m == 0) break;
        lower.push_back(m);
      }
    } else {
      lower.push_back(simple_lower(cp));
    }
  }
  return utf8::encode(lower);
}

}  // namespace brindle
