// The decisions of an event-driven render thread, apart from the OS calls that it makes: how
// long to wait, what a wake-up means, and when the stream counts as dead. A stream that stops
// signalling its buffer event must not leave the thread waiting for ever.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "audio/audio_host.h"
#include "platform/result.h"

namespace brindle {

// A few device periods: long enough never to fire on a healthy stream.
inline constexpr std::chrono::milliseconds RENDER_WAIT_TIMEOUT{200};
// Time-outs in a row without room in the buffer after which the stream is taken for dead.
inline constexpr int STALLED_WAITS = 10;

enum class RenderWake { STOP, COMMAND, BUFFER, TIMEOUT };

// The stream as the render thread sees it. Render thread only.
class RenderLoopDriver {
 public:
  virtual ~RenderLoopDriver() = default;
  // Waits for the stop request, a pause/resume command or the buffer event; nullopt waits
  // without a time limit.
  virtual Result<RenderWake> wait(std::optional<std::chrono::milliseconds> timeout) = 0;
  // Whether the stream is paused (it then signals nothing).
  virtual bool paused() const = 0;
  // Asks the device how much room it has and fills it; the frames written.
  virtual Result<uint32_t> fill() = 0;
};

// Runs until a stop request, or until the first failure, which goes to `error` once.
void run_render_loop(RenderLoopDriver& driver, const ErrorCallback& error);

}  // namespace brindle
