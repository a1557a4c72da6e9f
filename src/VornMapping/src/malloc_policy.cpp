#include "malloc_policy.h"

#include <cstdlib>  // defines __GLIBC__ on the GNU C library

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void shareOneHeapAcrossThreads() {
#if defined(__GLIBC__)
  ::mallopt(M_ARENA_MAX, 1);
#endif
}

void keepFreedBlocksForReuse() {
#if defined(__GLIBC__)
  ::mallopt(M_MMAP_THRESHOLD, kHeapBlockLimit);
  ::mallopt(M_TRIM_THRESHOLD, kKeptFreeTop);
#endif
}
