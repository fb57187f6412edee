#include <windows.h>

#include <timeapi.h>

#include "fine_timer.h"

namespace brindle::send {

FineTimer::FineTimer() : active_(::timeBeginPeriod(1) == TIMERR_NOERROR) {}

FineTimer::~FineTimer() {
  if (active_) ::timeEndPeriod(1);
}

}  // namespace brindle::send
