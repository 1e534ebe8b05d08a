// Text made as printf makes it, whatever its length; counts with their nouns.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/platform.h"

inline std::string vprinted(const char* format, va_list args) QDM7_PRINTF(1, 0);
inline std::string vprinted(const char* format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

inline std::string printed(const char* format, ...) QDM7_PRINTF(1, 2);
inline std::string printed(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = vprinted(format, args);
    va_end(args);
    return text;
}

// A count with its noun: "1 block", "97 blocks"; plural given where adding
// an s does not make it ("CRC query", "CRC queries").
inline std::string counted(long long number, const char* one, const char* many = nullptr)
{
    if (number == 1)
        return printed("1 %s", one);
    return many != nullptr ? printed("%lld %s", number, many) : printed("%lld %ss", number, one);
}
