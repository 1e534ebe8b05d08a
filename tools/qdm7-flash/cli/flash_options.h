// Command line of qdm7-flash: the ports to update, or one of the other
// actions, how long an update may take, and where records and traces go.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/qdm7-flash/cli/port_select.h"

// Longer than any real run needs, short enough to fit the tick counter.
inline constexpr long MAX_DEADLINE_SECONDS = 86400L * 7;
// More units than a station updates in years.
inline constexpr long MAX_WATCH_COUNT = 1000000L;

// One --port: a path, or a USB selection.
struct PortChoice {
    std::string text;               // as given
    std::optional<UsbSelector> usb; // usb:VID:PID[:SERIAL], parsed
};

// What a run does: one action, asked for by its option (an update by its
// --port options alone).
enum class FlashAction : std::uint8_t {
    Update,  // --port ...
    Watch,   // --watch
    Verify,  // --verify
    Doctor,  // --doctor
    List,    // --list
    Version, // --version
    Help,    // --help, -h
};

struct FlashOptions {
    FlashAction action = FlashAction::Update;
    std::vector<PortChoice> ports; // every --port, in order; none: no --port
    bool reconnect = true;        // false: --no-reconnect
    std::string report_path;      // --report FILE; empty: none
    std::string log_dir;          // --log-dir DIR; empty: none
    bool skip_if_current = false; // --skip-if-current: verify first, update only what differs
    std::uint32_t deadline_ms = 0; // 0: no deadline
    std::uint32_t count = 0;       // --count N with --watch: end after N units; 0: no end
};

// Parses argv[1..argc). False for a usage error, with error holding its
// one-line message (without the program's name or the hint to --help).
// Every option but --port is given at most once, and goes with the actions
// that take it: any other combination is a usage error, said of the first
// option that does not fit. With --help among valid arguments, the action
// is Help, whatever the rest.
bool parse_flash_options(int argc, const char* const* argv, FlashOptions& options, std::string& error);

// The --help text.
const char* flash_usage();
