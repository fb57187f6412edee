#include <gtest/gtest.h>

#include <string>

#include "platform/utf8_tail.h"

namespace brindle::utf8 {
namespace {

struct TailCase {
  const char* name;
  std::string bytes;
  size_t held;
};

class IncompleteTail : public testing::TestWithParam<TailCase> {};

TEST_P(IncompleteTail, HoldsBackOnlyAnUnfinishedSequence) {
  EXPECT_EQ(incomplete_tail_length(GetParam().bytes), GetParam().held);
}

INSTANTIATE_TEST_SUITE_P(Cases, IncompleteTail,
                         testing::Values(TailCase{"empty", "", 0}, TailCase{"ascii", "abc\n", 0},
                                         TailCase{"whole_arrow", "\xE2\x86\x92", 0},
                                         TailCase{"arrow_one_of_three", "x\xE2", 1},
                                         TailCase{"arrow_two_of_three", "x\xE2\x86", 2},
                                         TailCase{"middle_dot_one_of_two", "\xC2", 1},
                                         TailCase{"whole_middle_dot", "\xC2\xB7", 0},
                                         TailCase{"emoji_three_of_four", "\xF0\x9F\x8E", 3},
                                         TailCase{"whole_emoji", "\xF0\x9F\x8E\xA4", 0},
                                         TailCase{"stray_continuations", "a\x80\x80\x80", 0},
                                         TailCase{"invalid_lead_c0", "\xC0", 0},
                                         TailCase{"invalid_lead_f8", "\xF8", 0},
                                         TailCase{"complete_then_lead", "\xE2\x80\x94\xE2", 1}),
                         [](const testing::TestParamInfo<TailCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace brindle::utf8
