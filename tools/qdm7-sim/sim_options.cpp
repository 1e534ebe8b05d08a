#include "tools/qdm7-sim/sim_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>

#include "engine/frames.h"

namespace {

// Whole decimal numbers only: "12x", "-1" and values past 32 bits are refused.
bool parse_u32(const std::string& text, std::uint32_t& value)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed > 0xFFFFFFFFull)
        return false;
    value = static_cast<std::uint32_t>(parsed);
    return true;
}

struct KindName {
    const char* name;
    FaultKind kind;
};

// The options that take a value.
constexpr std::string_view VALUE_OPTIONS[] = {"--link", "--device",     "--dump",           "--fault",
                                              "--baud", "--program-ms", "--power-on-after", "--seed",
                                              "--flash-from", "--erase-sector-on-first-write",
                                              "--power-on-after-queries", "--power-off-in-block"};

constexpr KindName FAULT_KINDS[] = {
    {"drop", FaultKind::Drop},   {"corrupt", FaultKind::CorruptCrc}, {"delay", FaultKind::Delay},
    {"split", FaultKind::Split}, {"duplicate", FaultKind::Duplicate}, {"flip", FaultKind::FlipFlashBit},
};

} // namespace

const char* sim_usage()
{
    return "Usage: qdm7-sim [OPTIONS]\n"
           "A virtual QDM7 that answers the loader protocol on a new pseudo-terminal\n"
           "(or on a serial device). Prints \"READY <port path>\" on standard output\n"
           "once it serves, and a \"STATS ...\" line when it ends.\n"
           "\n"
           "  --link PATH          also make a symbolic link PATH to the pseudo-terminal\n"
           "                       (e.g. $WINEPREFIX/dosdevices/com3); removed at exit\n"
           "  --device PATH        serve an existing serial device instead (8E1, raw);\n"
           "                       the hardware paces the line, at --baud or 921600\n"
           "  --baud N             wire pacing, 11 bits a character both ways\n"
           "                       (default 921600; 0 = unpaced)\n"
           "  --program-ms MS      programming time of one block (default 0)\n"
           "  --power-on-after MS  stay off (take in and answer nothing) until MS\n"
           "                       milliseconds after the first byte arrives, as when\n"
           "                       the user power-cycles the device after starting\n"
           "  --power-on-after-queries N\n"
           "                       stay off until N queries (the updater's contact\n"
           "                       queries) have arrived, answering the next one; by\n"
           "                       count, so the same on a loaded machine\n"
           "  --power-off-in-block N\n"
           "                       lose the power once half of the Nth program request\n"
           "                       has arrived (before it is programmed) and end, as\n"
           "                       a USB adapter's port goes: dump written, link removed\n"
           "  --echo               no device: send back every byte at the wire's pace,\n"
           "                       as a loopback plug does\n"
           "  --fault RULE         inject a fault; may be repeated. RULE is\n"
           "                       KIND[:key=value,...] with KIND one of\n"
           "                         drop       the reply is not sent\n"
           "                         corrupt    the reply's CRC is wrong\n"
           "                         delay      the reply is sent ms late\n"
           "                         split      the reply pauses ms halfway (default 50)\n"
           "                         duplicate  the reply is sent twice\n"
           "                         flip       a programmed block gets one bit flipped\n"
           "                       and keys every=N (every Nth matching reply; the\n"
           "                       default is every=1) or percent=P (at random, P in 100),\n"
           "                       on=program|query|reset|any, ms=N, count=N (at most\n"
           "                       N times). Example: --fault drop:on=program,count=1\n"
           "  --seed N             seed of the random faults (default 1)\n"
           "  --dump FILE          at exit, write the application flash from its base\n"
           "                       up to the highest byte programmed (FILE is made,\n"
           "                       empty, at the start)\n"
           "  --flash-from FILE    start with this application flash (as --dump wrote\n"
           "                       it; the rest erased), as a device that kept its\n"
           "                       flash through a power cycle\n"
           "  --erase-sector-on-first-write SIZE\n"
           "                       the first block written into a SIZE-byte flash\n"
           "                       sector after power-up erases the whole sector first\n"
           "  --exit-after-reset   end once the reset acknowledgement has been read\n"
           "  --verbose            log requests and replies on standard error\n"
           "  --help               show this text\n"
           "\n"
           "Ends cleanly on SIGINT and SIGTERM (dump written, link removed). A link\n"
           "that a running qdm7-sim serves is refused; STATS counts faults_fired.\n"
           "Exit status: 0 normal end, 1 error, 64 usage error.\n";
}

