// The PulseAudio host against a private server that this test starts itself, with null sinks
// standing in for the virtual cable and a 44.1 kHz four-channel device.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_output.h"
#include "audio/device_selection.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* CABLE_SINK =
    "module-null-sink sink_name=cable rate=48000 channels=2 "
    "sink_properties=device.description=\"CABLE\\ Input\\ (VB-Audio\\ Virtual\\ Cable)\"";
constexpr const char* SPEAKERS_SINK =
    "module-null-sink sink_name=speakers rate=44100 channels=4 format=s32le "
    "sink_properties=device.description=\"Speakers\\ (44.1\\ kHz)\"";

std::string find_pulseaudio() {
  for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
    const fs::path path = fs::path(dir) / "pulseaudio";
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

int pactl(const std::string& args) {
  return std::system(("pactl " + args + " >/dev/null 2>&1").c_str());
}

// Runs pactl and returns its first output line (a module index for load-module).
std::string pactl_output(const std::string& args) {
  std::string out;
  if (FILE* pipe = ::popen(("pactl " + args + " 2>/dev/null").c_str(), "r")) {
    char line[256];
    if (std::fgets(line, sizeof line, pipe)) out = line;
    ::pclose(pipe);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

class PulseHostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string binary = find_pulseaudio();
    if (binary.empty()) return;
    char dir_template[] = "/tmp/brindle-pulse-XXXXXX";
    if (!::mkdtemp(dir_template)) return;
    dir_ = dir_template;
    fs::create_directories(dir_ / "runtime");
    // Everything the server and our client look for stays inside the temporary folder.
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    ::setenv("PULSE_RUNTIME_PATH", (dir_ / "runtime").c_str(), 1);
    ::setenv("HOME", dir_.c_str(), 1);
    server_address_ = "unix:" + (dir_ / "native").string();
    ::setenv("PULSE_SERVER", server_address_.c_str(), 1);

    const std::vector<std::string> args = {
        binary,
        "-n",
        "--daemonize=no",
        "--system=no",
        "--exit-idle-time=-1",
        "--use-pid-file=no",
        "--disallow-exit",
        "--load=module-native-protocol-unix auth-anonymous=1 socket=" + (dir_ / "native").string(),
        std::string("--load=") + CABLE_SINK,
        std::string("--load=") + SPEAKERS_SINK};
    server_ = ::fork();
    if (server_ == 0) {
      const int log = ::open((dir_ / "server.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (log >= 0) {
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
      }
      std::vector<char*> argv;
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    const bool up = wait_until(
        [] {
          const Result<std::vector<std::unique_ptr<AudioDevice>>> devices =
              default_host()->output_devices();
          return devices.ok() && devices->size() == 2;
        },
        10s);
    if (up) up_ = pactl("set-default-sink cable") == 0;
  }

  static void TearDownTestSuite() {
    if (server_ > 0) {
      ::kill(server_, SIGTERM);
      ::waitpid(server_, nullptr, 0);
      server_ = -1;
    }
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  void SetUp() override {
    if (find_pulseaudio().empty()) GTEST_SKIP() << "pulseaudio is not installed";
    ASSERT_TRUE(up_) << "the private PulseAudio server did not come up; see its log in " << dir_;
    host_ = default_host();
  }

  static inline fs::path dir_;
  static inline std::string server_address_;
  static inline pid_t server_ = -1;
  static inline bool up_ = false;
  std::unique_ptr<AudioHost> host_;
};

TEST_F(PulseHostTest, ListsSinksByDescriptionWithTheDefaultMarked) {
  EXPECT_EQ(host_->name(), "PulseAudio");
  EXPECT_EQ(list_output_devices(*host_),
            "Output devices (PulseAudio):\n"
            "  \u2022 CABLE Input (VB-Audio Virtual Cable)  (default)\n"
            "  \u2022 Speakers (44.1 kHz)\n");
  EXPECT_TRUE(check_device(*host_, "default"));
  EXPECT_TRUE(check_device(*host_, "cable input"));
  EXPECT_FALSE(check_device(*host_, "Brindle"));
}

TEST_F(PulseHostTest, OffersTheSinkRateAndChannelsInF32AndI16) {
  Result<FoundDevice> found = find_output_device(*host_, "speakers");
  ASSERT_TRUE(found.ok()) << found.error();
  const Result<std::vector<SupportedConfigRange>> ranges =
      found->device->supported_output_configs();
  ASSERT_TRUE(ranges.ok());
  ASSERT_EQ(ranges->size(), 2u);
  for (const SupportedConfigRange& range : *ranges) {
    EXPECT_EQ(range.channels, 4);
    EXPECT_EQ(range.min_sample_rate, 44100u);
    EXPECT_EQ(range.max_sample_rate, 44100u);
  }
  EXPECT_EQ((*ranges)[0].format, SampleFormat::F32);
  EXPECT_EQ((*ranges)[1].format, SampleFormat::I16);
  const Result<StreamConfig> config = found->device->default_output_config();
  ASSERT_TRUE(config.ok());
  EXPECT_EQ(config->channels, 4);
  EXPECT_EQ(config->sample_rate, 44100u);
  EXPECT_EQ(config->format, SampleFormat::F32);
}

// The render side drains the jitter buffer once it holds the prefill: proof that the server
// keeps calling for data after playback started.
TEST_F(PulseHostTest, OpenedOutputRendersTheJitterBuffer) {
  struct Case {
    const char* query;
    uint32_t rate;
    uint16_t channels;
  };
  for (const Case& c :
       {Case{"CABLE Input (VB-Audio Virtual Cable)", 48000, 2}, Case{"Speakers", 44100, 4}}) {
    auto jitter = std::make_shared<JitterBuffer>(40.0);
    Result<AudioOutput> out = open_audio_output(*host_, c.query, jitter);
    ASSERT_TRUE(out.ok()) << out.error();
    EXPECT_EQ(out->sample_rate, c.rate);
    EXPECT_EQ(out->channels, c.channels);
    jitter->push(std::vector<float>(1920, 0.25f));
    EXPECT_TRUE(wait_until([&] { return jitter->fill_ms() == 0.0; }, 5s)) << c.query;
  }
}

TEST_F(PulseHostTest, StreamCallsBackWithWholeFramesInSmallBuffers) {
  Result<FoundDevice> found = find_output_device(*host_, "cable");
  ASSERT_TRUE(found.ok()) << found.error();
  auto calls = std::make_shared<std::atomic<int>>(0);
  auto largest = std::make_shared<std::atomic<size_t>>(0);
  auto odd = std::make_shared<std::atomic<bool>>(false);
  Result<std::unique_ptr<AudioStream>> stream = found->device->build_output_stream(
      StreamConfig{2, 48000, SampleFormat::I16},
      [=](void* buffer, size_t samples) {
        std::fill_n(static_cast<int16_t*>(buffer), samples, int16_t{0});
        ++*calls;
        if (samples % 2 != 0) *odd = true;
        if (samples > *largest) *largest = samples;
      },
      [](const std::string&) {});
  ASSERT_TRUE(stream.ok()) << stream.error();
  ASSERT_TRUE((*stream)->play().ok());
  // A null sink that was idle can take a moment to pick up a new low-latency stream.
  ASSERT_TRUE(wait_until([&] { return calls->load() > 3; }, 5s));
  const int before = calls->load();
  std::this_thread::sleep_for(300ms);
  EXPECT_GT(calls->load(), before + 5);
  EXPECT_FALSE(odd->load());
  // 2 channels at 48 kHz: 96 samples per millisecond.
  std::printf("data callbacks in 300 ms: %d, largest buffer: %zu samples (%.1f ms)\n",
              calls->load() - before, largest->load(), largest->load() / 96.0);
  EXPECT_LE(largest->load(), 96u * 50);
}

TEST_F(PulseHostTest, RemovedSinkFailsTheStreamOnceInsteadOfMoving) {
  const std::string module = pactl_output(
      "load-module module-null-sink sink_name=gone sink_properties=device.description=Gone");
  ASSERT_FALSE(module.empty()) << "could not load a sink";
  Result<FoundDevice> found = find_output_device(*host_, "Gone");
  ASSERT_TRUE(found.ok()) << found.error();
  auto errors = std::make_shared<std::vector<std::string>>();
  auto error_count = std::make_shared<std::atomic<int>>(0);
  Result<std::unique_ptr<AudioStream>> stream = found->device->build_output_stream(
      StreamConfig{2, 48000, SampleFormat::F32},
      [](void* buffer, size_t samples) { std::fill_n(static_cast<float*>(buffer), samples, 0.f); },
      [=](const std::string& error) {
        errors->push_back(error);
        ++*error_count;
      });
  ASSERT_TRUE(stream.ok()) << stream.error();
  ASSERT_TRUE((*stream)->play().ok());
  ASSERT_EQ(pactl("unload-module " + module), 0) << "could not unload the sink";
  EXPECT_TRUE(wait_until([&] { return error_count->load() > 0; }, 3s));
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(error_count->load(), 1);
  EXPECT_EQ(errors->front(), "the output device was removed");
  stream->reset();
}

TEST_F(PulseHostTest, NoServerGivesOneLineErrors) {
  ::setenv("PULSE_SERVER", ("unix:" + (dir_ / "nobody-here").string()).c_str(), 1);
  const std::unique_ptr<AudioHost> host = default_host();
  EXPECT_EQ(host->default_output_device(), nullptr);  // connects here, once
  ::setenv("PULSE_SERVER", server_address_.c_str(), 1);
  const Result<FoundDevice> found = find_output_device(*host, "cable");
  ASSERT_FALSE(found.ok());
  EXPECT_EQ(found.error(), "cannot enumerate output devices: Connection refused");
  EXPECT_EQ(list_output_devices(*host),
            "Output devices (PulseAudio):\n  (could not enumerate: Connection refused)\n");
  const Result<AudioOutput> out =
      open_audio_output(*host, "default", std::make_shared<JitterBuffer>(40.0));
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error(), "no default output device");
}

}  // namespace
}  // namespace brindle
