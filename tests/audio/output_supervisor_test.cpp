#include "audio/output_supervisor.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_audio_host.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;
using testing::FakeDeviceSpec;
using testing::FakeHost;
using Clock = OutputSupervisor::Clock;
using State = OutputSupervisor::State;

constexpr const char* CABLE = "CABLE Input (VB-Audio Virtual Cable)";
const std::string CABLE_LINE =
    "\u2192 rendering into \"" + std::string(CABLE) + "\"  (48000 Hz, 2 ch)\n";

FakeDeviceSpec device(const std::string& name) {
  FakeDeviceSpec spec;
  spec.name = name;
  spec.ranges = std::vector{SupportedConfigRange{2, 48000, 48000, SampleFormat::F32}};
  return spec;
}

// A supervisor over hosts copied from `world`, as the device list is at each open.
struct Fixture {
  FakeHost world;
  int hosts_made = 0;
  std::vector<std::string> out;
  std::vector<std::string> err;
  std::vector<bool> availability;  // what output_changed was told, in order
  std::shared_ptr<JitterBuffer> jitter = std::make_shared<JitterBuffer>(40.0);
  std::unique_ptr<OutputSupervisor> supervisor;
  const Clock::time_point t0 = Clock::now();

  explicit Fixture(std::vector<FakeDeviceSpec> devices, std::string query = "cable") {
    world.devices = std::move(devices);
    world.default_device = world.devices.front();
    OutputSupervisor::Settings settings;
    settings.write_out = [this](std::string_view text) { out.emplace_back(text); };
    settings.write_err = [this](std::string_view text) { err.emplace_back(text); };
    settings.output_changed = [this](bool available) { availability.push_back(available); };
    supervisor = std::make_unique<OutputSupervisor>(
        [this] {
          ++hosts_made;
          return std::make_unique<FakeHost>(world);
        },
        query, jitter, settings);
  }
  testing::FakeStreamRecord& stream() { return *world.stream; }
  void push(size_t samples) { jitter->push(std::vector<float>(samples, 0.25f)); }
};

TEST(OutputSupervisor, ReopensTheSameQueryEveryRetryAfterOneErrorLine) {
  Fixture f({device("Speakers"), device(CABLE)});
  ASSERT_EQ(f.supervisor->open(f.t0).value(), CABLE_LINE);
  DataCallback first_data = f.stream().data;

  f.world.devices = {device("Speakers")};  // the cable goes away
  f.stream().error("the output device was removed");
  f.stream().error("the output device was removed");
  EXPECT_EQ(f.supervisor->step(f.t0 + 1s), f.t0 + 3s);
  EXPECT_EQ(f.supervisor->state(), State::FAILED);
  EXPECT_TRUE(f.stream().released);
  EXPECT_EQ(f.err, std::vector<std::string>{"audio stream error: the output device was removed\n"});

  // Nothing before the deadline; then the list is read again and the speakers are not taken.
  EXPECT_EQ(f.supervisor->step(f.t0 + 2s), f.t0 + 3s);
  EXPECT_EQ(f.hosts_made, 1);
  EXPECT_EQ(f.supervisor->step(f.t0 + 3s), f.t0 + 5s);
  EXPECT_EQ(f.hosts_made, 2);
  EXPECT_EQ(f.supervisor->state(), State::FAILED);
  EXPECT_TRUE(f.stream().released);

  f.push(5000);  // piled up while nothing played
  f.world.devices = {device("Speakers"), device(CABLE)};
  f.supervisor->step(f.t0 + 5s);
  EXPECT_EQ(f.supervisor->state(), State::RUNNING);
  EXPECT_EQ(f.jitter->fill_ms(), 40.0);  // the newest prefill, not the backlog
  EXPECT_EQ(f.out, std::vector<std::string>{CABLE_LINE});
  EXPECT_TRUE(f.stream().playing);

  // The new stream renders from the same jitter buffer.
  f.push(2000);
  std::array<float, 96> buffer{};
  f.stream().data(buffer.data(), buffer.size());
  EXPECT_EQ(buffer[0], 0.25f);
  EXPECT_EQ(f.err.size(), 1u);
  EXPECT_EQ(f.availability, (std::vector<bool>{false, true}));  // failed retries say nothing
}

TEST(OutputSupervisor, RestsWhenIdleAndDrainedAndResumesOnTheNextDatagram) {
  Fixture f({device(CABLE)});
  ASSERT_TRUE(f.supervisor->open(f.t0).ok());
  EXPECT_EQ(f.supervisor->step(f.t0), f.t0 + 5s);

  f.supervisor->datagram_arrived(f.t0 + 3s);
  f.push(2000);  // past the prefill: still something to play
  EXPECT_EQ(f.supervisor->step(f.t0 + 5s), f.t0 + 8s);
  EXPECT_EQ(f.supervisor->step(f.t0 + 8s), f.t0 + 13s);
  EXPECT_EQ(f.supervisor->state(), State::RUNNING);

  std::vector<float> out(4000);
  f.stream().data(out.data(), out.size());  // played out and run dry
  const uint64_t underruns = f.jitter->underruns();
  EXPECT_EQ(f.supervisor->step(f.t0 + 13s), std::nullopt);
  EXPECT_EQ(f.supervisor->state(), State::PAUSED);
  EXPECT_EQ(f.stream().pauses, 1);
  EXPECT_FALSE(f.stream().playing);
  EXPECT_EQ(f.supervisor->step(f.t0 + 60s), std::nullopt);
  EXPECT_EQ(f.jitter->underruns(), underruns);

  f.supervisor->datagram_arrived(f.t0 + 61s);
  EXPECT_EQ(f.supervisor->step(f.t0 + 61s), f.t0 + 66s);
  EXPECT_EQ(f.supervisor->state(), State::RUNNING);
  EXPECT_TRUE(f.stream().playing);
  EXPECT_EQ(f.hosts_made, 1);
  EXPECT_TRUE(f.err.empty());
  EXPECT_TRUE(f.availability.empty());  // resting is not losing the device
}

