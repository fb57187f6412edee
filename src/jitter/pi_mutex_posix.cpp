#include "jitter/pi_mutex.h"

namespace brindle {

PiMutex::PiMutex() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  // Where the protocol is unsupported the mutex stays an ordinary one, which is still correct.
  pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
  pthread_mutex_init(&mutex_, &attr);
  pthread_mutexattr_destroy(&attr);
}

PiMutex::~PiMutex() {
  pthread_mutex_destroy(&mutex_);
}

void PiMutex::lock() {
  pthread_mutex_lock(&mutex_);
}

void PiMutex::unlock() {
  pthread_mutex_unlock(&mutex_);
}

}  // namespace brindle
