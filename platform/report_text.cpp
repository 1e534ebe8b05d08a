#include "platform/report.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* FATAL_HEADER = "\n\nAn Error has occurred as follows:\n";
constexpr const char* FATAL_CLOSING = "\n\n The program will now abort\n\n\n";

// Appends with bounded formatting; the length never passes size - 1.
void append(char* text, std::size_t& length, std::size_t size, const char* piece)
{
    if (length + 1 >= size)
        return;
    const std::size_t room = size - 1 - length;
    std::size_t n = std::strlen(piece);
    if (n > room)
        n = room;
    std::memcpy(text + length, piece, n);
    length += n;
    text[length] = '\0';
}

} // namespace

std::size_t format_fatal_text(char* text, const char* message, unsigned long error_code,
                              const char* system_text)
{
    const std::size_t size = FATAL_TEXT_SIZE;
    const std::size_t closing = std::strlen(FATAL_CLOSING);
    std::size_t length = 0;
    text[0] = '\0';
    append(text, length, size, FATAL_HEADER);

    // The message line; keep room for the closing lines when a huge message
    // would otherwise crowd them out.
    char line[FATAL_TEXT_SIZE];
    std::snprintf(line, sizeof line, "          %s\n", message ? message : "");
    append(text, length, size - closing, line);

    if (error_code != 0) {
        std::snprintf(line, sizeof line, "Error number %ld reported\n", static_cast<long>(error_code));
        append(text, length, size - closing, line);
        append(text, length, size - closing, system_text ? system_text : "");
    }
    append(text, length, size, FATAL_CLOSING);
    return length;
}
