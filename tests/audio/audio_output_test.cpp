#include "audio/audio_output.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fake_audio_host.h"

namespace brindle {
namespace {

using testing::FakeDeviceSpec;
using testing::FakeHost;

constexpr const char* CABLE = "CABLE Input (VB-Audio Virtual Cable)";

SupportedConfigRange range(uint16_t channels, uint32_t lo, uint32_t hi, SampleFormat format) {
  return SupportedConfigRange{channels, lo, hi, format};
}

FakeHost host_with(FakeDeviceSpec spec) {
  spec.name = CABLE;
  FakeHost host;
  host.devices = {spec};
  return host;
}

struct ConfigCase {
  const char* what;
  std::optional<std::vector<SupportedConfigRange>> ranges;  // nullopt: the query fails
  std::optional<StreamConfig> default_config;
  StreamConfig expected;  // used when error is empty
  std::string error;
};

constexpr StreamConfig DEFAULT_44K{2, 44100, SampleFormat::F32};
using F = SampleFormat;

class ConfigChoiceTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigChoiceTest, PicksTheStreamConfiguration) {
  FakeDeviceSpec spec;
  spec.ranges = GetParam().ranges;
  spec.default_config = GetParam().default_config;
  FakeHost host = host_with(spec);
  auto jitter = std::make_shared<JitterBuffer>(40.0);
  Result<AudioOutput> out = open_audio_output(host, "cable", jitter);
  if (!GetParam().error.empty()) {
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error(), GetParam().error);
    EXPECT_FALSE(host.stream->built);
    return;
  }
  ASSERT_TRUE(out.ok()) << out.error();
  const StreamConfig& built = host.stream->config;
  EXPECT_EQ(built.channels, GetParam().expected.channels);
  EXPECT_EQ(built.sample_rate, GetParam().expected.sample_rate);
  EXPECT_EQ(built.format, GetParam().expected.format);
  EXPECT_EQ(out->sample_rate, GetParam().expected.sample_rate);
  EXPECT_EQ(out->channels, GetParam().expected.channels);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, ConfigChoiceTest,
    ::testing::Values(
        ConfigCase{"f32_preferred_when_listed_second",
                   std::vector{range(6, 8000, 192000, F::I16), range(2, 44100, 48000, F::F32)},
                   DEFAULT_44K, StreamConfig{2, 48000, F::F32}, ""},
        ConfigCase{"f32_preferred_when_listed_first",
                   std::vector{range(2, 48000, 48000, F::F32), range(1, 48000, 48000, F::I16)},
                   DEFAULT_44K, StreamConfig{2, 48000, F::F32}, ""},
        ConfigCase{"first_f32_range_wins",
                   std::vector{range(8, 48000, 96000, F::F32), range(2, 48000, 96000, F::F32)},
                   DEFAULT_44K, StreamConfig{8, 48000, F::F32}, ""},
        ConfigCase{"ranges_missing_48k_are_skipped",
                   std::vector{range(2, 96000, 192000, F::F32), range(4, 8000, 48000, F::I16)},
                   DEFAULT_44K, StreamConfig{4, 48000, F::I16}, ""},
        ConfigCase{"u16_range", std::vector{range(2, 48000, 48000, F::U16)}, DEFAULT_44K,
                   StreamConfig{2, 48000, F::U16}, ""},
        ConfigCase{"only_44k1_uses_default_config", std::vector{range(2, 44100, 44100, F::F32)},
                   DEFAULT_44K, DEFAULT_44K, ""},
        ConfigCase{"no_ranges_uses_default_config", std::vector<SupportedConfigRange>{},
                   StreamConfig{1, 22050, F::I16}, StreamConfig{1, 22050, F::I16}, ""},
        ConfigCase{"failed_range_query_uses_default_config", std::nullopt, DEFAULT_44K, DEFAULT_44K,
                   ""},
        ConfigCase{"first_other_format_decides",
                   std::vector{range(2, 48000, 48000, F::I32), range(2, 48000, 48000, F::I16)},
                   DEFAULT_44K,
                   {},
                   "unsupported sample format: I32"},
        ConfigCase{"unsupported_default_format",
                   std::vector<SupportedConfigRange>{},
                   StreamConfig{2, 48000, F::F64},
                   {},
                   "unsupported sample format: F64"},
        ConfigCase{"no_range_and_no_default",
                   std::vector{range(2, 44100, 44100, F::F32)},
                   std::nullopt,
                   {},
                   "no usable output config: device has no default format"},
        ConfigCase{"default_config_without_rate",
                   std::vector<SupportedConfigRange>{},
                   StreamConfig{2, 0, F::F32},
                   {},
                   "no usable output config: the device reports a sample rate of 0 Hz"},
        ConfigCase{"no_ranges_list_and_no_default",
                   std::nullopt,
                   std::nullopt,
                   {},
                   "no usable output config: device has no default format"}),
    [](const auto& info) { return info.param.what; });

