#include "fine_timer.h"

namespace brindle::send {

FineTimer::FineTimer() = default;
FineTimer::~FineTimer() = default;

}  // namespace brindle::send
