// The jitter buffer's lock. On POSIX it inherits priority: a real-time render thread that waits
// for it lends its priority to the normal-priority holder, so a preempted receiver thread cannot
// hold it up. Windows boosts lock holders itself, and keeps std::mutex.
#pragma once

#ifdef _WIN32
#include <mutex>
#else
#include <pthread.h>
#endif

namespace brindle {

#ifdef _WIN32
using PiMutex = std::mutex;
#else
// Lockable, for std::lock_guard.
class PiMutex {
 public:
  PiMutex();
  ~PiMutex();
  PiMutex(const PiMutex&) = delete;
  PiMutex& operator=(const PiMutex&) = delete;

  void lock();
  void unlock();

 private:
  pthread_mutex_t mutex_;
};
#endif

}  // namespace brindle