TEST(OpenAudioOutput, ReturnsTheDeviceNameAndAPlayingStream) {
  FakeDeviceSpec spec;
  spec.ranges = std::vector{range(2, 48000, 48000, F::F32)};
  FakeHost host = host_with(spec);
  Result<AudioOutput> out =
      open_audio_output(host, "VIRTUAL", std::make_shared<JitterBuffer>(40.0));
  ASSERT_TRUE(out.ok()) << out.error();
  EXPECT_EQ(out->device_name, CABLE);
  EXPECT_TRUE(host.stream->playing);
  out->stream.reset();
  EXPECT_TRUE(host.stream->released);
}

TEST(OpenAudioOutput, DeviceLookupErrorIsPassedOnUnchanged) {
  FakeHost host;
  Result<AudioOutput> out =
      open_audio_output(host, "default", std::make_shared<JitterBuffer>(40.0));
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error(), "no default output device");
}

TEST(OpenAudioOutput, BuildFailureReleasesTheJitterShare) {
  FakeDeviceSpec spec;
  spec.ranges = std::vector{range(2, 48000, 48000, F::F32)};
  spec.build_error = "device busy";
  FakeHost host = host_with(spec);
  auto jitter = std::make_shared<JitterBuffer>(40.0);
  Result<AudioOutput> out = open_audio_output(host, "cable", jitter);
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error(), "could not build output stream: device busy");
  EXPECT_EQ(jitter.use_count(), 1);
}

TEST(OpenAudioOutput, StartFailureReleasesTheStream) {
  FakeDeviceSpec spec;
  spec.ranges = std::vector{range(2, 48000, 48000, F::F32)};
  spec.play_error = "device unplugged";
  FakeHost host = host_with(spec);
  auto jitter = std::make_shared<JitterBuffer>(40.0);
  Result<AudioOutput> out = open_audio_output(host, "cable", jitter);
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error(), "could not start audio: device unplugged");
  EXPECT_TRUE(host.stream->released);
  EXPECT_EQ(jitter.use_count(), 1);
}

TEST(OpenAudioOutput, DataCallbackRendersSilenceInTheStreamFormat) {
  for (const SampleFormat format : {F::F32, F::I16, F::U16}) {
    FakeDeviceSpec spec;
    spec.ranges = std::vector{range(2, 48000, 48000, format)};
    FakeHost host = host_with(spec);
    Result<AudioOutput> out =
        open_audio_output(host, "cable", std::make_shared<JitterBuffer>(40.0));
    ASSERT_TRUE(out.ok()) << out.error();
    ASSERT_TRUE(host.stream->data);
    std::vector<uint8_t> bytes(4096, 0x5A);
    const size_t sample_bytes = format == F::F32 ? 4 : 2;
    host.stream->data(bytes.data(), bytes.size() / sample_bytes);
    // 0.0f and int16 0 are all-zero bytes; U16 silence is 0x8000 (native byte order).
    for (size_t i = 0; i < bytes.size(); i += sample_bytes) {
      if (format == F::U16) {
        uint16_t value = 0;
        std::memcpy(&value, &bytes[i], 2);
        ASSERT_EQ(value, 32768) << i;
      } else {
        for (size_t b = 0; b < sample_bytes; ++b) ASSERT_EQ(bytes[i + b], 0) << i;
      }
    }
  }
}

TEST(OpenAudioOutput, StreamErrorsGoToStandardError) {
  FakeDeviceSpec spec;
  spec.ranges = std::vector{range(2, 48000, 48000, F::F32)};
  FakeHost host = host_with(spec);
  Result<AudioOutput> out = open_audio_output(host, "cable", std::make_shared<JitterBuffer>(40.0));
  ASSERT_TRUE(out.ok()) << out.error();
  ::testing::internal::CaptureStderr();
  host.stream->error("the output device was removed");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "audio stream error: the output device was removed\n");
}

}  // namespace
}  // namespace brindle