TEST(OutputSupervisor, FailedResumeIsOneStreamErrorAndReopensAtOnce) {
  Fixture f({device(CABLE)});
  ASSERT_TRUE(f.supervisor->open(f.t0).ok());
  ASSERT_EQ(f.supervisor->step(f.t0 + 5s), std::nullopt);
  f.stream().resume_error = "device invalidated";
  f.supervisor->datagram_arrived(f.t0 + 9s);
  EXPECT_EQ(f.supervisor->step(f.t0 + 9s), f.t0 + 9s);
  EXPECT_EQ(f.err, std::vector<std::string>{"audio stream error: device invalidated\n"});
  f.supervisor->step(f.t0 + 9s);
  EXPECT_EQ(f.supervisor->state(), State::RUNNING);
  EXPECT_EQ(f.out, std::vector<std::string>{CABLE_LINE});
  EXPECT_EQ(f.availability, (std::vector<bool>{false, true}));
}

TEST(OutputSupervisor, FailedPauseIsOneStreamErrorAndReopensAfterTheRetryPause) {
  Fixture f({device(CABLE)});
  ASSERT_TRUE(f.supervisor->open(f.t0).ok());
  f.stream().pause_error = "device invalidated";
  EXPECT_EQ(f.supervisor->step(f.t0 + 5s), f.t0 + 7s);
  EXPECT_EQ(f.supervisor->state(), State::FAILED);
  EXPECT_EQ(f.err, std::vector<std::string>{"audio stream error: device invalidated\n"});
  f.supervisor->step(f.t0 + 7s);
  EXPECT_EQ(f.supervisor->state(), State::RUNNING);
}

// The default changes, while paused, to the cable, then to a device that cannot be opened.
TEST(OutputSupervisor, FollowsANewDefaultOnlyWhenFollowingTheDefault) {
  struct Row {
    std::string query;
    std::vector<std::string> out;  // after the first change
    size_t hosts_made;
  };
  for (const Row& row : {Row{"default", {CABLE_LINE}, 2}, Row{"Speakers", {}, 1}}) {
    SCOPED_TRACE(row.query);
    Fixture f({device("Speakers"), device(CABLE)}, row.query);
    ASSERT_TRUE(f.supervisor->open(f.t0).ok());
    ASSERT_EQ(f.supervisor->step(f.t0 + 5s), std::nullopt);  // resting
    f.world.change_default(device(CABLE));
    f.supervisor->step(f.t0 + 6s);
    EXPECT_EQ(f.out, row.out);
    EXPECT_EQ(f.hosts_made, row.hosts_made);
    if (row.out.empty()) continue;
    EXPECT_EQ(f.supervisor->state(), State::RUNNING);
    EXPECT_TRUE(f.stream().playing);

    FakeDeviceSpec busy = device("Headset");
    busy.build_error = "device in use";
    f.world.change_default(busy);
    EXPECT_EQ(f.supervisor->step(f.t0 + 7s), f.t0 + 9s);
    EXPECT_EQ(f.supervisor->state(), State::FAILED);
    EXPECT_EQ(f.err, std::vector<std::string>{
                         "audio stream error: could not build output stream: device in use\n"});
    f.world.default_device = device(CABLE);
    f.supervisor->step(f.t0 + 9s);
    EXPECT_EQ(f.out, (std::vector<std::string>{CABLE_LINE, CABLE_LINE}));
    EXPECT_EQ(f.availability, (std::vector<bool>{false, true}));
  }
}

// The thread: the first open hands back its line, a stream error is recovered and a paused
// stream resumed with no step from outside. Any failure to wake shows as a time-out.
TEST(OutputSupervisor, ThreadRecoversAndWakesOnItsOwn) {
  FakeHost world;
  world.devices = {device(CABLE)};
  const std::shared_ptr<testing::FakeStreamRecord> record = world.stream;
  std::atomic<int> lines{0};
  OutputSupervisor::Settings settings;
  settings.retry_every = 20ms;
  settings.idle_after = 20ms;
  settings.write_out = [&](std::string_view) { ++lines; };
  settings.write_err = [](std::string_view) {};
  OutputSupervisor supervisor([&] { return std::make_unique<FakeHost>(world); }, "cable",
                              std::make_shared<JitterBuffer>(40.0), settings);
  ASSERT_EQ(supervisor.start().value(), CABLE_LINE);
  auto wait_for = [](auto done) {
    for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(5ms);
    return done();
  };
  const ErrorCallback report = record->error;  // a copy: the stream releases its own
  report("gone");
  ASSERT_TRUE(wait_for([&] { return lines == 1; }));
  ASSERT_TRUE(wait_for([&] { return record->pauses == 1; }));
  supervisor.datagram_arrived();
  EXPECT_TRUE(wait_for([&] { return record->playing.load(); }));
}

TEST(OutputSupervisor, FirstOpenFailureEndsTheThread) {
  FakeHost world;
  world.devices = {device("Speakers")};
  OutputSupervisor::Settings settings;
  settings.write_out = [](std::string_view) {};
  settings.write_err = [](std::string_view) {};
  OutputSupervisor supervisor([&] { return std::make_unique<FakeHost>(world); }, "cable",
                              std::make_shared<JitterBuffer>(40.0), settings);
  const Result<std::string> line = supervisor.start();
  ASSERT_FALSE(line.ok());
  EXPECT_TRUE(line.error().starts_with("no output device matching \"cable\""));
}

}  // namespace
}  // namespace brindle
