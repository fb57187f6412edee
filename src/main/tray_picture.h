// The three small pictures of the notification-area icon, drawn here rather than shipped.
#pragma once

#include <cstdint>
#include <vector>

#include "main/tray_text.h"

namespace brindle {

// An icon image of `size` × `size` pixels in the layout of an icon resource: a 32-bit
// BITMAPINFOHEADER (height doubled), the BGRA pixels bottom-up with their alpha, then an empty
// AND mask. Waiting: a grey ring; streaming: a green disk with a white centre; idle: an amber disk.
std::vector<uint8_t> tray_picture_bits(TrayPicture picture, int size);

}  // namespace brindle
