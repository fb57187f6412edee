#include "main/receiver_end.h"

#include <gtest/gtest.h>

#include <string>

namespace brindle {
namespace {

TEST(ReceiverEnd, StepsRunLatestFirstAndOnce) {
  std::string ran;
  at_receiver_end([&] { ran += "wifi "; });
  at_receiver_end([&] { ran += "goodbye "; });
  run_receiver_end_steps();
  run_receiver_end_steps();
  EXPECT_EQ(ran, "goodbye wifi ");
}

}  // namespace
}  // namespace brindle
