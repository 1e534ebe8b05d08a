// Command line of qdm7-sim: where to serve the virtual QDM7, how fast the
// wire is, when the device powers on, and which faults it shows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/qdm7_device.h"

inline constexpr std::uint32_t SIM_DEFAULT_BAUD = 921600;
// A request that stops arriving for longer than this is dropped as partial;
// the updater's own reads end after 20 ms between bytes too.
inline constexpr std::uint32_t SIM_LINE_IDLE_MS = 20;
// A split reply pauses this long unless told otherwise: longer than the
// updater's 20 ms inter-byte end, so it reads the reply as two pieces.
inline constexpr std::uint32_t SIM_DEFAULT_SPLIT_GAP_MS = 50;

struct SimOptions {
    std::string device_path;          // empty: serve a new pseudo-terminal
    std::string link_path;            // symbolic link made to the pty's path
    std::uint32_t baud = SIM_DEFAULT_BAUD; // 0: unpaced
    std::uint32_t program_ms = 0;     // programming time of one block
    bool power_on_delayed = false;
    std::uint32_t power_on_after_ms = 0; // from the first byte received
    std::uint32_t power_on_after_queries = 0; // 0: no such wait
    std::uint32_t power_off_in_block = 0;     // 0: the power stays
    bool echo = false;                // a paced loopback, no device
    std::vector<FaultRule> faults;
    std::uint32_t seed = 1;
    std::string dump_path;
    std::string flash_from_path;      // the flash at start, as --dump wrote it
    std::uint32_t erase_sector_size = 0;
    bool exit_after_reset = false;
    bool verbose = false;
};

enum class ParseResult { Run, Help, Error };

// Parses argv[1..argc); on Error, error holds a one-line message.
ParseResult parse_sim_options(int argc, const char* const* argv, SimOptions& options, std::string& error);
// One fault rule from "KIND[:key=value,...]", as --fault takes it.
bool parse_fault_rule(const std::string& text, FaultRule& rule, std::string& error);
// The --help text.
const char* sim_usage();
