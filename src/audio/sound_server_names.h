// How either Linux sound server's mixer shows this program and its stream.
#pragma once

namespace brindle {

inline constexpr const char* APPLICATION_NAME = "Brindle receiver";
inline constexpr const char* STREAM_NAME = "Phone microphone";

}  // namespace brindle
