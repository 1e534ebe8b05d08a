// Fault soak: many complete updates of a multi-block image against the
// virtual QDM7, each with its own seed and its own mix of line and device
// faults. Every run's ending is recorded; the one thing that must never
// happen is "Completed" with the device's flash different from the image.
// Half the runs are qdm7-flash's job: reads that end with the reply, stale
// input discarded, and some with the cable pulled at a random block and
// the update resumed after the blocks the device kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/frames.h"
#include "engine/job.h"
#include "platform/serial_port.h"
#include "tests/support/test_bytes.h"
#include "tests/support/virtual_link.h"

namespace {

constexpr std::uint32_t DEFAULT_RUNS = 500;
// About nine minutes of virtual time: room for dozens of 10 s time-outs.
constexpr std::uint32_t TICK_LIMIT = 5000;
// Three full blocks and a short one, padded to four as start-up pads it.
constexpr std::size_t IMAGE_LENGTH = 3 * BLOCK_SIZE + 5000;
constexpr std::size_t PADDED_LENGTH = 4 * BLOCK_SIZE;

enum class Ending { Completed, Failed, Retrying };

// The fault kinds a run may draw; "late" is a delay longer than the 10 s
// reply time-out, so the reply arrives after the request has been resent.
enum FaultSlot { DROP, CORRUPT, SPLIT, DELAY, LATE, DUPLICATE, FLIP, FAULT_SLOTS };
constexpr std::array<const char*, FAULT_SLOTS> FAULT_NAMES = {"dropped", "corrupted", "split", "delayed",
                                                              "late",    "duplicated", "flipped bit"};
// A block "not in flash" differs from the image by more than a flipped bit.
constexpr std::size_t LOST_BLOCK_DIFFERENCE = 1;

struct RunRecord {
    std::uint32_t seed = 0;
    Ending ending = Ending::Retrying;
    JobState final_state = JobState::Start;
    std::uint32_t ticks = 0;
    std::uint32_t virtual_ms = 0;
    bool flash_matches = false;       // padded image in place, nothing else written
    std::array<std::uint32_t, FAULT_SLOTS> fired{};
    std::uint32_t power_cuts = 0;
    std::uint32_t torn_blocks = 0;
    std::uint32_t requests_corrupted = 0;
    std::uint32_t stale_acks = 0;      // an acknowledgement of another block taken for this one
    std::uint32_t lost_block_acks = 0; // a block taken as acknowledged while not in flash
    bool fast = false;                 // qdm7-flash's reads and stale input discarded
    bool pulled = false;               // the cable pulled and the update started again
    bool resumed = false;              // ... programming then resumed after a kept block
    bool sectors_erased = false;       // the device erases a sector on its first write after power-up
};

struct SoakTotals {
    std::uint32_t runs = 0;
    std::uint32_t completed = 0;
    std::uint32_t failed = 0;
    std::uint32_t retrying = 0;
    std::uint32_t false_completions = 0;
    std::uint32_t flip_standing = 0;
    std::uint32_t flip_standing_completed = 0;
    std::uint32_t flip_healed = 0;
    std::uint32_t failed_flash_good = 0;
    std::uint32_t failed_flash_bad = 0;
    std::uint32_t lost_ack_runs = 0;
    std::uint32_t lost_ack_completed = 0;
    std::uint32_t stale_acks = 0;
    std::uint32_t stale_ack_runs = 0;
    std::array<std::uint32_t, FAULT_SLOTS> fired{};
    std::uint32_t power_cuts = 0;
    std::uint32_t torn_blocks = 0;
    std::uint32_t requests_corrupted = 0;
    std::uint32_t fast = 0;
    std::uint32_t pulled = 0;
    std::uint32_t resumed = 0;
    std::uint32_t resumed_completed = 0;
    std::uint32_t sector_erasing = 0;
};

std::vector<std::uint8_t> padded(std::vector<std::uint8_t> image)
{
    image.resize(PADDED_LENGTH, 0);
    return image;
}

bool flash_matches(const std::vector<std::uint8_t>& image)
{
    const auto& flash = virtual_link().device.flash;
    return std::equal(image.begin(), image.end(), flash.begin()) &&
           std::all_of(flash.begin() + static_cast<std::ptrdiff_t>(image.size()), flash.end(),
                       [](std::uint8_t b) { return b == DEVICE_ERASED; });
}

std::size_t bytes_differing(const std::vector<std::uint8_t>& image, std::int32_t offset, std::int32_t length)
{
    const auto& flash = virtual_link().device.flash;
    std::size_t n = 0;
    for (std::int32_t i = offset; i < offset + length; ++i)
        n += image[static_cast<std::size_t>(i)] != flash[static_cast<std::size_t>(i)];
    return n;
}

std::uint32_t echoed_address(const std::vector<std::uint8_t>& reply)
{
    return reply.size() < 7 ? 0 : read_be32(reply.data() + 3);
}

// Draws this run's faults: each kind is present in some runs, at its own rate.
void arm_faults(Qdm7Device& device, XorShift32& rng, std::array<std::size_t, FAULT_SLOTS>& rule_of)
{
    rule_of.fill(SIZE_MAX);
    auto add = [&](FaultSlot slot, FaultRule rule) {
        rule_of[slot] = device.faults.size();
        device_add_fault(device, rule);
    };
    if (rng.chance(50))
        add(DROP, {.kind = FaultKind::Drop, .percent = rng.between(1, 15)});
    if (rng.chance(50))
        add(CORRUPT, {.kind = FaultKind::CorruptCrc, .percent = rng.between(1, 15)});
    // Gaps under 20 ms pass unnoticed; longer ones cut the reply into two reads.
    if (rng.chance(50))
        add(SPLIT, {.kind = FaultKind::Split, .percent = rng.between(1, 15), .delay_ms = rng.between(1, 60)});
    if (rng.chance(50))
        add(DELAY, {.kind = FaultKind::Delay, .percent = rng.between(1, 20), .delay_ms = rng.between(20, 400)});
    if (rng.chance(40))
        add(LATE, {.kind = FaultKind::Delay, .percent = rng.between(2, 20), .delay_ms = rng.between(9900, 10500)});
    if (rng.chance(40))
        add(DUPLICATE, {.kind = FaultKind::Duplicate, .percent = rng.between(1, 20)});
    if (rng.chance(12))
        add(FLIP, {.kind = FaultKind::FlipFlashBit, .percent = rng.between(10, 60), .max_count = 1});
}

// The device loses power; if it was still busy with a block, that block is
// left half written, as a real flash page would be.
void cut_power(XorShift32& rng, RunRecord& record)
{
    VirtualLink& link = virtual_link();
    ++record.power_cuts;
    const bool busy = virtual_link_power_cut(rng.between(20, 4000));
    if (!busy || link.written.empty())
        return;
    const auto& last = link.written.back();
    if (last.size() < PROGRAM_FRAME_OVERHEAD || last[2] != SUB_PROGRAM)
        return;
    const std::uint32_t address = read_be32(last.data() + 3);
    const std::uint32_t n = read_be16(last.data() + 7);
    const std::uint32_t offset = address - FLASH_BASE;
    if (n == 0 || offset + n > link.device.flash.size())
        return;
    const std::uint32_t from = rng.below(n);
    std::fill_n(link.device.flash.begin() + offset + from, n - from, DEVICE_ERASED);
    ++record.torn_blocks;
}

RunRecord soak_run(std::uint32_t seed)
{
    XorShift32 rng{seed * 2654435761u + 1};
    RunRecord record;
    record.seed = seed;

    virtual_link_reset(rng.next());
    VirtualLink& link = virtual_link();
    link.baud = LINK_BAUD;
    link.power_on_at = link.now + rng.below(1500); // the user power-cycles after pressing the button
    device_seed(link.device, rng.next());
    link.device.program_time_ms = rng.between(5, 80);
    link.log_reads = true;
    std::array<std::size_t, FAULT_SLOTS> rule_of{};
    arm_faults(link.device, rng, rule_of);
    const std::uint32_t cut_percent = rng.chance(35) ? rng.between(1, 5) : 0;
    if (rng.chance(30)) {
        link.request_noise_percent = rng.between(1, 15);
        link.noise.state = rng.next();
    }
    record.fast = rng.chance(50);
    if (record.fast)
        set_reply_rule(1, reply_is_valid, REPLY_QUIET_MS);
    // The cable pulled once this many blocks are acknowledged (0: never).
    const std::int32_t pull_after = record.fast && rng.chance(50) ? static_cast<std::int32_t>(rng.between(1, 3)) : 0;
    record.sectors_erased = rng.chance(20);
    if (record.sectors_erased)
        link.device.erase_sector_size = BLOCK_SIZE * rng.between(1, 3);

    TestJob test_job;
    // A fast run is qdm7-flash's job, which also resumes when started again.
    prepare_job(test_job, padded(make_test_image(IMAGE_LENGTH, seed + 1)),
                {.discard_stale_input = record.fast, .resume = record.fast});
    UpdateJob& job = test_job.job;
    start_job(job);
    const std::uint32_t start = link.now;

    while (record.ticks < TICK_LIMIT && job.state != JobState::Completed && job.state != JobState::Failed) {
        if (job.state == JobState::Programming && cut_percent != 0 && rng.chance(cut_percent))
            cut_power(rng, record);
        if (pull_after != 0 && !record.pulled && job.state == JobState::Programming &&
            job.offset >= pull_after * BLOCK_SIZE) {
            // As qdm7-flash does once the port is back.
            record.pulled = true;
            cut_power(rng, record);
            start_job(job);
        }
        const JobState before = job.state;
        const std::int32_t offset = job.offset;
        const std::int32_t length = job.block_length;
        job_tick(job);
        record.resumed = record.resumed || job_results(job).resumed_at > 0;
        if (before == JobState::Programming && job.offset != offset) {
            // The job cannot tell which request a reply answers; the model's
            // acknowledgement echoes the block's address, so the soak can.
            if (!link.reads_log.empty() && echoed_address(link.reads_log.back()) != job.base_address + static_cast<std::uint32_t>(offset))
                ++record.stale_acks;
            // The job believes the block at offset is in flash: is it?
            if (bytes_differing(test_job.image, offset, length) > LOST_BLOCK_DIFFERENCE)
                ++record.lost_block_acks;
        }
        link.reads_log.clear();
        link.now += JOB_TICK_MS;
        ++record.ticks;
        // Logs are not needed here and would only grow; the power cut looks
        // at the last frame written.
        if (link.written.size() > 1)
            link.written.erase(link.written.begin(), link.written.end() - 1);
        link.trace_text.clear();
        link.statuses.clear();
    }
    record.final_state = job.state;
    record.ending = job.state == JobState::Completed ? Ending::Completed
                    : job.state == JobState::Failed  ? Ending::Failed
                                                     : Ending::Retrying;
    record.virtual_ms = link.now - start;
    record.flash_matches = flash_matches(test_job.image);
    record.requests_corrupted = link.requests_corrupted;
    for (std::size_t slot = 0; slot < FAULT_SLOTS; ++slot)
        if (rule_of[slot] != SIZE_MAX)
            record.fired[slot] = link.device.faults[rule_of[slot]].fired;
    return record;
}

void add_up(SoakTotals& totals, const RunRecord& r)
{
    ++totals.runs;
    const bool flipped = r.fired[FLIP] > 0;
    switch (r.ending) {
    case Ending::Completed:
        ++totals.completed;
        if (!r.flash_matches)
            ++totals.false_completions;
        break;
    case Ending::Failed:
        ++totals.failed;
        ++(r.flash_matches ? totals.failed_flash_good : totals.failed_flash_bad);
        break;
    case Ending::Retrying: ++totals.retrying; break;
    }
    if (flipped && !r.flash_matches) {
        ++totals.flip_standing;
        if (r.ending == Ending::Completed)
            ++totals.flip_standing_completed;
    }
    if (flipped && r.flash_matches)
        ++totals.flip_healed;
    totals.stale_acks += r.stale_acks;
    totals.stale_ack_runs += r.stale_acks > 0;
    if (r.lost_block_acks > 0) {
        ++totals.lost_ack_runs;
        if (r.ending == Ending::Completed)
            ++totals.lost_ack_completed;
    }
    for (std::size_t slot = 0; slot < FAULT_SLOTS; ++slot)
        totals.fired[slot] += r.fired[slot];
    totals.power_cuts += r.power_cuts;
    totals.torn_blocks += r.torn_blocks;
    totals.requests_corrupted += r.requests_corrupted;
    totals.fast += r.fast;
    totals.pulled += r.pulled;
    totals.resumed += r.resumed;
    totals.resumed_completed += r.resumed && r.ending == Ending::Completed;
    totals.sector_erasing += r.sectors_erased;
}

const char* ending_name(Ending e)
{
    return e == Ending::Completed ? "completed" : e == Ending::Failed ? "failed" : "retrying";
}

void write_records(const std::vector<RunRecord>& records, const char* path)
{
    std::FILE* out = std::fopen(path, "w");
    if (out == nullptr)
        return;
    std::fprintf(out, "seed,ending,state,ticks,virtual_ms,flash_matches");
    for (const char* name : FAULT_NAMES)
        std::fprintf(out, ",%s", name);
    std::fprintf(out, ",power_cuts,torn_blocks,requests_corrupted,stale_acks,lost_block_acks\n");
    for (const RunRecord& r : records) {
        std::fprintf(out, "%u,%s,%d,%u,%u,%d", r.seed, ending_name(r.ending), static_cast<int>(r.final_state),
                     r.ticks, r.virtual_ms, r.flash_matches ? 1 : 0);
        for (std::uint32_t n : r.fired)
            std::fprintf(out, ",%u", n);
        std::fprintf(out, ",%u,%u,%u,%u,%u\n", r.power_cuts, r.torn_blocks, r.requests_corrupted, r.stale_acks,
                     r.lost_block_acks);
    }
    std::fclose(out);
}

void print_table(const SoakTotals& t)
{
    std::printf("\nFault soak: %zu-byte image padded to %zu, tick limit %u\n", IMAGE_LENGTH, PADDED_LENGTH,
                TICK_LIMIT);
    std::printf("  %-34s %6u\n", "runs", t.runs);
    std::printf("  %-34s %6u\n", "completed", t.completed);
    std::printf("  %-34s %6u\n", "failed (\"FAILED\")", t.failed);
    std::printf("  %-34s %6u\n", "  with the flash wrong", t.failed_flash_bad);
    std::printf("  %-34s %6u\n", "  with the flash right", t.failed_flash_good);
    std::printf("  %-34s %6u\n", "still retrying at the tick limit", t.retrying);
    std::printf("  %-34s %6u\n", "false completions", t.false_completions);
    std::printf("  %-34s %6u (completed: %u)\n", "flipped bit left in flash", t.flip_standing,
                t.flip_standing_completed);
    std::printf("  %-34s %6u\n", "flipped bit rewritten by a resend", t.flip_healed);
    std::printf("  %-34s %6u (%u replies taken for the wrong block)\n", "runs with a stale acknowledgement",
                t.stale_ack_runs, t.stale_acks);
    std::printf("  %-34s %6u (completed: %u)\n", "runs with a lost block acknowledged", t.lost_ack_runs,
                t.lost_ack_completed);
    std::printf("  %-34s %6u\n", "with qdm7-flash's reads", t.fast);
    std::printf("  %-34s %6u (resumed: %u, of which completed: %u)\n", "cable pulled and put back", t.pulled,
                t.resumed, t.resumed_completed);
    std::printf("  %-34s %6u\n", "device erasing sectors", t.sector_erasing);
    std::printf("Faults fired:");
    for (std::size_t slot = 0; slot < FAULT_SLOTS; ++slot)
        std::printf(" %s %u,", FAULT_NAMES[slot], t.fired[slot]);
    std::printf(" power cuts %u (torn blocks %u), corrupted requests %u\n\n", t.power_cuts, t.torn_blocks,
                t.requests_corrupted);
    std::fflush(stdout);
}

std::uint32_t soak_runs()
{
    const char* text = std::getenv("QDM7_SOAK_RUNS");
    const long n = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return n > 0 ? static_cast<std::uint32_t>(n) : DEFAULT_RUNS;
}

TEST(FaultSoak, NoRunEndsCompletedWithoutTheImageInFlash)
{
    const std::uint32_t runs = soak_runs();
    std::vector<RunRecord> records;
    records.reserve(runs);
    SoakTotals totals;
    for (std::uint32_t seed = 1; seed <= runs; ++seed) {
        records.push_back(soak_run(seed));
        add_up(totals, records.back());
        const RunRecord& r = records.back();
        EXPECT_FALSE(r.ending == Ending::Completed && !r.flash_matches) << "false completion, seed " << r.seed;
    }
    write_records(records, "soak_runs.csv");
    print_table(totals);

    EXPECT_EQ(totals.false_completions, 0u);
    EXPECT_EQ(totals.flip_standing_completed, 0u);
    EXPECT_EQ(totals.lost_ack_completed, 0u);
    // The soak proves something only if the faults happened and most updates
    // still got through them.
    for (std::size_t slot = 0; slot < FAULT_SLOTS; ++slot)
        EXPECT_GT(totals.fired[slot], 0u) << FAULT_NAMES[slot];
    EXPECT_GT(totals.torn_blocks, 0u);
    EXPECT_GT(totals.flip_standing, 0u);
    EXPECT_GT(totals.resumed_completed, 0u);
    EXPECT_GE(totals.completed * 2, totals.runs);
}

} // namespace

