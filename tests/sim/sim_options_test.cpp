#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/frames.h"
#include "tools/qdm7-sim/sim_options.h"

namespace {

ParseResult parse(std::vector<const char*> args, SimOptions& options, std::string& error)
{
    args.insert(args.begin(), "qdm7-sim");
    return parse_sim_options(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(SimOptions, DefaultsServeAPacedPtyWithNoFaults)
{
    SimOptions options;
    std::string error;
    ASSERT_EQ(parse({}, options, error), ParseResult::Run);
    EXPECT_EQ(options.baud, 921600u);
    EXPECT_TRUE(options.device_path.empty());
    EXPECT_FALSE(options.power_on_delayed);
    EXPECT_TRUE(options.faults.empty());
}

TEST(SimOptions, ValuesAreTakenInBothSpellings)
{
    SimOptions options;
    std::string error;
    ASSERT_EQ(parse({"--baud=0", "--power-on-after", "1000", "--link", "/tmp/com3", "--dump=/tmp/f",
                     "--program-ms", "30", "--exit-after-reset", "--fault", "drop:on=program,count=1"},
                    options, error),
              ParseResult::Run)
        << error;
    EXPECT_EQ(options.baud, 0u);
    EXPECT_TRUE(options.power_on_delayed);
    EXPECT_EQ(options.power_on_after_ms, 1000u);
    EXPECT_EQ(options.link_path, "/tmp/com3");
    EXPECT_EQ(options.dump_path, "/tmp/f");
    EXPECT_EQ(options.program_ms, 30u);
    EXPECT_TRUE(options.exit_after_reset);
    ASSERT_EQ(options.faults.size(), 1u);
    EXPECT_EQ(options.faults[0].kind, FaultKind::Drop);
    EXPECT_EQ(options.faults[0].sub_command, SUB_PROGRAM);
    EXPECT_EQ(options.faults[0].max_count, 1u);
    EXPECT_EQ(options.faults[0].every, 1u);
    ASSERT_EQ(parse({"--power-on-after-queries=7", "--power-off-in-block", "2", "--echo"}, options, error),
              ParseResult::Run)
        << error;
    EXPECT_EQ(options.power_on_after_queries, 7u);
    EXPECT_EQ(options.power_off_in_block, 2u);
    EXPECT_TRUE(options.echo);
}

TEST(SimOptions, BadInputIsAnErrorWithAMessage)
{
    const std::vector<std::vector<const char*>> bad = {
        {"--baud", "fast"},         {"--baud", "-1"},          {"--baud", "99999999999"},
        {"--power-on-after"},       {"--nonsense"},            {"stray"},
        {"--fault", "explode"},     {"--fault", "drop:every"}, {"--fault", "drop:percent=101"},
        {"--fault", "drop:on=all"}, {"--fault", "delay"},      {"--fault", "drop:every=0"},
        {"--link", "/tmp/a", "--device", "/dev/ttyUSB0"},      {"--dump="},
        {"--fault", "drop:every=2,percent=5"},
        {"--power-on-after-queries", "0"},     {"--power-off-in-block", "x"},
        {"--power-on-after-queries", "3", "--power-on-after", "100"},
    };
    for (const auto& args : bad) {
        SimOptions options;
        std::string error;
        EXPECT_EQ(parse(args, options, error), ParseResult::Error) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
    SimOptions options;
    std::string error;
    EXPECT_EQ(parse({"--bogus"}, options, error), ParseResult::Error);
    EXPECT_EQ(error, "unknown option --bogus");
    EXPECT_EQ(parse({"--baud", "0", "--help"}, options, error), ParseResult::Help);
}

TEST(SimOptions, FaultRulesCarryTheirScheduleAndTiming)
{
    FaultRule rule;
    std::string error;
    ASSERT_TRUE(parse_fault_rule("split", rule, error)) << error;
    EXPECT_EQ(rule.kind, FaultKind::Split);
    EXPECT_GT(rule.delay_ms, 20u); // the updater must see two reads
    ASSERT_TRUE(parse_fault_rule("delay:ms=250,percent=10,on=query", rule, error)) << error;
    EXPECT_EQ(rule.kind, FaultKind::Delay);
    EXPECT_EQ(rule.delay_ms, 250u);
    EXPECT_EQ(rule.percent, 10u);
    EXPECT_EQ(rule.every, 0u);
    EXPECT_EQ(rule.sub_command, SUB_QUERY_CRC);
    ASSERT_TRUE(parse_fault_rule("flip:every=5", rule, error)) << error;
    EXPECT_EQ(rule.kind, FaultKind::FlipFlashBit);
    EXPECT_EQ(rule.every, 5u);
}

} // namespace
