// The WASAPI host against real endpoints. Under Wine these are the sinks of the PulseAudio
// server the Wine suite starts; without the cable endpoint every test is skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_host.h"
#include "audio/device_selection.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;

class WasapiHostTest : public testing::Test {
 protected:
  void SetUp() override {
    host_ = default_host();
    Result<FoundDevice> found = find_output_device(*host_, DEFAULT_DEVICE_QUERY);
    if (!found) GTEST_SKIP() << "no cable endpoint: " << found.error();
    cable_ = std::move(found->device);
  }

  std::unique_ptr<AudioHost> host_;
  std::unique_ptr<AudioDevice> cable_;
};

TEST_F(WasapiHostTest, HostIsNamedWasapi) {
  EXPECT_EQ(host_->name(), "WASAPI");
}

TEST_F(WasapiHostTest, DefaultEndpointIsAmongTheListedOnes) {
  const std::unique_ptr<AudioDevice> fallback = host_->default_output_device();
  ASSERT_NE(fallback, nullptr);
  const Result<std::string> default_name = fallback->name();
  ASSERT_TRUE(default_name.ok()) << default_name.error();
  Result<std::vector<std::unique_ptr<AudioDevice>>> devices = host_->output_devices();
  ASSERT_TRUE(devices.ok()) << devices.error();
  std::vector<std::string> names;
  for (const auto& device : *devices) {
    const Result<std::string> name = device->name();
    if (name) names.push_back(*name);
  }
  EXPECT_NE(std::find(names.begin(), names.end(), *default_name), names.end());
}

// 48 kHz is offered whatever the endpoint's own rate, in the mix's channels and format.
TEST_F(WasapiHostTest, RangesOffer48kHzInTheMixFormat) {
  const Result<StreamConfig> mix = cable_->default_output_config();
  ASSERT_TRUE(mix.ok()) << mix.error();
  const Result<std::vector<SupportedConfigRange>> ranges = cable_->supported_output_configs();
  ASSERT_TRUE(ranges.ok()) << ranges.error();
  const auto offers = [&](uint32_t rate) {
    return std::any_of(ranges->begin(), ranges->end(), [&](const SupportedConfigRange& r) {
      return r.min_sample_rate <= rate && r.max_sample_rate >= rate &&
             r.channels == mix->channels && r.format == mix->format;
    });
  };
  EXPECT_TRUE(offers(48000));
  EXPECT_TRUE(offers(44100));
  EXPECT_TRUE(offers(mix->sample_rate));
}

struct StreamCase {
  const char* name;
  uint32_t rate;
  SampleFormat format;
  size_t sample_bytes;
};

class WasapiStreamTest : public WasapiHostTest, public testing::WithParamInterface<StreamCase> {};

// The callback fills whole frames again and again until the stream is released, and never after.
TEST_P(WasapiStreamTest, CallbackFillsWholeFramesUntilReleased) {
  const Result<StreamConfig> mix = cable_->default_output_config();
  ASSERT_TRUE(mix.ok()) << mix.error();
  const StreamConfig config{mix->channels, GetParam().rate, GetParam().format};
  const size_t sample_bytes = GetParam().sample_bytes;

  std::atomic<int> calls{0};
  std::atomic<bool> partial_frame{false};
  std::atomic<int> errors{0};
  Result<std::unique_ptr<AudioStream>> stream = cable_->build_output_stream(
      config,
      [&](void* buffer, size_t samples) {
        if (samples % config.channels != 0) partial_frame = true;
        std::memset(buffer, 0, samples * sample_bytes);
        ++calls;
      },
      [&](const std::string&) { ++errors; });
  ASSERT_TRUE(stream.ok()) << stream.error();
  const Status played = (*stream)->play();
  ASSERT_TRUE(played.ok()) << played.error();

  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (calls < 20 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  EXPECT_GE(calls.load(), 20);
  EXPECT_FALSE(partial_frame.load());
  EXPECT_EQ(errors.load(), 0);

  stream->reset();
  const int after_release = calls;
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(calls.load(), after_release);
}

INSTANTIATE_TEST_SUITE_P(Formats, WasapiStreamTest,
                         testing::Values(StreamCase{"f32_48000", 48000, SampleFormat::F32, 4},
                                         StreamCase{"i16_44100", 44100, SampleFormat::I16, 2},
                                         StreamCase{"f32_96000", 96000, SampleFormat::F32, 4}),
                         [](const testing::TestParamInfo<StreamCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(WasapiHostTest, UnsignedSixteenBitIsRefusedWhenBuilding) {
  const StreamConfig config{2, 48000, SampleFormat::U16};
  const Result<std::unique_ptr<AudioStream>> stream = cable_->build_output_stream(
      config, [](void*, size_t) {}, [](const std::string&) {});
  ASSERT_FALSE(stream.ok());
  EXPECT_NE(stream.error().find("U16"), std::string::npos) << stream.error();
}

}  // namespace
}  // namespace brindle
