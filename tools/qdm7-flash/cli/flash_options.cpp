#include "tools/qdm7-flash/cli/flash_options.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "platform/serial_port.h"

namespace {

// The value of an option given as "--name VALUE" or "--name=VALUE"; null,
// with the message in error, when the value is missing.
const char* option_value(int argc, const char* const* argv, int& i, const char* name, std::string& error)
{
    const std::size_t n = std::strlen(name);
    if (argv[i][n] == '=')
        return argv[i] + n + 1;
    if (i + 1 >= argc) {
        error = std::string(name) + " needs a value";
        return nullptr;
    }
    return argv[++i];
}

// Seconds as plain decimal digits with an optional fraction ("120", "2.5"),
// above 0 and up to the limit; false for anything else.
bool parse_deadline(const char* text, std::uint32_t& ms)
{
    const char* at = text;
    const auto digits = [&at] {
        const char* from = at;
        while (*at >= '0' && *at <= '9')
            ++at;
        return at > from;
    };
    if (!digits() || (*at == '.' && (++at, !digits())) || *at != '\0')
        return false;
    const double seconds = std::strtod(text, nullptr);
    if (!(seconds > 0) || seconds > static_cast<double>(MAX_DEADLINE_SECONDS))
        return false;
    ms = static_cast<std::uint32_t>(std::ceil(seconds * 1000.0));
    return true;
}

// A count as plain decimal digits, from 1 up to the limit.
bool parse_count(const char* text, std::uint32_t& count)
{
    const std::size_t n = std::strlen(text);
    if (n == 0 || n > 7 || std::strspn(text, "0123456789") != n)
        return false;
    const long value = std::strtol(text, nullptr, 10);
    if (value < 1 || value > MAX_WATCH_COUNT)
        return false;
    count = static_cast<std::uint32_t>(value);
    return true;
}

// The options, in the order checked: when several do not go with the
// action asked for, the first of them is said.
enum class Option : std::uint8_t {
    Count,
    SkipIfCurrent,
    Port,
    Watch,
    Verify,
    Doctor,
    List,
    Version,
    Help,
    Deadline,
    NoReconnect,
    Report,
    LogDir,
};

using OptionSet = std::uint16_t;

constexpr OptionSet bit(Option option) { return static_cast<OptionSet>(1U << static_cast<unsigned>(option)); }

template <typename... Options> constexpr OptionSet set_of(Options... options) { return (bit(options) | ...); }

struct OptionRule {
    Option option;
    const char* name;
    bool takes_value;
    // Said when the action asked for does not take it and has no words of
    // its own for that.
    const char* refusal;
};

constexpr OptionRule OPTIONS[] = {
    {Option::Count, "--count", true, "--count goes with --watch"},
    {Option::SkipIfCurrent, "--skip-if-current", false, "--skip-if-current goes with --port or --watch"},
    {Option::Port, "--port", true, "give one of --port, --list, --version"},
    {Option::Watch, "--watch", false, "give one of --watch, --list, --version, --doctor"},
    {Option::Verify, "--verify", false, "--verify goes with --port and --deadline alone"},
    {Option::Doctor, "--doctor", false, "--doctor takes no other option than --port"},
    {Option::List, "--list", false, "give one of --port, --list, --version"},
    {Option::Version, "--version", false, "give one of --port, --list, --version"},
    {Option::Help, "--help", false, nullptr}, // goes with anything
    {Option::Deadline, "--deadline", true, "--deadline goes with --port"},
    {Option::NoReconnect, "--no-reconnect", false, "--no-reconnect goes with --port"},
    {Option::Report, "--report", true, "--report goes with --port"},
    {Option::LogDir, "--log-dir", true, "--log-dir goes with --port"},
};

constexpr OptionSet EVERY_OPTION = static_cast<OptionSet>((1U << std::size(OPTIONS)) - 1);

// An option that an action refuses with words of their own.
struct OddOption {
    Option option;
    const char* refusal;
};

struct ActionRule {
    FlashAction action;
    std::optional<Option> asked_by; // none: an update, asked for by its ports alone
    OptionSet takes;                // beside the option that asks for it
    const char* refusal;            // said of any other option; null: the option's own words
    std::optional<OddOption> odd;
    const char* without_port;       // it needs a --port: said without one; null: it needs none
};

constexpr OptionSet UPDATE_OPTIONS =
    set_of(Option::Port, Option::SkipIfCurrent, Option::Deadline, Option::NoReconnect, Option::Report, Option::LogDir);

// In the order an action is chosen: the first asked for, else an update.
constexpr ActionRule ACTIONS[] = {
    {FlashAction::Help, Option::Help, EVERY_OPTION, nullptr, std::nullopt, nullptr},
    // The doctor looks at the ports given, and at nothing of an update.
    {FlashAction::Doctor, Option::Doctor, set_of(Option::Port), "--doctor takes no other option than --port",
     std::nullopt, nullptr},
    {FlashAction::Watch, Option::Watch, UPDATE_OPTIONS | set_of(Option::Count),
     "give one of --watch, --list, --version, --doctor",
     OddOption{Option::Verify,
               "--watch updates; it cannot go with --verify (--skip-if-current checks each unit first)"},
     nullptr},
    {FlashAction::Verify, Option::Verify, set_of(Option::Port, Option::Deadline),
     "--verify goes with --port and --deadline alone",
     OddOption{Option::SkipIfCurrent, "--skip-if-current updates; --verify only checks: give one of them"},
     "--verify goes with --port and --deadline alone"},
    {FlashAction::List, Option::List, 0, nullptr, std::nullopt, nullptr},
    {FlashAction::Version, Option::Version, 0, nullptr, std::nullopt, nullptr},
    {FlashAction::Update, std::nullopt, UPDATE_OPTIONS, nullptr, std::nullopt, "no port given"},
};

bool is_option(const char* arg, const char* name)
{
    const std::size_t n = std::strlen(name);
    return std::strncmp(arg, name, n) == 0 && (arg[n] == '\0' || arg[n] == '=');
}

// The option arg names: "--name", or "--name=VALUE" for one with a value;
// null for none.
const OptionRule* option_named(const char* arg)
{
    if (std::strcmp(arg, "-h") == 0)
        arg = "--help";
    for (const OptionRule& rule : OPTIONS) {
        if (rule.takes_value ? is_option(arg, rule.name) : std::strcmp(arg, rule.name) == 0)
            return &rule;
    }
    return nullptr;
}

// One --port: a path not given before, or a well-formed usb: selection.
bool take_port(const char* value, FlashOptions& options, std::string& error)
{
    if (value[0] == '\0') {
        error = "--port needs a path";
        return false;
    }
    // A COM name as Device Manager shows it, made the path to open.
    PortChoice choice{is_usb_selector(value) ? value : port_path_of(value), std::nullopt};
    if (choice.text.size() >= PORT_PATH_SIZE) {
        error = "--port: path too long";
        return false;
    }
    for (const PortChoice& given : options.ports) {
        if (given.text == choice.text) {
            error = std::string("--port ") + value + " given twice";
            return false;
        }
    }
    if (is_usb_selector(value)) {
        UsbSelector selector;
        if (!parse_usb_selector(value, selector, error))
            return false;
        choice.usb = selector;
    }
    options.ports.push_back(choice);
    return true;
}

// What an option (with its value, if it takes one) sets; false, with the
// message in error, for a value that is wrong in itself.
bool take_option(Option option, const char* value, FlashOptions& options, std::string& error)
{
    switch (option) {
    case Option::Port: return take_port(value, options, error);
    case Option::Deadline:
        if (!parse_deadline(value, options.deadline_ms))
            error = "--deadline needs plain decimal seconds above 0, up to " + std::to_string(MAX_DEADLINE_SECONDS) +
                    " (a week), such as 120 or 2.5, not '" + value + "'";
        break;
    case Option::Count:
        if (!parse_count(value, options.count))
            error = "--count needs a whole number of units from 1 to " + std::to_string(MAX_WATCH_COUNT) + ", not '" +
                    value + "'";
        break;
    case Option::Report:
        if (value[0] == '\0')
            error = "--report needs a file name";
        options.report_path = value;
        break;
    case Option::LogDir:
        if (value[0] == '\0')
            error = "--log-dir needs a folder";
        options.log_dir = value;
        break;
    case Option::NoReconnect: options.reconnect = false; break;
    case Option::SkipIfCurrent: options.skip_if_current = true; break;
    default: break; // an action's: it is chosen once every argument is read
    }
    return error.empty();
}

// argv[i], and its value when it takes one (argv[i + 1] with i moved past
// it, or after the '='), noted in given.
bool take_argument(int argc, const char* const* argv, int& i, FlashOptions& options, OptionSet& given,
                   std::string& error)
{
    const OptionRule* rule = option_named(argv[i]);
    if (rule == nullptr) {
        error = std::string("unknown argument ") + argv[i];
        return false;
    }
    const char* value = nullptr;
    if (rule->takes_value && (value = option_value(argc, argv, i, rule->name, error)) == nullptr)
        return false;
    if (!take_option(rule->option, value, options, error))
        return false;
    // --port says itself which port it repeats.
    if (rule->option != Option::Port && (given & bit(rule->option)) != 0) {
        error = std::string(rule->name) + " given twice";
        return false;
    }
    given |= bit(rule->option);
    return true;
}

const ActionRule& action_asked(OptionSet given)
{
    for (const ActionRule& rule : ACTIONS) {
        if (!rule.asked_by || (given & bit(*rule.asked_by)) != 0)
            return rule;
    }
    return ACTIONS[std::size(ACTIONS) - 1];
}

// Why the options given do not go with the action; empty when they do.
std::string refusal_of(const ActionRule& action, OptionSet given)
{
    OptionSet taken = action.takes;
    if (action.asked_by)
        taken |= bit(*action.asked_by);
    for (const OptionRule& option : OPTIONS) {
        if ((given & bit(option.option)) == 0 || (taken & bit(option.option)) != 0)
            continue;
        if (action.odd && action.odd->option == option.option)
            return action.odd->refusal;
        return action.refusal != nullptr ? action.refusal : option.refusal;
    }
    if (action.without_port != nullptr && (given & bit(Option::Port)) == 0)
        return action.without_port;
    return {};
}

} // namespace

