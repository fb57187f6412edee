#include "main/receiver_log.h"

#include <gtest/gtest.h>

namespace brindle {
namespace {

TEST(ReceiverLog, EveryNonEmptyLineGetsTheLocalTime) {
  const LocalTime at{2026, 3, 14, 9, 5, 7};
  const std::string stamp = "2026-03-14 09:05:07  ";
  struct Case {
    std::string_view text;
    std::string logged;
  };
  for (const Case& c : {
           Case{"\u2192 listening on UDP 45333\n", stamp + "\u2192 listening on UDP 45333\n"},
           Case{"\naudio: gone\n", stamp + "audio: gone\n"},  // the empty line is left out
           Case{"one\r\ntwo", stamp + "one\n" + stamp + "two\n"},
           Case{"\n", ""},
       }) {
    EXPECT_EQ(stamped_lines(c.text, at), c.logged) << c.text;
  }
}

TEST(ReceiverLog, SetAsideOnlyWhenTheLineWouldTakeItPastTheCap) {
  struct Case {
    uint64_t size;
    uint64_t adding;
    bool rotate;
  };
  for (const Case& c : {
           Case{0, 2 * LOG_CAP_BYTES, false},  // a huge first line still goes in
           Case{1024 * 1024 - 10, 10, false}, Case{1024 * 1024 - 10, 11, true},
           Case{3 * LOG_CAP_BYTES, 1, true},  // grown past the cap while the move failed
       }) {
    EXPECT_EQ(log_needs_rotation(c.size, c.adding), c.rotate) << c.size << " + " << c.adding;
  }
}

}  // namespace
}  // namespace brindle
