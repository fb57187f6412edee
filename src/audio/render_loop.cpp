#include "audio/render_loop.h"

namespace brindle {

void run_render_loop(RenderLoopDriver& driver, const ErrorCallback& error) {
  int stalled = 0;
  for (;;) {
    // Paused, nothing is due: sleep until a command or the stop request.
    const bool paused = driver.paused();
    const std::optional<std::chrono::milliseconds> timeout =
        paused ? std::nullopt : std::optional(RENDER_WAIT_TIMEOUT);
    const Result<RenderWake> woke = driver.wait(timeout);
    if (!woke) {
      error(woke.error());
      return;
    }
    if (*woke == RenderWake::STOP) return;
    if (*woke == RenderWake::COMMAND) {
      stalled = 0;
      continue;
    }
    // On a time-out the fill asks the device for its padding, which is where a vanished
    // endpoint shows.
    const Result<uint32_t> filled = driver.fill();
    if (!filled) {
      error(filled.error());
      return;
    }
    if (*woke == RenderWake::BUFFER || *filled != 0) {
      stalled = 0;
    } else if (++stalled >= STALLED_WAITS) {
      error("the audio device stopped taking audio");
      return;
    }
  }
}

}  // namespace brindle