bool parse_flash_options(int argc, const char* const* argv, FlashOptions& options, std::string& error)
{
    options = FlashOptions{};
    error.clear();
    OptionSet given = 0;
    for (int i = 1; i < argc; ++i) {
        if (!take_argument(argc, argv, i, options, given, error))
            return false;
    }
    const ActionRule& action = action_asked(given);
    options.action = action.action;
    error = refusal_of(action, given);
    return error.empty();
}

const char* flash_usage()
{
    return "Usage: qdm7-flash --port PATH [--port PATH...] [--deadline SECONDS]\n"
           "                  [--no-reconnect] [--report FILE] [--log-dir DIR]\n"
           "                  [--skip-if-current]\n"
           "       qdm7-flash --watch [--port PATH|usb:VID:PID[:SERIAL]...] [--count N]\n"
           "                  [--deadline SECONDS] [--no-reconnect] [--report FILE]\n"
           "                  [--log-dir DIR] [--skip-if-current]\n"
           "       qdm7-flash --verify --port PATH [--deadline SECONDS]\n"
           "       qdm7-flash --doctor [--port PATH...]\n"
           "       qdm7-flash --list | --version | --help\n"
           "\n"
           "Updates a QDM7 with the firmware image built into this program, over a\n"
           "serial port. Start it, then power-cycle the device: the contact query\n"
           "repeats until the device answers.\n"
           "\n"
           "  --port PATH         run the update on this port (on Windows COM3, also\n"
           "                      as \\\\.\\COM3); give it again for more ports: every\n"
           "                      device is updated at the same time, each on its own,\n"
           "                      whatever the others do\n"
           "  --port usb:VID:PID[:SERIAL]\n"
           "                      on the port whose USB device has this vendor and\n"
           "                      product number (hexadecimal) and, if given, this\n"
           "                      serial number (exact), as --list shows them; when\n"
           "                      several ports match, on all of them\n"
           "  --deadline SECONDS  give up after this long (exit 3), in plain decimal\n"
           "                      seconds up to 604800 (a week), such as 120 or 2.5;\n"
           "                      without it the update retries without limit; with\n"
           "                      several ports, it applies to each device\n"
           "  --no-reconnect      end (exit 4) when the port goes away during the\n"
           "                      update, instead of waiting for the same device to\n"
           "                      come back and going on with its update\n"
           "  --report FILE       when each device's update ends, append a line of JSON\n"
           "                      about it to FILE: port, result, times, blocks, CRCs\n"
           "  --log-dir DIR       write each port's trace to a file of its own in DIR\n"
           "  --watch             a production station: update every unit that comes on\n"
           "                      a port (those --port names or selects, else every port\n"
           "                      found), each at once and on its own, until Ctrl-C; a\n"
           "                      port whose unit ended is updated again only once it\n"
           "                      has gone and come back (the next unit)\n"
           "  --count N           with --watch: end after N units, exit 0 when every one\n"
           "                      completed, else 5\n"
           "  --list              print the serial ports found, one a line: the path,\n"
           "                      then for a USB port VID:PID, manufacturer, product\n"
           "                      and serial number\n"
           "  --version           name the firmware image carried\n"
           "  --verify            with one --port: whether the device already holds this\n"
           "                      image, writing nothing: the CRC of each block and of\n"
           "                      each block shifted by half a block; exit 0 and a reset\n"
           "                      into the firmware when all match, else exit 2 with the\n"
           "                      blocks that differ, the device left in its loader\n"
           "  --skip-if-current   verify first, as --verify does: a device that already\n"
           "                      holds this image is reset into it, nothing written\n"
           "                      (exit 0); otherwise it is updated, from the first\n"
           "                      block that differs when the blocks before it check out\n"
           "  --doctor            say what on this machine stands in the way of an\n"
           "                      update, each finding with its fix: who may open and\n"
           "                      who holds each port (with --port, those ports only),\n"
           "                      ModemManager, brltty and udev, the image carried;\n"
           "                      exit 0 when nothing is in the way, 1 otherwise\n"
           "  --help              this text\n"
           "\n"
           "With one port, the trace goes to standard output, a line at a time; status\n"
           "texts go to standard error (a progress bar while programming on a terminal),\n"
           "with a line for each request resent after a time-out. With several ports,\n"
           "standard error shows a line per port (on a terminal, redrawn in place), then\n"
           "a table of the results; the traces go only to --log-dir.\n"
           "When the port goes away in the middle (cable pulled, hub reset), it waits\n"
           "for the same device (the same USB serial number, else the same path),\n"
           "within the deadline if one is given, and starts the update again, after\n"
           "the blocks the device acknowledged when its CRC of them shows it kept them.\n"
           "\n"
           "Exit status:\n"
           "  0    completed (with several ports: every device); --verify: the device\n"
           "       holds this image; --doctor: nothing in the way\n"
           "  1    fatal error: a port that cannot be opened, not a serial port, no\n"
           "       port matching usb:..., a --report or --log-dir that cannot be\n"
           "       written; --doctor: something in the way\n"
           "  2    verification failed (\"FAILED\"); --verify: the device does not hold\n"
           "       this image\n"
           "  3    the --deadline passed\n"
           "  4    the port went away (with --no-reconnect)\n"
           "  5    not every device was updated (several ports, or a --watch --count)\n"
           "  64   usage error\n"
           "  130  interrupted: Ctrl-C, SIGTERM or SIGHUP (also the way a --watch\n"
           "       without --count ends)\n"
           "\n"
           "Environment:\n"
           "  QDM7_PORT_GLOB  a colon-separated list of glob patterns of port paths,\n"
           "                  such as '/tmp/ports/*', in place of the usual ones\n"
           "                  (/dev/ttyUSB*, /dev/ttyACM*, ...): the ports that --list\n"
           "                  shows, that --port usb:... and --doctor choose from, and\n"
           "                  that --watch takes units on\n";
}
