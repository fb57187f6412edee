#include "platform/console_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace brindle::console {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

Line out(int n) {
  return Line{Stream::STDOUT, std::to_string(n)};
}

TEST(ConsoleQueue, FullQueueDropsTheOldestAndKeepsTheOrder) {
  LineQueue queue(3);
  std::vector<bool> kept;
  for (int n = 1; n <= 5; ++n) kept.push_back(queue.push(out(n)));
  EXPECT_EQ(kept, (std::vector<bool>{true, true, true, false, false}));
  EXPECT_EQ(queue.dropped(), 2u);
  queue.close();
  std::vector<std::string> popped;
  while (auto line = queue.pop()) popped.push_back(line->text);
  EXPECT_EQ(popped, (std::vector<std::string>{"3", "4", "5"}));
}

TEST(ConsoleQueue, APoppedLineCountsUntilItIsWritten) {
  LineQueue queue(3);
  queue.push(out(1));
  ASSERT_TRUE(queue.pop().has_value());
  EXPECT_FALSE(queue.wait_written(Clock::now()));
  queue.written();
  EXPECT_TRUE(queue.wait_written(Clock::now()));
}

// A writer stuck in the console: pushing never waits for it, and waiting for the lines to be
// written ends at its deadline until the writer gets through.
TEST(ConsoleQueue, WritersNeverWaitForABlockedConsole) {
  LineQueue queue(4);
  std::promise<void> unblock;
  std::thread writer([&queue, console = unblock.get_future()] {
    while (auto line = queue.pop()) {
      console.wait();
      queue.written();
    }
  });
  for (int n = 0; n < 1000; ++n) queue.push(out(n));
  EXPECT_FALSE(queue.wait_written(Clock::now() + 50ms));
  unblock.set_value();
  EXPECT_TRUE(queue.wait_written(Clock::now() + 60s));
  EXPECT_GE(queue.dropped(), 995u);
  queue.close();
  writer.join();
}

}  // namespace
}  // namespace brindle::console
