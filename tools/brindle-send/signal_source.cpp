#include "signal_source.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <optional>
#include <string_view>

#include <fmt/format.h>

namespace brindle::send {
namespace {

constexpr uint16_t WAVE_FORMAT_PCM = 1;
constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

uint32_t le(std::span<const uint8_t> bytes, size_t at, int width) {
  uint32_t value = 0;
  for (int i = 0; i < width; ++i) value |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
  return value;
}

bool tag_is(std::span<const uint8_t> bytes, size_t at, std::string_view tag) {
  return std::equal(tag.begin(), tag.end(), bytes.begin() + static_cast<ptrdiff_t>(at),
                    [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
}

struct WavFormat {
  uint16_t tag = 0;
  uint16_t channels = 0;
  uint32_t rate = 0;
  uint16_t bits = 0;
};

}  // namespace

ToneSource::ToneSource(double freq_hz, double level)
    : freq_hz_(freq_hz), amplitude_(std::clamp(level, 0.0, 1.0) * 32767.0) {}

size_t ToneSource::read(std::span<int16_t> out) {
  for (int16_t& s : out) {
    // Reduce n to one period's worth of cycles first so the sine's argument stays small.
    const double cycles = std::fmod(static_cast<double>(next_) * freq_hz_ / SEND_RATE, 1.0);
    s = static_cast<int16_t>(std::lround(amplitude_ * std::sin(2.0 * std::numbers::pi * cycles)));
    ++next_;
  }
  return out.size();
}

size_t BufferSource::read(std::span<int16_t> out) {
  const size_t n = std::min(out.size(), samples_.size() - pos_);
  std::copy_n(samples_.begin() + static_cast<ptrdiff_t>(pos_), n, out.begin());
  pos_ += n;
  return n;
}

size_t LimitedSource::read(std::span<int16_t> out) {
  const size_t want = static_cast<size_t>(std::min<uint64_t>(out.size(), remaining_));
  if (want == 0) return 0;
  const size_t n = inner_->read(out.first(want));
  remaining_ -= n;
  return n;
}

Result<std::vector<int16_t>> parse_wav(std::span<const uint8_t> bytes) {
  if (bytes.size() < 12 || !tag_is(bytes, 0, "RIFF") || !tag_is(bytes, 8, "WAVE")) {
    return make_error("not a WAV file (no RIFF/WAVE header)");
  }
  std::optional<WavFormat> format;
  size_t at = 12;
  while (bytes.size() - at >= 8) {
    const uint32_t size = le(bytes, at + 4, 4);
    const size_t body = at + 8;
    // Streamed files may declare more than they hold; take what is there.
    const size_t available = std::min<size_t>(size, bytes.size() - body);
    if (tag_is(bytes, at, "fmt ")) {
      if (available < 16) return make_error("WAV fmt chunk is too short");
      WavFormat f;
      f.tag = static_cast<uint16_t>(le(bytes, body, 2));
      f.channels = static_cast<uint16_t>(le(bytes, body + 2, 2));
      f.rate = le(bytes, body + 4, 4);
      f.bits = static_cast<uint16_t>(le(bytes, body + 14, 2));
      // The extensible form names its real format in the first two bytes of the sub-format.
      if (f.tag == WAVE_FORMAT_EXTENSIBLE && available >= 26) {
        f.tag = static_cast<uint16_t>(le(bytes, body + 24, 2));
      }
      format = f;
    } else if (tag_is(bytes, at, "data")) {
      if (!format) return make_error("WAV data chunk comes before its fmt chunk");
      if (format->tag != WAVE_FORMAT_PCM || format->channels != 1 || format->rate != SEND_RATE ||
          format->bits != 16) {
        return make_error(fmt::format(
            "unsupported WAV format ({} ch, {} Hz, {}-bit, format tag {}): need 16-bit PCM, "
            "mono, 48000 Hz",
            format->channels, format->rate, format->bits, format->tag));
      }
      std::vector<int16_t> samples(available / 2);
      for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(le(bytes, body + 2 * i, 2));
      }
      return samples;
    }
    at = body + available + (available % 2);  // chunks are padded to even sizes
    if (at > bytes.size()) break;
  }
  return make_error(format ? "WAV file has no data chunk" : "WAV file has no fmt chunk");
}

Result<std::vector<int16_t>> load_wav(const std::string& path) {
  const std::filesystem::path fs_path(std::u8string(path.begin(), path.end()));
  std::ifstream in(fs_path, std::ios::binary);
  if (!in) return make_error(fmt::format("cannot open {}", path));
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>()};
  if (in.bad()) return make_error(fmt::format("cannot read {}", path));
  auto samples = parse_wav(bytes);
  if (!samples) return make_error(fmt::format("{}: {}", path, samples.error()));
  return samples;
}

}  // namespace brindle::send
