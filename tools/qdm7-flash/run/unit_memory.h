// What a unit's thread leaves behind in the process's memory once it ends.
// Each unit's update takes a padded copy of the image (about 1.5 MiB) on
// its own thread; a long watch must not keep one such copy resident for
// every thread's heap it has used.
#pragma once

// From now on a block as large as a unit's image goes back to the system
// when it is freed, whichever thread freed it. Once, before the first
// worker's thread.
void return_large_blocks_when_freed();
