// PipeWire's property texts and metadata values, read without the library: the channel layout
// of a sink node and the default sink named in the "default" metadata.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brindle {

// Channel names of an "audio.position" value: "[ FL FR ]", "FL,FR" or "FL FR".
std::vector<std::string> parse_channel_positions(std::string_view text);

// The sink's channel count from its "audio.channels" or else its "audio.position" property;
// two when neither says (the stream is converted to the sink's layout anyway).
uint16_t sink_channel_count(std::optional<std::string_view> channels,
                            std::optional<std::string_view> position);

// The node name in a "default.audio.sink" metadata value such as {"name":"alsa_output.x"};
// nullopt when the value is not such an object.
std::optional<std::string> default_sink_name(std::string_view json);

// "node.latency" for a quantum of `frames` at 48 kHz, never below 10 ms.
std::string node_latency_property(uint32_t frames);

}  // namespace brindle
