#include "audio/render_loop.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace brindle {
namespace {

using std::chrono::milliseconds;

// Plays a script of wake-ups and fill results; past its end the loop is told to stop.
class ScriptedDriver final : public RenderLoopDriver {
 public:
  std::deque<Result<RenderWake>> wakes;
  std::deque<Result<uint32_t>> fills;  // when empty: room for 480 frames
  bool is_paused = false;
  std::vector<std::optional<milliseconds>> timeouts;  // what each wait was given

  Result<RenderWake> wait(std::optional<milliseconds> timeout) override {
    timeouts.push_back(timeout);
    if (wakes.empty()) return RenderWake::STOP;
    Result<RenderWake> next = wakes.front();
    wakes.pop_front();
    return next;
  }
  bool paused() const override { return is_paused; }
  Result<uint32_t> fill() override {
    if (fills.empty()) return 480u;
    Result<uint32_t> next = fills.front();
    fills.pop_front();
    return next;
  }
};

std::vector<std::string> run(ScriptedDriver& driver) {
  std::vector<std::string> errors;
  run_render_loop(driver, [&](const std::string& e) { errors.push_back(e); });
  return errors;
}

const std::string INVALIDATED = "the audio device was invalidated";

TEST(RenderLoop, EventNeverSignalledAndPaddingFailsReportsAfterOneTimeout) {
  ScriptedDriver driver;
  driver.wakes = {RenderWake::TIMEOUT, RenderWake::TIMEOUT};
  driver.fills = {make_error(INVALIDATED)};
  EXPECT_EQ(run(driver), std::vector<std::string>{INVALIDATED});
  ASSERT_EQ(driver.timeouts.size(), 1u);
  EXPECT_EQ(driver.timeouts[0], RENDER_WAIT_TIMEOUT);
}

TEST(RenderLoop, FillErrorOnABufferEventIsReportedOnceAndEndsTheLoop) {
  ScriptedDriver driver;
  driver.wakes = {RenderWake::BUFFER, RenderWake::BUFFER, RenderWake::BUFFER};
  driver.fills = {480u, make_error(INVALIDATED), make_error(INVALIDATED)};
  EXPECT_EQ(run(driver), std::vector<std::string>{INVALIDATED});
  EXPECT_EQ(driver.wakes.size(), 1u);
}

TEST(RenderLoop, StopRequestEndsQuietly) {
  ScriptedDriver driver;
  driver.wakes = {RenderWake::BUFFER, RenderWake::STOP, RenderWake::BUFFER};
  EXPECT_TRUE(run(driver).empty());
  EXPECT_EQ(driver.wakes.size(), 1u);
}

TEST(RenderLoop, WaitFailureIsReported) {
  ScriptedDriver driver;
  driver.wakes = {make_error("bad handle")};
  EXPECT_EQ(run(driver), std::vector<std::string>{"bad handle"});
}

TEST(RenderLoop, PausedStreamWaitsWithoutATimeLimit) {
  ScriptedDriver driver;
  driver.is_paused = true;
  driver.wakes = {RenderWake::COMMAND};
  EXPECT_TRUE(run(driver).empty());
  ASSERT_EQ(driver.timeouts.size(), 2u);
  EXPECT_EQ(driver.timeouts[0], std::nullopt);
}

TEST(RenderLoop, StreamThatNeverTakesAudioCountsAsDeadAfterTenFullTimeouts) {
  ScriptedDriver driver;
  // A time-out that still found room is progress; then only full buffers.
  driver.wakes.assign(15, RenderWake::TIMEOUT);
  driver.fills.assign(15, 0u);
  driver.fills.front() = 100u;
  EXPECT_EQ(run(driver), std::vector<std::string>{"the audio device stopped taking audio"});
  EXPECT_EQ(driver.timeouts.size(), 11u);
}

// Nine full time-outs, a wake-up that is not one, nine more: the count starts again.
TEST(RenderLoop, CommandOrBufferWakeUpStartsTheStallCountAgain) {
  struct Case {
    RenderWake wake;
    std::vector<Result<uint32_t>> fills;
  };
  for (const Case& c : {Case{RenderWake::COMMAND, std::vector<Result<uint32_t>>(18, 0u)},
                        Case{RenderWake::BUFFER, std::vector<Result<uint32_t>>(19, 0u)}}) {
    ScriptedDriver driver;
    driver.wakes.assign(9, RenderWake::TIMEOUT);
    driver.wakes.push_back(c.wake);
    driver.wakes.insert(driver.wakes.end(), 9, RenderWake::TIMEOUT);
    driver.fills.assign(c.fills.begin(), c.fills.end());
    EXPECT_TRUE(run(driver).empty()) << static_cast<int>(c.wake);
    EXPECT_EQ(driver.timeouts.size(), 20u);
  }
}

}  // namespace
}  // namespace brindle
