#include "platform/unicode_lower.h"

#include <gtest/gtest.h>

#include <string>

namespace brindle {
namespace {

struct LowerCase {
  const char* what;
  std::string input;
  std::string expected;
};

class UnicodeLowerTest : public ::testing::TestWithParam<LowerCase> {};

TEST_P(UnicodeLowerTest, LowersTheWholeText) {
  EXPECT_EQ(unicode_lower(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Mappings, UnicodeLowerTest,
    ::testing::Values(LowerCase{"ascii", "CABLE Input (VB-Audio Virtual Cable)",
                                "cable input (vb-audio virtual cable)"},
                      LowerCase{"ascii_untouched", "0-9 [x] ~", "0-9 [x] ~"},
                      LowerCase{"empty", "", ""}, LowerCase{"sharp_s_stays", "STRAßE", "straße"},
                      LowerCase{"capital_sharp_s", "STRA\u1E9EE", "straße"},
                      LowerCase{"dotted_capital_i_expands", "\u0130STANBUL", "i\u0307stanbul"},
                      LowerCase{"latin_extended_pairs", "\u0100\u0102\u0178", "\u0101\u0103\u00FF"},
                      LowerCase{"titlecase_digraph", "\u01C5\u01C4", "\u01C6\u01C6"},
                      LowerCase{"cyrillic", "ДИНАМИКИ", "динамики"},
                      LowerCase{"fullwidth", "\uFF21\uFF22", "\uFF41\uFF42"},
                      LowerCase{"outside_bmp", "\U00010400", "\U00010428"},
                      LowerCase{"invalid_utf8_replaced", "A\xFF", "a\uFFFD"}),
    [](const auto& info) { return info.param.what; });

INSTANTIATE_TEST_SUITE_P(
    FinalSigma, UnicodeLowerTest,
    ::testing::Values(LowerCase{"word_end", "ΟΔΟΣ", "οδος"},
                      LowerCase{"word_end_before_space", "ΟΔΟΣ ΚΑΙ", "οδος και"},
                      LowerCase{"word_end_before_punctuation", "ΟΔΟΣ.", "οδος."},
                      LowerCase{"inside_word", "ΑΣΑ", "ασα"}, LowerCase{"word_start", "ΣΑ", "σα"},
                      LowerCase{"alone", "Σ", "σ"}, LowerCase{"after_space_only", " Σ", " σ"},
                      // An apostrophe is case-ignorable: it is looked through on both sides.
                      LowerCase{"ignorable_before", "Α'Σ", "α'ς"},
                      LowerCase{"ignorable_then_letter_after", "ΑΣ'Α", "ασ'α"},
                      LowerCase{"small_sigma_untouched", "σς", "σς"}),
    [](const auto& info) { return info.param.what; });

}  // namespace
}  // namespace brindle
