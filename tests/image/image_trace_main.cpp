// Loads the built-in image on the real platform of this build, so that its
// two trace lines can be checked as the program's standard output shows them.
#include "engine/image.h"

int main()
{
    static UpdateJob job; // process-wide, as in the program: the copy is kept
    load_firmware_image(nullptr, job);
    trace_flush();
    return 0;
}
