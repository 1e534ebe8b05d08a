// The firmware image carried inside the program: a Windows RCDATA resource
// "BINFILE" (language 0x0809), or on POSIX the same bytes linked in by the
// build. Nothing is read from disk at run time.
#pragma once

#include <cstdint>

struct EmbeddedImage {
    const std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
};

// The embedded image of the running program, or an empty one (null data,
// length 0) when the program was linked without it. instance is the module
// that carries the image (the HINSTANCE on Windows; unused elsewhere).
EmbeddedImage find_embedded_image(void* instance);
