#include "stop_signal.h"

#include <csignal>

namespace brindle::send {
namespace {

// A signal handler can reach nothing but a static flag; this is the program's only global.
volatile std::sig_atomic_t g_stop = 0;

extern "C" void on_stop_signal(int) {
  g_stop = 1;
}

}  // namespace

void install_stop_handler() {
  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);
}

bool stop_requested() {
  return g_stop != 0;
}

}  // namespace brindle::send
