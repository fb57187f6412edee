#include "main/tray_picture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

namespace brindle {
namespace {

struct Colour {
  uint8_t red, green, blue;
};

constexpr Colour GREY{0x8a, 0x8a, 0x8a};
constexpr Colour GREEN{0x2e, 0xa0, 0x43};
constexpr Colour AMBER{0xe0, 0x9a, 0x1c};
constexpr Colour WHITE{0xff, 0xff, 0xff};
constexpr int SUBSAMPLES = 4;  // per axis, for smooth edges

void put_u32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// What lies at a point, as a distance from the centre in units of the icon's radius.
std::optional<Colour> colour_at(TrayPicture picture, double distance) {
  switch (picture) {
    case TrayPicture::WAITING:
      if (distance <= 1.0 && distance >= 0.62) return GREY;
      return std::nullopt;
    case TrayPicture::STREAMING:
      if (distance <= 0.34) return WHITE;
      if (distance <= 1.0) return GREEN;
      return std::nullopt;
    case TrayPicture::IDLE:
      if (distance <= 1.0) return AMBER;
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

std::vector<uint8_t> tray_picture_bits(TrayPicture picture, int size) {
  size = std::clamp(size, 8, 256);
  const uint32_t mask_row = static_cast<uint32_t>((size + 31) / 32 * 4);
  std::vector<uint8_t> bits;
  bits.reserve(40 + static_cast<size_t>(size * size) * 4 + mask_row * static_cast<size_t>(size));
  put_u32(bits, 40);                               // biSize
  put_u32(bits, static_cast<uint32_t>(size));      // biWidth
  put_u32(bits, static_cast<uint32_t>(size * 2));  // biHeight: colour and mask
  put_u32(bits, 1 | (32u << 16));                  // biPlanes, biBitCount
  for (int i = 0; i < 6; ++i) put_u32(bits, 0);    // compression, sizes, resolutions, colours

  const double centre = size / 2.0;
  const double radius = size * 0.44;
  for (int row = size - 1; row >= 0; --row) {  // bottom-up
    for (int column = 0; column < size; ++column) {
      std::array<double, 3> sum{};
      int covered = 0;
      for (int sy = 0; sy < SUBSAMPLES; ++sy) {
        for (int sx = 0; sx < SUBSAMPLES; ++sx) {
          const double x = column + (sx + 0.5) / SUBSAMPLES - centre;
          const double y = row + (sy + 0.5) / SUBSAMPLES - centre;
          const std::optional<Colour> colour = colour_at(picture, std::hypot(x, y) / radius);
          if (!colour) continue;
          ++covered;
          sum[0] += colour->blue;
          sum[1] += colour->green;
          sum[2] += colour->red;
        }
      }
      for (const double channel : sum) {
        bits.push_back(covered ? static_cast<uint8_t>(std::lround(channel / covered)) : 0);
      }
      bits.push_back(static_cast<uint8_t>(covered * 255 / (SUBSAMPLES * SUBSAMPLES)));
    }
  }
  bits.insert(bits.end(), mask_row * static_cast<size_t>(size), 0);
  return bits;
}

}  // namespace brindle
