// The running output stream that renders the jitter buffer into the chosen device.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "audio/audio_host.h"
#include "jitter/jitter_buffer.h"
#include "platform/result.h"

namespace brindle {

struct AudioOutput {
  std::unique_ptr<AudioStream> stream;  // holding it keeps the stream running
  std::string device_name;
  uint32_t sample_rate = 0;
  uint16_t channels = 0;
};

// "audio stream error: {err}\n"
std::string stream_error_line(const std::string& error);
// Writes stream_error_line() on standard error.
void report_stream_error(const std::string& error);

// `on_error` gets the running stream's errors (by default report_stream_error).
Result<AudioOutput> open_audio_output(AudioHost& host, std::string_view query,
                                      std::shared_ptr<JitterBuffer> jitter,
                                      ErrorCallback on_error = report_stream_error);

// "→ rendering into "{name}"  ({rate} Hz, {ch} ch)\n"
std::string rendering_line(const AudioOutput& output);

}  // namespace brindle
