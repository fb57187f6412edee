/* LD_PRELOAD shim for the end-to-end suites: makes recvfrom on the socket bound to UDP 45333 fail
 * for a while in the middle of a stream.
 *   BRINDLE_FAULT_AFTER    datagrams delivered before the failures begin
 *   BRINDLE_FAULT_ERRNOS   comma-separated names, used in turn (ENETDOWN, ENOBUFS, ENOMEM)
 *   BRINDLE_FAULT_SECONDS  how long every call fails
 *   BRINDLE_FAULT_LOG      a file that gets "<CLOCK_MONOTONIC seconds> <errno>" per failed call
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

static int errnos[8];
static int errno_count = -1; /* -1: the environment is not read yet */
static long delivered;
static long after;
static double seconds;
static double began = -1.0;
static long failed;

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void read_plan(void) {
  const char* list = getenv("BRINDLE_FAULT_ERRNOS");
  errno_count = 0;
  after = atol(getenv("BRINDLE_FAULT_AFTER") ? getenv("BRINDLE_FAULT_AFTER") : "0");
  seconds = atof(getenv("BRINDLE_FAULT_SECONDS") ? getenv("BRINDLE_FAULT_SECONDS") : "0");
  char names[256];
  snprintf(names, sizeof names, "%s", list ? list : "");
  for (char* name = strtok(names, ","); name && errno_count < 8; name = strtok(NULL, ",")) {
    if (strcmp(name, "ENETDOWN") == 0) errnos[errno_count++] = ENETDOWN;
    if (strcmp(name, "ENOBUFS") == 0) errnos[errno_count++] = ENOBUFS;
    if (strcmp(name, "ENOMEM") == 0) errnos[errno_count++] = ENOMEM;
  }
}

static int is_audio_socket(int fd) {
  struct sockaddr_storage local;
  socklen_t length = sizeof local;
  if (getsockname(fd, (struct sockaddr*)&local, &length) != 0) return 0;
  if (local.ss_family == AF_INET6) return ntohs(((struct sockaddr_in6*)&local)->sin6_port) == 45333;
  if (local.ss_family == AF_INET) return ntohs(((struct sockaddr_in*)&local)->sin_port) == 45333;
  return 0;
}

static void log_failure(int code) {
  const char* path = getenv("BRINDLE_FAULT_LOG");
  FILE* log = path ? fopen(path, "a") : NULL;
  if (!log) return;
  fprintf(log, "%.6f %d\n", now(), code);
  fclose(log);
}

ssize_t recvfrom(int fd, void* buffer, size_t size, int flags, struct sockaddr* from,
                 socklen_t* from_length) {
  static ssize_t (*real)(int, void*, size_t, int, struct sockaddr*, socklen_t*);
  if (!real) real = dlsym(RTLD_NEXT, "recvfrom");
  if (errno_count < 0) read_plan();
  const int audio = errno_count > 0 && is_audio_socket(fd);
  if (audio) {
    if (began < 0 && delivered >= after) began = now();
    if (began >= 0 && now() - began < seconds) {
      const int code = errnos[failed++ % errno_count];
      log_failure(code);
      errno = code;
      return -1;
    }
  }
  const ssize_t n = real(fd, buffer, size, flags, from, from_length);
  if (audio && n >= 0) ++delivered;
  return n;
}
