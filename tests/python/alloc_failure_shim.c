/* Preloaded into a test interpreter: counts heap allocations and makes a chosen one fail, as an
 * exhausted address space would, so that every allocation site of a call can be made to fail in
 * turn. Built by test_memory_errors.py; glibc's own allocator does the real work. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdatomic.h>
#include <stddef.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* p, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);

static atomic_long seen = 0;        /* allocations since the last arm or count */
static atomic_long fail_at = -1;    /* index (in `seen`) of the allocation to fail; -1: none */
static atomic_int counting = 0;

/* Counts allocations from now on without failing any; returns nothing. */
void shim_count(void) {
  atomic_store(&fail_at, -1);
  atomic_store(&seen, 0);
  atomic_store(&counting, 1);
}

/* Makes the allocation `index` from now on (0 is the next one) fail, once. */
void shim_fail_at(long index) {
  atomic_store(&counting, 0);
  atomic_store(&seen, 0);
  atomic_store(&fail_at, index);
}

/* Stops counting and failing; returns the allocations seen since the last arm or count. */
long shim_stop(void) {
  atomic_store(&fail_at, -1);
  atomic_store(&counting, 0);
  return atomic_load(&seen);
}

static int should_fail(void) {
  if (atomic_load(&fail_at) < 0 && !atomic_load(&counting)) return 0;
  const long index = atomic_fetch_add(&seen, 1);
  long expected = index;
  /* Only one allocation fails: the first to reach the index clears it. */
  return atomic_compare_exchange_strong(&fail_at, &expected, -1);
}

void* malloc(size_t size) {
  if (should_fail()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  if (should_fail()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_calloc(count, size);
}

void* realloc(void* p, size_t size) {
  if (size != 0 && should_fail()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_realloc(p, size);
}

void* memalign(size_t alignment, size_t size) {
  if (should_fail()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, size_t alignment, size_t size) {
  void* p = memalign(alignment, size);
  if (p == NULL) return ENOMEM;
  *out = p;
  return 0;
}
