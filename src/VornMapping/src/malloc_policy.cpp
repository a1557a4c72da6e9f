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
