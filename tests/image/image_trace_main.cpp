// Loads the built-in image on the real platform of this build, so that its
// two trace lines can be checked as the program's standard output shows them.
#include "engine/image.h"
#include "platform/embedded_image.h"

int main()
{
    static UpdateJob job; // process-wide, as in the program: the copy is kept
    const EmbeddedImage image = find_embedded_image(nullptr);
    load_firmware_image(image.data, image.length, job);
    trace_flush();
    return 0;
}
