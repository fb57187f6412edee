#include "signal_source.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace brindle::send {
namespace {

std::vector<int16_t> read_all(SignalSource& source, size_t chunk, size_t limit) {
  std::vector<int16_t> all;
  std::vector<int16_t> block(chunk);
  while (all.size() < limit) {
    const size_t n = source.read(block);
    if (n == 0) break;
    all.insert(all.end(), block.begin(), block.begin() + static_cast<ptrdiff_t>(n));
  }
  all.resize(std::min(all.size(), limit));
  return all;
}

TEST(ToneSource, OneSecondHasTheFrequencyAndPeakAsked) {
  ToneSource tone(1000.0, 0.5);
  const std::vector<int16_t> s = read_all(tone, 480, 48000);
  ASSERT_EQ(s.size(), 48000u);
  int rising = 0;
  int peak = 0;
  for (size_t i = 1; i < s.size(); ++i) {
    if (s[i - 1] < 0 && s[i] >= 0) ++rising;
    peak = std::max(peak, std::abs(static_cast<int>(s[i])));
  }
  EXPECT_EQ(rising, 999);  // the 1000th cycle's start is sample 48000, the next second's first
  EXPECT_EQ(peak, 16384);  // 0.5 × 32767, rounded: 48 samples per cycle hit the crest
  EXPECT_EQ(s[0], 0);
}

TEST(ToneSource, ChunkSizeDoesNotChangeTheSignal) {
  ToneSource whole(997.0, 1.0);
  ToneSource pieces(997.0, 1.0);
  EXPECT_EQ(read_all(whole, 48000, 48000), read_all(pieces, 7, 48000));
}

TEST(ToneSource, FullScaleNeverWraps) {
  ToneSource tone(12000.0, 1.0);  // hits +1 and -1 exactly
  const std::vector<int16_t> s = read_all(tone, 480, 480);
  EXPECT_EQ(*std::max_element(s.begin(), s.end()), 32767);
  EXPECT_EQ(*std::min_element(s.begin(), s.end()), -32767);
}

TEST(LimitedSource, StopsMidBlock) {
  LimitedSource limited(std::make_unique<ToneSource>(1000.0, 0.5), 1000);
  EXPECT_EQ(read_all(limited, 480, 5000).size(), 1000u);
}

// A minimal RIFF image; `fmt_extra` follows the 16 standard fmt bytes.
std::vector<uint8_t> wav_bytes(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits,
                               const std::vector<int16_t>& samples,
                               std::vector<uint8_t> fmt_extra = {},
                               std::vector<uint8_t> junk_chunk = {}) {
  std::vector<uint8_t> out;
  const auto u16 = [&](uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
  };
  const auto u32 = [&](uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  };
  const auto tag4 = [&](const char* t) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(t[i]));
  };
  tag4("RIFF");
  u32(0);  // the RIFF size is not trusted anyway
  tag4("WAVE");
  if (!junk_chunk.empty()) {
    tag4("LIST");
    u32(static_cast<uint32_t>(junk_chunk.size()));
    out.insert(out.end(), junk_chunk.begin(), junk_chunk.end());
    if (junk_chunk.size() % 2) out.push_back(0);
  }
  tag4("fmt ");
  u32(static_cast<uint32_t>(16 + fmt_extra.size()));
  u16(tag);
  u16(channels);
  u32(rate);
  u32(rate * channels * bits / 8);
  u16(static_cast<uint16_t>(channels * bits / 8));
  u16(bits);
  out.insert(out.end(), fmt_extra.begin(), fmt_extra.end());
  tag4("data");
  u32(static_cast<uint32_t>(samples.size() * 2));
  for (const int16_t s : samples) u16(static_cast<uint16_t>(s));
  return out;
}

TEST(Wav, PcmMono48kIsRead) {
  const std::vector<int16_t> samples = {0, 1, -1, 32767, -32768};
  const auto parsed = parse_wav(wav_bytes(1, 1, 48000, 16, samples, {}, {'a', 'b', 'c'}));
  ASSERT_TRUE(parsed) << parsed.error();
  EXPECT_EQ(*parsed, samples);
}

TEST(Wav, ExtensiblePcmIsRead) {
  std::vector<uint8_t> extra(24, 0);
  extra[0] = 22;  // cbSize
  extra[8] = 1;   // sub-format GUID starts with the PCM tag
  const auto parsed = parse_wav(wav_bytes(0xFFFE, 1, 48000, 16, {5, 6}, extra));
  ASSERT_TRUE(parsed) << parsed.error();
  EXPECT_EQ(*parsed, (std::vector<int16_t>{5, 6}));
}

TEST(Wav, ShortDataChunkYieldsWhatIsThere) {
  std::vector<uint8_t> bytes = wav_bytes(1, 1, 48000, 16, {7, 8, 9});
  bytes.resize(bytes.size() - 3);  // cut into the second sample
  const auto parsed = parse_wav(bytes);
  ASSERT_TRUE(parsed) << parsed.error();
  EXPECT_EQ(*parsed, (std::vector<int16_t>{7}));
}

struct WavErrorCase {
  const char* name;
  std::vector<uint8_t> bytes;
  std::string message;
};

class WavErrors : public ::testing::TestWithParam<WavErrorCase> {};

TEST_P(WavErrors, AreClear) {
  const auto parsed = parse_wav(GetParam().bytes);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error(), GetParam().message);
}

const std::string NEED = ": need 16-bit PCM, mono, 48000 Hz";

INSTANTIATE_TEST_SUITE_P(
    Formats, WavErrors,
    ::testing::Values(
        WavErrorCase{"Empty", {}, "not a WAV file (no RIFF/WAVE header)"},
        WavErrorCase{"Stereo", wav_bytes(1, 2, 48000, 16, {1, 2}),
                     "unsupported WAV format (2 ch, 48000 Hz, 16-bit, format tag 1)" + NEED},
        WavErrorCase{"Rate44100", wav_bytes(1, 1, 44100, 16, {1}),
                     "unsupported WAV format (1 ch, 44100 Hz, 16-bit, format tag 1)" + NEED},
        WavErrorCase{"EightBit", wav_bytes(1, 1, 48000, 8, {1}),
                     "unsupported WAV format (1 ch, 48000 Hz, 8-bit, format tag 1)" + NEED},
        WavErrorCase{"Float", wav_bytes(3, 1, 48000, 32, {1}),
                     "unsupported WAV format (1 ch, 48000 Hz, 32-bit, format tag 3)" + NEED},
        WavErrorCase{"HeaderOnly",
                     {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'},
                     "WAV file has no fmt chunk"}),
    [](const auto& info) { return info.param.name; });

TEST(Wav, MissingFileIsAnError) {
  const auto loaded = load_wav("/nonexistent/brindle/none.wav");
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error(), "cannot open /nonexistent/brindle/none.wav");
}

}  // namespace
}  // namespace brindle::send
