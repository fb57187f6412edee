// Preloaded into the receiver: counts heap allocations made inside one function of the program
// (the sound server's process callback, as an offset range) into a shared file the measuring
// script reads while it runs.
#define _GNU_SOURCE
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);

// count, then the sizes of the last eight allocations
static uint64_t* counts;
static uintptr_t range_lo, range_hi;  // absolute, once the program's base is known
static __thread int inside;           // the unwinder may allocate: not counted, not re-entered

static int first_object(struct dl_phdr_info* info, size_t size, void* base) {
  (void)size;
  *(uintptr_t*)base = info->dlpi_addr;
  return 1;
}

__attribute__((constructor)) static void open_counts(void) {
  const char* path = getenv("ALLOC_COUNT_FILE");
  const char* range = getenv("ALLOC_COUNT_RANGE");
  unsigned long lo = 0, hi = 0;
  if (range && sscanf(range, "%lx-%lx", &lo, &hi) == 2) {
    uintptr_t base = 0;
    dl_iterate_phdr(first_object, &base);
    range_lo = base + lo;
    range_hi = base + hi;
    void* frames[4];
    inside = 1;
    backtrace(frames, 4);  // loads the unwinder now, not on the audio thread
    inside = 0;
  }
  if (!path) return;
  const int fd = open(path, O_RDWR | O_CREAT, 0600);
  if (fd < 0 || ftruncate(fd, 9 * sizeof(uint64_t)) != 0) return;
  void* map = mmap(NULL, 9 * sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (map != MAP_FAILED) counts = map;
}

static int called_from_range(void) {
  if (!range_hi) return 1;
  void* frames[32];
  inside = 1;
  const int n = backtrace(frames, 32);
  inside = 0;
  for (int i = 0; i < n; ++i) {
    const uintptr_t pc = (uintptr_t)frames[i];
    if (pc >= range_lo && pc < range_hi) return 1;
  }
  return 0;
}

static void note(size_t size) {
  if (!counts || inside) return;
  if (!called_from_range()) return;
  const uint64_t n = __atomic_fetch_add(&counts[0], 1, __ATOMIC_RELAXED);
  __atomic_store_n(&counts[1 + n % 8], size, __ATOMIC_RELAXED);
}

void* malloc(size_t size) {
  note(size);
  return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
  note(n * size);
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
  note(size);
  return __libc_realloc(p, size);
}
void* memalign(size_t alignment, size_t size) {
  note(size);
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
  return memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  void* p = memalign(alignment, size);
  if (!p) return 12;  // ENOMEM
  *out = p;
  return 0;
}