bool parse_fault_rule(const std::string& text, FaultRule& rule, std::string& error)
{
    rule = FaultRule{};
    const std::size_t colon = text.find(':');
    const std::string kind = text.substr(0, colon);
    bool known = false;
    for (const KindName& entry : FAULT_KINDS) {
        if (kind == entry.name) {
            rule.kind = entry.kind;
            known = true;
        }
    }
    if (!known) {
        error = "unknown fault kind '" + kind + "' (drop, corrupt, delay, split, duplicate, flip)";
        return false;
    }
    if (rule.kind == FaultKind::Split)
        rule.delay_ms = SIM_DEFAULT_SPLIT_GAP_MS;
    bool have_ms = false;
    bool have_every = false;
    std::string rest = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string item = rest.substr(0, comma);
        rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
        const std::size_t equals = item.find('=');
        if (equals == std::string::npos) {
            error = "fault option '" + item + "' is not key=value";
            return false;
        }
        const std::string key = item.substr(0, equals);
        const std::string value = item.substr(equals + 1);
        if (key == "on") {
            if (value == "program")
                rule.sub_command = SUB_PROGRAM;
            else if (value == "query")
                rule.sub_command = SUB_QUERY_CRC;
            else if (value == "reset")
                rule.sub_command = SUB_RESET;
            else if (value == "any")
                rule.sub_command = 0;
            else {
                error = "fault option on=" + value + " is not program, query, reset or any";
                return false;
            }
            continue;
        }
        std::uint32_t number = 0;
        if (!parse_u32(value, number)) {
            error = "fault option " + key + " needs a whole number, not '" + value + "'";
            return false;
        }
        if (key == "every" && number > 0) {
            rule.every = number;
            have_every = true;
        } else if (key == "percent" && number > 0 && number <= 100)
            rule.percent = number;
        else if (key == "ms") {
            rule.delay_ms = number;
            have_ms = true;
        } else if (key == "count")
            rule.max_count = number;
        else {
            error = "fault option '" + item + "' is unknown or out of range";
            return false;
        }
    }
    if (have_every && rule.percent != 0) {
        error = "a fault rule fires on every=N or at percent=P, not both";
        return false;
    }
    if (rule.kind == FaultKind::Delay && !have_ms) {
        error = "a delay fault needs ms=N";
        return false;
    }
    if (rule.every == 0 && rule.percent == 0)
        rule.every = 1;
    return true;
}

ParseResult parse_sim_options(int argc, const char* const* argv, SimOptions& options, std::string& error)
{
    options = SimOptions{};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
            return ParseResult::Help;
        if (arg == "--exit-after-reset") {
            options.exit_after_reset = true;
            continue;
        }
        if (arg == "--echo") {
            options.echo = true;
            continue;
        }
        if (arg == "--verbose" || arg == "-v") {
            options.verbose = true;
            continue;
        }
        // Every other option takes a value, as "--opt value" or "--opt=value".
        if (arg.rfind("--", 0) != 0) {
            error = "unexpected argument '" + arg + "'";
            return ParseResult::Error;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        if (std::find(std::begin(VALUE_OPTIONS), std::end(VALUE_OPTIONS), name) == std::end(VALUE_OPTIONS)) {
            error = "unknown option " + name;
            return ParseResult::Error;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            error = "option " + arg + " needs a value";
            return ParseResult::Error;
        }
        std::uint32_t number = 0;
        const bool numeric = parse_u32(value, number);
        if (name == "--link" || name == "--device" || name == "--dump" || name == "--flash-from") {
            if (value.empty()) {
                error = "option " + name + " needs a path";
                return ParseResult::Error;
            }
            (name == "--link"     ? options.link_path
             : name == "--device" ? options.device_path
             : name == "--dump"   ? options.dump_path
                                  : options.flash_from_path) = value;
        } else if (name == "--erase-sector-on-first-write") {
            if (!numeric || number == 0) {
                error = "option " + name + " needs a sector size in bytes above 0, not '" + value + "'";
                return ParseResult::Error;
            }
            options.erase_sector_size = number;
        } else if (name == "--power-on-after-queries" || name == "--power-off-in-block") {
            if (!numeric || number == 0) {
                error = "option " + name + " needs a count above 0, not '" + value + "'";
                return ParseResult::Error;
            }
            (name == "--power-off-in-block" ? options.power_off_in_block : options.power_on_after_queries) =
                number;
        } else if (name == "--fault") {
            FaultRule rule;
            if (!parse_fault_rule(value, rule, error))
                return ParseResult::Error;
            options.faults.push_back(rule);
        } else if (name == "--baud" || name == "--program-ms" || name == "--power-on-after" ||
                   name == "--seed") {
            if (!numeric) {
                error = "option " + name + " needs a whole number, not '" + value + "'";
                return ParseResult::Error;
            }
            if (name == "--baud")
                options.baud = number;
            else if (name == "--program-ms")
                options.program_ms = number;
            else if (name == "--seed")
                options.seed = number;
            else {
                options.power_on_delayed = true;
                options.power_on_after_ms = number;
            }
        }
    }
    if (!options.device_path.empty() && !options.link_path.empty()) {
        error = "--link makes a link to a new pseudo-terminal; it cannot go with --device";
        return ParseResult::Error;
    }
    if (options.power_on_delayed && options.power_on_after_queries != 0) {
        error = "--power-on-after and --power-on-after-queries: give one of them";
        return ParseResult::Error;
    }
    return ParseResult::Run;
}
