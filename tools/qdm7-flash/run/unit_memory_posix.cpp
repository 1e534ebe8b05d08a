#include "tools/qdm7-flash/run/unit_memory.h"

#include <cstdlib> // says which C library this is
#if defined(__GLIBC__)
#include <malloc.h>
#endif

// glibc raises its mmap threshold to the size of the first large block
// freed, so that every later image copy is carved from the heap of the
// thread's arena and stays resident there when freed (an arena per thread
// at once, up to 8 a core): a station's memory rose by an image a thread.
// A fixed threshold, well under an image and above the frame buffers,
// keeps the copies mapped on their own and unmapped at their free.
void return_large_blocks_when_freed()
{
#if defined(__GLIBC__)
    constexpr int LARGE_BLOCK = 256 * 1024;
    mallopt(M_MMAP_THRESHOLD, LARGE_BLOCK);
#endif
}