namespace {

// The case the soak rarely lines up by chance: a second copy of block 0's
// acknowledgement arrives while block 1, hit by noise, never reaches the
// device. Replies carry no sequence number, so the job takes the copy for
// block 1's acknowledgement and moves on; only the CRC over the whole image
// stands between that and a wrong "Completed".
TEST(FaultSoak, StaleAcknowledgementOfALostBlockEndsInFailed)
{
    virtual_link_reset();
    VirtualLink& link = virtual_link();
    link.baud = LINK_BAUD;
    link.device.program_time_ms = 20;
    link.log_reads = true;
    TestJob test_job;
    prepare_job(test_job, make_test_image(4 * BLOCK_SIZE, 9));
    UpdateJob& job = test_job.job;
    start_job(job);
    while (!(job.state == JobState::Programming && link.device.stats.blocks_programmed == 1)) {
        run_job(job, 1);
        ASSERT_LT(link.now, 60000u);
    }
    ASSERT_EQ(job.offset, 0);
    ASSERT_FALSE(link.incoming.empty()); // block 0's acknowledgement is on its way
    std::vector<std::uint8_t> ack;
    for (const auto& b : link.incoming)
        ack.push_back(b.value);
    // The copy arrives while block 1 is on the wire.
    virtual_link_inject(ack, link.incoming.back().time + 100);
    link.request_noise_percent = 100;
    while (job.offset == 0)
        run_job(job, 1);
    link.request_noise_percent = 0;
    ASSERT_EQ(job.offset, BLOCK_SIZE);
    ASSERT_EQ(link.requests_corrupted, 1u);
    link.reads_log.clear();
    while (job.offset == BLOCK_SIZE)
        run_job(job, 1);
    ASSERT_FALSE(link.reads_log.empty());
    EXPECT_EQ(echoed_address(link.reads_log.back()), FLASH_BASE) << "block 0's acknowledgement taken for block 1";
    EXPECT_EQ(job.offset, 2 * BLOCK_SIZE);
    EXPECT_GT(bytes_differing(test_job.image, BLOCK_SIZE, BLOCK_SIZE), std::size_t{BLOCK_SIZE / 2});

    run_job(job, 100000);
    EXPECT_EQ(job.state, JobState::Failed);
    EXPECT_EQ(link.statuses.back(), "FAILED");
    EXPECT_NE(link.trace_text.find("CRC FAIL\n"), std::string::npos);
}

} // namespace
