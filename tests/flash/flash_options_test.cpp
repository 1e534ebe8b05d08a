// qdm7-flash's command line, in-process: what each option sets, and the
// one-line message of each usage error.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/serial_port.h"
#include "tools/qdm7-flash/cli/flash_options.h"

namespace {

bool parse(std::vector<const char*> args, FlashOptions& options, std::string& error)
{
    args.insert(args.begin(), "qdm7-flash");
    return parse_flash_options(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(FlashOptions, PortAndDeadlineInBothSpellings)
{
    FlashOptions options;
    std::string error;
    ASSERT_TRUE(parse({"--port=/dev/ttyUSB0", "--deadline", "2.5"}, options, error)) << error;
    EXPECT_EQ(options.ports.at(0).text, "/dev/ttyUSB0");
    EXPECT_EQ(options.deadline_ms, 2500u);
    ASSERT_TRUE(parse({"--deadline=0.0001", "--port", "COM3"}, options, error)) << error;
    EXPECT_EQ(options.ports.at(0).text, port_path_of("COM3")); // on Windows, \\.\com3
    EXPECT_EQ(options.deadline_ms, 1u); // never rounded down to "no deadline"
    ASSERT_TRUE(parse({"--port", "p", "--deadline", "604800"}, options, error)) << error;
    EXPECT_EQ(options.deadline_ms, 604800000u);
    ASSERT_TRUE(parse({"--port", "p"}, options, error)) << error;
    EXPECT_EQ(options.deadline_ms, 0u);
    EXPECT_EQ(options.action, FlashAction::Update);
    EXPECT_TRUE(options.reconnect);
    EXPECT_FALSE(options.ports.at(0).usb);
}

TEST(FlashOptions, AUsbSelectionAndNoReconnect)
{
    FlashOptions options;
    std::string error;
    ASSERT_TRUE(parse({"--no-reconnect", "--port=usb:0403:6001:QDM7-0001"}, options, error)) << error;
    EXPECT_FALSE(options.reconnect);
    ASSERT_TRUE(options.ports.at(0).usb);
    EXPECT_EQ(usb_selector_text(*options.ports.at(0).usb), "usb:0403:6001:QDM7-0001");
    EXPECT_FALSE(parse({"--port", "usb:0403"}, options, error));
    EXPECT_EQ(error.rfind("--port usb:0403: no product number", 0), 0u) << error;
    EXPECT_FALSE(parse({"--list", "--no-reconnect"}, options, error));
    EXPECT_EQ(error, "--no-reconnect goes with --port");
}

TEST(FlashOptions, SeveralPortsWithAReportAndALogFolder)
{
    FlashOptions options;
    std::string error;
    ASSERT_TRUE(parse({"--port", "/dev/ttyUSB0", "--report=r.jsonl", "--port=/dev/ttyUSB1", "--log-dir", "logs"},
                      options, error))
        << error;
    ASSERT_EQ(options.ports.size(), 2u);
    EXPECT_EQ(options.ports[0].text, "/dev/ttyUSB0");
    EXPECT_EQ(options.ports[1].text, "/dev/ttyUSB1");
    EXPECT_EQ(options.report_path, "r.jsonl");
    EXPECT_EQ(options.log_dir, "logs");
}

TEST(FlashOptions, ActionsWithoutAPortAndHelpBeforeAnyCheckOfTheRest)
{
    FlashOptions options;
    std::string error;
    ASSERT_TRUE(parse({"--list"}, options, error));
    EXPECT_TRUE(options.action == FlashAction::List && options.ports.empty());
    ASSERT_TRUE(parse({"--version"}, options, error));
    EXPECT_EQ(options.action, FlashAction::Version);
    ASSERT_TRUE(parse({"--doctor"}, options, error));
    EXPECT_TRUE(options.action == FlashAction::Doctor && options.ports.empty());
    ASSERT_TRUE(parse({"--port", "a", "--doctor", "--port=usb:0403:6001"}, options, error)) << error;
    EXPECT_EQ(options.action, FlashAction::Doctor);
    EXPECT_EQ(options.ports.size(), 2u);
    ASSERT_TRUE(parse({"--port", "p", "--list", "-h"}, options, error));
    EXPECT_EQ(options.action, FlashAction::Help);
    // --help does not hide an argument that is wrong in itself.
    EXPECT_FALSE(parse({"--help", "--bogus"}, options, error));
    EXPECT_EQ(error, "unknown argument --bogus");
}

TEST(FlashOptions, UsageErrorsSayWhatIsWrong)
{
    const std::string long_path(300, 'x');
    const std::string deadline_help = "--deadline needs plain decimal seconds above 0, up to 604800 (a week), "
                                      "such as 120 or 2.5, not '";
    const std::vector<std::pair<std::vector<const char*>, std::string>> wrong = {
        {{}, "no port given"},
        {{"--frobnicate"}, "unknown argument --frobnicate"},
        {{"--port"}, "--port needs a value"},
        {{"--port="}, "--port needs a path"},
        {{"--port", long_path.c_str()}, "--port: path too long"},
        {{"--port", "a", "--port", "b", "--port", "a"}, "--port a given twice"},
        {{"--port", "a", "--report", "r", "--report=s"}, "--report given twice"},
        {{"--port", "a", "--report="}, "--report needs a file name"},
        {{"--port", "a", "--log-dir", ""}, "--log-dir needs a folder"},
        {{"--list", "--report", "r"}, "--report goes with --port"},
        {{"--version", "--log-dir", "d"}, "--log-dir goes with --port"},
        {{"--port", "a", "--list"}, "give one of --port, --list, --version"},
        {{"--list", "--version"}, "give one of --port, --list, --version"},
        {{"--doctor", "--list"}, "--doctor takes no other option than --port"},
        {{"--port", "a", "--doctor", "--deadline", "5"}, "--doctor takes no other option than --port"},
        {{"--deadline", "5"}, "no port given"},
        {{"--list", "--deadline", "5"}, "--deadline goes with --port"},
        {{"--port", "a", "--deadline"}, "--deadline needs a value"},
        {{"--list", "--skip-if-current"}, "--skip-if-current goes with --port or --watch"},
        {{"--port", "a", "--verify", "--skip-if-current"}, "--skip-if-current updates; --verify only checks: give one of them"},
    };
    for (const auto& [args, message] : wrong) {
        FlashOptions options;
        std::string error;
        EXPECT_FALSE(parse(args, options, error)) << message;
        EXPECT_EQ(error, message);
    }
    for (const char* value : {"soon", "-1", "0", "0.0", "0x10", " 5", "5 ", "1e3", "", ".5", "5.", "604800.001",
                              "1000000", "99999999999999999999"}) {
        FlashOptions options;
        std::string error;
        EXPECT_FALSE(parse({"--port", "a", "--deadline", value}, options, error)) << value;
        EXPECT_EQ(error, deadline_help + value + "'");
    }
}

TEST(FlashOptions, AWatchTakesNamedPortsUsbSelectionsACountAndTheUpdateOptions)
{
    FlashOptions options;
    std::string error;
    ASSERT_TRUE(parse({"--watch", "--port", "usb:403:6001", "--port", "/dev/ttyUSB0", "--count=3", "--deadline",
                       "60", "--report", "r"},
                      options, error))
        << error;
    EXPECT_EQ(options.action, FlashAction::Watch);
    EXPECT_EQ(options.count, 3u);
    ASSERT_EQ(options.ports.size(), 2u);
    EXPECT_TRUE(options.ports[0].usb.has_value());
    EXPECT_EQ(options.ports[1].text, "/dev/ttyUSB0");
    EXPECT_EQ(options.deadline_ms, 60000u);
    ASSERT_TRUE(parse({"--watch", "--skip-if-current"}, options, error)) << error;
    EXPECT_TRUE(options.ports.empty() && options.count == 0 && options.skip_if_current);

    const std::vector<std::pair<std::vector<const char*>, std::string>> wrong = {
        {{"--port", "a", "--count", "2"}, "--count goes with --watch"},
        {{"--watch", "--count", "0"}, "--count needs a whole number of units from 1 to 1000000, not '0'"},
        {{"--watch", "--count", "many"}, "--count needs a whole number of units from 1 to 1000000, not 'many'"},
        {{"--watch", "--count", "-2"}, "--count needs a whole number of units from 1 to 1000000, not '-2'"},
        {{"--watch", "--count", "2", "--count", "3"}, "--count given twice"},
        {{"--watch", "--verify", "--port", "usb:403:6001"}, "--watch updates; it cannot go with --verify (--skip-if-current checks each unit first)"},
        {{"--watch", "--list"}, "give one of --watch, --list, --version, --doctor"},
        {{"--watch", "--doctor"}, "--doctor takes no other option than --port"},
    };
    for (const auto& [args, message] : wrong) {
        EXPECT_FALSE(parse(args, options, error)) << message;
        EXPECT_EQ(error, message);
    }
}

// Every action against every option: what each action takes, the action
// chosen when two are asked for, and that an option is not given twice.
TEST(FlashOptions, EachActionTakesItsOwnOptionsAndRefusesEveryOther)
{
    const std::vector<std::vector<const char*>> added = {
        {"--port", "q"}, {"--deadline", "5"}, {"--no-reconnect"}, {"--report", "r"}, {"--log-dir", "d"},
        {"--count", "2"}, {"--skip-if-current"}, {"--watch"}, {"--verify"}, {"--doctor"}, {"--list"},
        {"--version"}, {"--help"}};
    // For each option above, in turn: the action run (Update, Watch, Verify,
    // Doctor, List, versioN, Help), or - for a usage error.
    const std::vector<std::pair<std::vector<const char*>, std::string>> table = {
        {{"--port", "p"}, "UUUUU-UWVD--H"},
        {{"--watch"}, "WWWWWWW-----H"},
        {{"--verify", "--port", "p"}, "VV----------H"},
        {{"--doctor"}, "D-----------H"},
        {{"--list"}, "------------H"},
        {{"--version"}, "------------H"},
        {{"--help"}, "HHHHHHHHHHHH-"},
    };
    const char* const runs = "UWVDLNH";
    for (const auto& [action, expected] : table) {
        ASSERT_EQ(expected.size(), added.size());
        for (std::size_t i = 0; i < added.size(); ++i) {
            std::vector<const char*> args = action;
            args.insert(args.end(), added[i].begin(), added[i].end());
            FlashOptions options;
            std::string error;
            const bool taken = parse(args, options, error);
            const char run = taken ? runs[static_cast<int>(options.action)] : '-';
            EXPECT_EQ(run, expected[i]) << action.front() << " " << added[i].front() << ": " << error;
            EXPECT_EQ(taken, error.empty()) << error;
        }
    }
    for (const auto& option : added) {
        if (std::string(option.front()) == "--port")
            continue; // another port is another device; the same one is said (above)
        std::vector<const char*> twice = option;
        twice.insert(twice.end(), option.begin(), option.end());
        FlashOptions options;
        std::string error;
        EXPECT_FALSE(parse(twice, options, error));
        EXPECT_EQ(error, std::string(option.front()) + " given twice");
    }
}

} // namespace
