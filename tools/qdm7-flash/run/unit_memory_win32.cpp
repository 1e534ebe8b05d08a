#include "tools/qdm7-flash/run/unit_memory.h"

// The Windows heap gives a block this large (over half a megabyte) memory
// of its own from the system and returns it at its free: nothing to set.
void return_large_blocks_when_freed() {}
