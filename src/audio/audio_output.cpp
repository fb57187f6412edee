#include "audio/audio_output.h"

#include <fmt/format.h>
#include <cstdint>
#include <optional>
#include <utility>

#include "audio/device_selection.h"
#include "audio/render_state.h"
#include "platform/console.h"

namespace brindle {
namespace {

bool covers_stream_rate(const SupportedConfigRange& range) {
  return range.min_sample_rate <= STREAM_RATE && range.max_sample_rate >= STREAM_RATE;
}

// The first F32 range that allows 48 kHz, else the first other one that does; when none does
// (or the ranges cannot be read) the device's own default configuration.
Result<StreamConfig> choose_config(const AudioDevice& device) {
  if (const Result<std::vector<SupportedConfigRange>> ranges = device.supported_output_configs()) {
    std::optional<SupportedConfigRange> f32;
    std::optional<SupportedConfigRange> other;
    for (const SupportedConfigRange& range : *ranges) {
      if (!covers_stream_rate(range)) continue;
      if (range.format == SampleFormat::F32) {
        if (!f32) f32 = range;
      } else if (!other) {
        other = range;
      }
    }
    if (const std::optional<SupportedConfigRange>& chosen = f32 ? f32 : other) {
      return StreamConfig{chosen->channels, STREAM_RATE, chosen->format};
    }
  }
  Result<StreamConfig> fallback = device.default_output_config();
  if (!fallback) return make_error("no usable output config: " + fallback.error());
  // A rate of 0 would make the resampler's step infinite and hang the render thread.
  if (fallback->sample_rate == 0) {
    return make_error("no usable output config: the device reports a sample rate of 0 Hz");
  }
  return fallback;
}

// Binds the shared render state to the buffer type of the stream's format.
DataCallback make_data_callback(std::shared_ptr<RenderState> state, SampleFormat format) {
  switch (format) {
    case SampleFormat::F32:
      return [state](void* buffer, size_t samples) {
        state->render_block(std::span<float>(static_cast<float*>(buffer), samples));
      };
    case SampleFormat::I16:
      return [state](void* buffer, size_t samples) {
        state->render_block(std::span<int16_t>(static_cast<int16_t*>(buffer), samples));
      };
    case SampleFormat::U16:
      return [state](void* buffer, size_t samples) {
        state->render_block(std::span<uint16_t>(static_cast<uint16_t*>(buffer), samples));
      };
    default:
      return nullptr;
  }
}

}  // namespace

std::string stream_error_line(const std::string& error) {
  return fmt::format("audio stream error: {}\n", error);
}

void report_stream_error(const std::string& error) {
  console::write_err(stream_error_line(error));
}

std::string rendering_line(const AudioOutput& output) {
  return fmt::format("\u2192 rendering into \"{}\"  ({} Hz, {} ch)\n", output.device_name,
                     output.sample_rate, output.channels);
}

Result<AudioOutput> open_audio_output(AudioHost& host, std::string_view query,
                                      std::shared_ptr<JitterBuffer> jitter,
                                      ErrorCallback on_error) {
  Result<FoundDevice> found = find_output_device(host, query);
  if (!found) return make_error(found.error());
  AudioDevice& device = *found->device;

  const Result<StreamConfig> config = choose_config(device);
  if (!config) return make_error(config.error());
  if (config->format != SampleFormat::F32 && config->format != SampleFormat::I16 &&
      config->format != SampleFormat::U16) {
    return make_error(
        fmt::format("unsupported sample format: {}", sample_format_name(config->format)));
  }

  auto state =
      std::make_shared<RenderState>(std::move(jitter), config->sample_rate, config->channels);
  Result<std::unique_ptr<AudioStream>> stream = device.build_output_stream(
      *config, make_data_callback(std::move(state), config->format), std::move(on_error));
  if (!stream) return make_error("could not build output stream: " + stream.error());
  if (const Status started = (*stream)->play(); !started) {
    return make_error("could not start audio: " + started.error());
  }
  return AudioOutput{std::move(stream).value(), std::move(found->name), config->sample_rate,
                     config->channels};
}

}  // namespace brindle
