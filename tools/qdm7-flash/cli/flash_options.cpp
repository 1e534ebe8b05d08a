#include "tools/qdm7-flash/cli/flash_options.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

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

bool is_option(const char* arg, const char* name)
{
    const std::size_t n = std::strlen(name);
    return std::strncmp(arg, name, n) == 0 && (arg[n] == '\0' || arg[n] == '=');
}

// The value of a --name that takes a path, given at most once; false with
// the message in error otherwise.
bool path_value(int argc, const char* const* argv, int& i, const char* name, const char* what,
                std::string& value, std::string& error)
{
    const char* text = option_value(argc, argv, i, name, error);
    if (text == nullptr)
        return false;
    if (text[0] == '\0')
        error = std::string(name) + " needs " + what;
    else if (!value.empty())
        error = std::string(name) + " given twice";
    value = text;
    return error.empty();
}

// --watch goes with ports named by path, usb: selections (or none: every
// port), the deadline, --no-reconnect, --count, --report and --log-dir.
bool watch_options_valid(const FlashOptions& options, int actions, std::string& error)
{
    if (options.verify)
        error = "--watch updates; it cannot go with --verify (--skip-if-current checks each unit first)";
    else if (actions > 1)
        error = "give one of --watch, --list, --version, --doctor";
    return error.empty();
}

} // namespace

bool parse_flash_options(int argc, const char* const* argv, FlashOptions& options, std::string& error)
{
    options = FlashOptions{};
    error.clear();
    int actions = 0;
    bool port_given = false;
    bool deadline_given = false;
    bool no_reconnect_given = false;
    bool count_given = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (is_option(arg, "--port")) {
            const char* value = option_value(argc, argv, i, "--port", error);
            if (value == nullptr)
                return false;
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
            if (!port_given)
                ++actions;
            port_given = true;
        } else if (is_option(arg, "--deadline")) {
            const char* value = option_value(argc, argv, i, "--deadline", error);
            if (value == nullptr)
                return false;
            if (!parse_deadline(value, options.deadline_ms)) {
                error = "--deadline needs plain decimal seconds above 0, up to " +
                        std::to_string(MAX_DEADLINE_SECONDS) + " (a week), such as 120 or 2.5, not '" + value +
                        "'";
                return false;
            }
            deadline_given = true;
        } else if (is_option(arg, "--report")) {
            if (!path_value(argc, argv, i, "--report", "a file name", options.report_path, error))
                return false;
        } else if (is_option(arg, "--log-dir")) {
            if (!path_value(argc, argv, i, "--log-dir", "a folder", options.log_dir, error))
                return false;
        } else if (is_option(arg, "--count")) {
            const char* value = option_value(argc, argv, i, "--count", error);
            if (value == nullptr)
                return false;
            if (count_given || !parse_count(value, options.count)) {
                error = count_given ? "--count given twice"
                                    : "--count needs a whole number of units from 1 to " +
                                          std::to_string(MAX_WATCH_COUNT) + ", not '" + value + "'";
                return false;
            }
            count_given = true;
        } else if (std::strcmp(arg, "--watch") == 0) {
            if (!options.watch)
                ++actions;
            options.watch = true;
        } else if (std::strcmp(arg, "--no-reconnect") == 0) {
            options.reconnect = false;
            no_reconnect_given = true;
        } else if (std::strcmp(arg, "--list") == 0) {
            options.list = true;
            ++actions;
        } else if (std::strcmp(arg, "--version") == 0) {
            options.version = true;
            ++actions;
        } else if (std::strcmp(arg, "--verify") == 0) {
            options.verify = true;
        } else if (std::strcmp(arg, "--skip-if-current") == 0) {
            options.skip_if_current = true;
        } else if (std::strcmp(arg, "--doctor") == 0) {
            options.doctor = true;
            ++actions;
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            options.help = true;
            ++actions;
        } else {
            error = std::string("unknown argument ") + arg;
            return false;
        }
    }
    if (options.help)
        return true;
    // The doctor looks at the ports given, and at nothing of an update.
    if (options.doctor) {
        if (options.list || options.version || options.watch || count_given || deadline_given ||
            no_reconnect_given || options.skip_if_current || !options.report_path.empty() || !options.log_dir.empty())
            error = "--doctor takes no other option than --port";
        return error.empty();
    }
    if (count_given && !options.watch) {
        error = "--count goes with --watch";
        return false;
    }
    if (options.watch)
        return watch_options_valid(options, actions - (port_given ? 1 : 0), error);
    if (options.skip_if_current && (options.verify || !port_given || actions > 1))
        error = options.verify ? "--skip-if-current updates; --verify only checks: give one of them"
                               : "--skip-if-current goes with --port or --watch";
    else if (options.verify && (!port_given || no_reconnect_given || !options.report_path.empty() ||
                           !options.log_dir.empty() || actions > 1))
        error = "--verify goes with --port and --deadline alone";
    else if (actions == 0)
        error = "no port given";
    else if (actions > 1)
        error = "give one of --port, --list, --version";
    else if (deadline_given && !port_given)
        error = "--deadline goes with --port";
    else if (no_reconnect_given && !port_given)
        error = "--no-reconnect goes with --port";
    else if (!options.report_path.empty() && !port_given)
        error = "--report goes with --port";
    else if (!options.log_dir.empty() && !port_given)
        error = "--log-dir goes with --port";
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
