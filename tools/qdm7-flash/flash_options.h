// Command line of qdm7-flash: the port to update, or one of the other
// actions, and how long an update may take.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tools/qdm7-flash/port_select.h"

// Longer than any real run needs, short enough to fit the tick counter.
inline constexpr long MAX_DEADLINE_SECONDS = 86400L * 7;

struct FlashOptions {
    std::string port;             // empty: no --port
    std::optional<UsbSelector> usb; // --port usb:VID:PID[:SERIAL], parsed
    bool reconnect = true;        // false: --no-reconnect
    bool list = false;
    bool version = false;
    bool help = false;
    std::uint32_t deadline_ms = 0; // 0: no deadline
};

// Parses argv[1..argc). False for a usage error, with error holding its
// one-line message (without the program's name or the hint to --help). With
// --help among valid arguments, only options.help is to be acted on.
bool parse_flash_options(int argc, const char* const* argv, FlashOptions& options, std::string& error);

// The --help text.
const char* flash_usage();
