// The audio layer: hosts, output devices, configuration ranges and output streams with a data
// and an error callback. Backends: PipeWire and PulseAudio (Linux), WASAPI (Windows), and fakes
// in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace brindle {

enum class SampleFormat { I8, I16, I32, I64, U8, U16, U32, U64, F32, F64 };

// "I8" .. "F64".
std::string_view sample_format_name(SampleFormat format);

struct SupportedConfigRange {
  uint16_t channels = 0;
  uint32_t min_sample_rate = 0;
  uint32_t max_sample_rate = 0;
  SampleFormat format = SampleFormat::F32;
};

struct StreamConfig {
  uint16_t channels = 0;
  uint32_t sample_rate = 0;
  SampleFormat format = SampleFormat::F32;
};

// Called on the backend's stream thread with an interleaved buffer of `samples` values in the
// stream's format (a multiple of the channel count).
using DataCallback = std::function<void(void* buffer, size_t samples)>;
// Called on the backend's thread with the description of a running stream's failure.
using ErrorCallback = std::function<void(const std::string& error)>;

class AudioStream {
 public:
  virtual ~AudioStream() = default;  // stops the stream and ends its thread
  // Starts the stream, or resumes it after pause().
  virtual Status play() = 0;
  // Stops rendering but keeps the stream: no data callback runs until play() again.
  virtual Status pause() = 0;
};

class AudioDevice {
 public:
  virtual ~AudioDevice() = default;
  virtual Result<std::string> name() const = 0;
  virtual Result<std::vector<SupportedConfigRange>> supported_output_configs() const = 0;
  virtual Result<StreamConfig> default_output_config() const = 0;
  virtual Result<std::unique_ptr<AudioStream>> build_output_stream(const StreamConfig& config,
                                                                   DataCallback data,
                                                                   ErrorCallback error) = 0;
};

class AudioHost {
 public:
  virtual ~AudioHost() = default;
  virtual std::string name() const = 0;
  // nullptr when the host has no default output device.
  virtual std::unique_ptr<AudioDevice> default_output_device() = 0;
  // Active output devices in the host's own order.
  virtual Result<std::vector<std::unique_ptr<AudioDevice>>> output_devices() = 0;
  // Calls `changed` on the host's own thread each time the system default output becomes
  // another device, until the host is destroyed. Hosts that cannot tell never call it.
  virtual void watch_default_output(std::function<void()> changed) { (void)changed; }
};

// The platform's default host: on Linux PipeWire when its daemon answers, else PulseAudio
// (host_choice_linux.cpp); WASAPI on Windows.
std::unique_ptr<AudioHost> default_host();

}  // namespace brindle
