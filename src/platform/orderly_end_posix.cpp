#include <pthread.h>
#include <signal.h>

#include <system_error>
#include <thread>

#include "platform/orderly_end.h"

namespace brindle {
namespace {

sigset_t end_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

// The signal's own default action on this thread, the only one that takes it: the process ends
// with the status it always had.
[[noreturn]] void end_as_the_system_would(int signal_number) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal_number, &action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signal_number);
  for (;;) ::pause();
}

}  // namespace

void watch_orderly_end() {
  const sigset_t set = end_signals();
  // The signals wait for sigwait, not in a handler: the farewell needs locks and threads.
  if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  try {
    std::thread([set] {
      int signal_number = 0;
      while (::sigwait(&set, &signal_number) != 0) {
      }
      run_farewell();
      end_as_the_system_would(signal_number);
    }).detach();
  } catch (const std::system_error&) {
    // Without the watcher the signals keep their default action.
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  }
}

}  // namespace brindle
