#include <windows.h>

#include "platform/embedded_image.h"

EmbeddedImage find_embedded_image(void* instance)
{
    // The resource is searched in the program's own module (no module
    // handle), then loaded through the instance the program was started with.
    HRSRC found = FindResourceA(nullptr, "BINFILE", RT_RCDATA);
    if (found == nullptr)
        return {};
    HGLOBAL loaded = LoadResource(static_cast<HMODULE>(instance), found);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr)
        return {};
    return {static_cast<const std::uint8_t*>(bytes),
            static_cast<std::uint32_t>(SizeofResource(static_cast<HMODULE>(instance), found))};
}
