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

// Stream errors are written as "audio stream error: {err}" on standard error.
Result<AudioOutput> open_audio_output(AudioHost& host, std::string_view query,
                                      std::shared_ptr<JitterBuffer> jitter);

}  // namespace brindle
