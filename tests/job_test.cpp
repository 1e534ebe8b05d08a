#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/frames.h"
#include "engine/job.h"
#include "tests/support/virtual_link.h"

namespace {

constexpr std::uint32_t MAX_TICKS = 100000;

std::vector<std::uint8_t> sealed(std::vector<std::uint8_t> body)
{
    const std::uint16_t crc = image_crc(body.data(), static_cast<std::int32_t>(body.size()));
    body.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    body.push_back(static_cast<std::uint8_t>(crc >> 8));
    return body;
}

// Indices into the written frames of those with the given sub-command.
std::vector<std::size_t> frames_with(std::uint8_t sub_command)
{
    std::vector<std::size_t> found;
    const auto& written = virtual_link().written;
    for (std::size_t i = 0; i < written.size(); ++i)
        if (written[i].size() >= 3 && written[i][2] == sub_command)
            found.push_back(i);
    return found;
}

std::string hex_line(const std::vector<std::uint8_t>& bytes)
{
    std::string line = "RX:";
    char piece[8];
    for (std::uint8_t b : bytes) {
        std::snprintf(piece, sizeof piece, " %02x", b);
        line += piece;
    }
    return line + "\n";
}

std::string crc_text(std::uint16_t crc)
{
    char text[16];
    std::snprintf(text, sizeof text, "%#x", crc);
    return text;
}

bool flash_holds(const std::vector<std::uint8_t>& image)
{
    const auto& flash = virtual_link().device.flash;
    return std::equal(image.begin(), image.end(), flash.begin());
}

class JobTest : public ::testing::Test {
protected:
    void SetUp() override { virtual_link_reset(); }

    void prepare(std::size_t image_length)
    {
        prepare_job(test_job, make_test_image(image_length));
        start_job(job());
    }
    UpdateJob& job() { return test_job.job; }
    TestJob test_job;
};

// Two full blocks and a short third, unpadded, so the short-block path runs.
TEST_F(JobTest, FullUpdateTracesEveryStepAndProgramsTheImage)
{
    prepare(2 * 16384 + 1000);
    run_job(job(), MAX_TICKS);

    ASSERT_EQ(job().state, JobState::Completed);
    EXPECT_TRUE(flash_holds(test_job.image));
    EXPECT_TRUE(job_results(job()).device_crc_known);
    EXPECT_EQ(job_results(job()).device_crc, image_crc(test_job.image.data(), 2 * 16384 + 1000));

    // The first contact's reply waits behind the second's, and the two arrive
    // as one read that fails the CRC test; the third contact gets through.
    const std::vector<std::uint8_t> erased(4, 0xFF);
    const std::uint16_t erased_crc = image_crc(erased.data(), 4);
    const auto contact_reply = sealed({0x04, 0xF3, 0x02, 0x08, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x04,
                                       static_cast<std::uint8_t>(erased_crc >> 8),
                                       static_cast<std::uint8_t>(erased_crc & 0xFF)});
    auto two_replies = contact_reply;
    two_replies.insert(two_replies.end(), contact_reply.begin(), contact_reply.end());
    const std::string crc = crc_text(image_crc(test_job.image.data(), 2 * 16384 + 1000));

    const std::string expected = "CONTACTING...\n"
                                 "CONTACTING...\n" +
                                 hex_line(two_replies) +
                                 "CONTACTING...\n" +
                                 hex_line(contact_reply) +
                                 "REMOTE DEVICE LINK ESTABLISHED\n"
                                 "PROG ADDR 0x8008000, LEN 0x4000, FROM 0... - SENT - - OK\n"
                                 "PROG ADDR 0x800c000, LEN 0x4000, FROM 0x4000... - SENT - - OK\n"
                                 "PROG ADDR 0x8010000, LEN 0x3e8, FROM 0x8000... - SENT - - OK\n"
                                 "Verifying address 0x8008000, image size 0x83e8 bytes\n"
                                 "frame length   13 bytes sent\n"
                                 "Remote CRC " + crc + "\n"
                                 "Local  CRC " + crc + "\n"
                                 "CRCs match\n"
                                 "Resetting target\n"
                                 "frame length    5 bytes sent\n"
                                 "frame length    5 bytes received & OK\n";
    EXPECT_EQ(virtual_link().trace_text, expected);

    const std::vector<std::string> statuses{
        "Contacting Device...",  "Establishing Link...", "programming 0x8008000", "programming 0x800c000",
        "programming 0x8010000", "Verifying...",         "Program Verified OK",   "Resetting target...",
        "Programming Completed OK"};
    EXPECT_EQ(virtual_link().statuses, statuses);
    EXPECT_EQ(virtual_link().purges, 1u);
    EXPECT_EQ(virtual_link().flushes, 1u);
}

TEST_F(JobTest, OneBlockGoesStraightToVerifyingAndResetsInTheSameTick)
{
    prepare(16384);
    while (job().state != JobState::Programming)
        job_tick(job());
    virtual_link().now += 10;
    job_tick(job()); // the acknowledgement
    ASSERT_EQ(job().state, JobState::Verifying);
    virtual_link().now += 10;
    job_tick(job()); // the device's CRC
    EXPECT_EQ(job().state, JobState::Resetting);
    EXPECT_EQ(virtual_link().written.back(), sealed({0x04, 0xF3, 0x03}));
}

// Start-up pads the image to whole blocks, but the job must not read past an
// image that is shorter than one block.
TEST_F(JobTest, ImageShorterThanOneBlockGoesOutAsOneShortFrame)
{
    prepare(100);
    run_job(job(), MAX_TICKS);
    ASSERT_EQ(job().state, JobState::Completed);
    const auto programs = frames_with(SUB_PROGRAM);
    ASSERT_EQ(programs.size(), 1u);
    EXPECT_EQ(virtual_link().written[programs[0]].size(), 111u);
    EXPECT_TRUE(flash_holds(test_job.image));
}

TEST_F(JobTest, FlippedFlashBitEndsInFailedAndStaysThere)
{
    prepare(3 * 16384);
    device_add_fault(virtual_link().device, {.kind = FaultKind::FlipFlashBit, .every = 2});
    run_job(job(), MAX_TICKS);

    ASSERT_EQ(job().state, JobState::Failed);
    EXPECT_EQ(virtual_link().statuses.back(), "FAILED");
    const std::string& trace_text = virtual_link().trace_text;
    EXPECT_NE(trace_text.find("CRC FAIL\n"), std::string::npos);
    EXPECT_EQ(trace_text.find("CRCs match"), std::string::npos);

    // Ticks in Failed do nothing at all.
    const auto writes = virtual_link().written.size();
    const auto reads = virtual_link().reads;
    for (int i = 0; i < 50; ++i)
        job_tick(job());
    EXPECT_EQ(virtual_link().written.size(), writes);
    EXPECT_EQ(virtual_link().reads, reads);
}

TEST_F(JobTest, BadAcknowledgementIsResentOnlyAfterTenSeconds)
{
    prepare(2 * 16384);
    device_add_fault(virtual_link().device,
                     {.kind = FaultKind::CorruptCrc, .every = 1, .sub_command = SUB_PROGRAM, .max_count = 1});
    std::uint32_t first_send = 0;
    std::uint32_t previous_tick = 0;
    std::uint32_t resend_tick = 0;
    while (job().state != JobState::Completed) {
        const auto before = frames_with(SUB_PROGRAM).size();
        const std::uint32_t tick_start = virtual_link().now;
        job_tick(job());
        const auto after = frames_with(SUB_PROGRAM).size();
        if (before == 0 && after == 1)
            first_send = job().send_time;
        if (before == 1 && after >= 2) {
            resend_tick = tick_start;
            break;
        }
        previous_tick = tick_start;
        virtual_link().now += 10;
        ASSERT_LT(virtual_link().now, 60000u);
    }
    // Resent on the first tick that starts more than 10 s after the first send.
    EXPECT_GT(resend_tick - first_send, 10000u);
    EXPECT_LE(previous_tick - first_send, 10000u);
    run_job(job(), MAX_TICKS);
    ASSERT_EQ(job().state, JobState::Completed);
    const auto programs = frames_with(SUB_PROGRAM);
    ASSERT_EQ(programs.size(), 3u);
    // The same block went twice: same address, same bytes.
    EXPECT_EQ(virtual_link().written[programs[0]], virtual_link().written[programs[1]]);
    EXPECT_NE(virtual_link().trace_text.find(" - SENT - TIMEOUT\nPROG ADDR 0x8008000, LEN 0x4000, FROM 0..."),
              std::string::npos);
    EXPECT_TRUE(flash_holds(test_job.image));
}

TEST_F(JobTest, NoRetryLimitWhileTheDeviceStaysSilent)
{
    prepare(16384);
    device_add_fault(virtual_link().device, {.kind = FaultKind::Drop, .every = 1, .sub_command = SUB_PROGRAM});
    run_job(job(), 2000); // about 220 s of virtual time at 110 ms a tick
    EXPECT_EQ(job().state, JobState::Programming);
    // One resend per 10 s, never given up.
    const auto programs = frames_with(SUB_PROGRAM).size();
    EXPECT_GE(programs, 20u);
    EXPECT_LE(programs, 23u);
    EXPECT_EQ(job().offset, 0);
    EXPECT_EQ(job_results(job()).timeouts, programs - 1);
}

TEST_F(JobTest, ContactQueryRepeatsEveryTickUntilThePowerComesOn)
{
    prepare(16384);
    virtual_link().power_on_at = 1500;
    std::uint32_t contacting_ticks = 0;
    while (job().state != JobState::Programming) {
        const auto before = frames_with(SUB_QUERY_CRC).size();
        const bool contacting = job().state == JobState::Contacting;
        job_tick(job());
        if (contacting) {
            ++contacting_ticks;
            EXPECT_EQ(frames_with(SUB_QUERY_CRC).size(), before + 1) << "tick " << contacting_ticks;
        }
        virtual_link().now += 10;
        ASSERT_LT(contacting_ticks, 100u);
    }
    // About 210 ms a tick: several ticks go unanswered before the power comes.
    EXPECT_GE(contacting_ticks, 7u);
    EXPECT_EQ(job_results(job()).unanswered_contacts, contacting_ticks); // each of those ticks resent it
    run_job(job(), MAX_TICKS);
    EXPECT_EQ(job().state, JobState::Completed);
}

TEST_F(JobTest, AnyCrcValidFrameEstablishesTheLink)
{
    prepare(16384);
    virtual_link().power_on_at = 0x7FFFFFFF; // a silent device
    job_tick(job());
    job_tick(job());
    ASSERT_EQ(job().state, JobState::Contacting);
    virtual_link_inject(sealed({0x55, 0x66}), virtual_link().now);
    virtual_link().now += 10;
    job_tick(job());
    EXPECT_EQ(job().state, JobState::Programming);
    EXPECT_EQ(job().reply_timeout, 10000u);
}

TEST_F(JobTest, ResetFrameIsResentOnEveryTickUntilAcknowledged)
{
    prepare(16384);
    device_add_fault(virtual_link().device, {.kind = FaultKind::Drop, .every = 1, .sub_command = SUB_RESET});
    while (job().state != JobState::Resetting)
        run_job(job(), 1);
    // The tick right after the send comes only 10 ms later; from then on
    // every tick starts more than 100 ms after the last send.
    run_job(job(), 1);
    for (int i = 0; i < 30; ++i) {
        const auto before = frames_with(SUB_RESET).size();
        run_job(job(), 1);
        EXPECT_EQ(frames_with(SUB_RESET).size(), before + 1) << "tick " << i;
    }
    EXPECT_EQ(job().state, JobState::Resetting);
}

TEST_F(JobTest, WrapOfTheTickCounterCausesNoTimeout)
{
    virtual_link_reset(0xFFFFFFFFu - 700u);
    virtual_link().device.program_time_ms = 150;
    prepare(4 * 16384);
    run_job(job(), MAX_TICKS);
    EXPECT_EQ(job().state, JobState::Completed);
    EXPECT_LT(virtual_link().now, 0x10000u); // the run did cross the wrap
    EXPECT_EQ(virtual_link().trace_text.find("TIMEOUT"), std::string::npos);
    EXPECT_EQ(frames_with(SUB_PROGRAM).size(), 4u);
}

TEST_F(JobTest, RestartMidUpdateBeginsAgainFromStart)
{
    prepare(4 * 16384);
    while (job().offset < 2 * 16384)
        run_job(job(), 1);
    start_job(job());
    job_tick(job());
    EXPECT_EQ(job().state, JobState::Link);
    EXPECT_EQ(job().offset, 0);
    EXPECT_EQ(job().reply_timeout, 100u);
    EXPECT_EQ(job().block_length, 16384);
    run_job(job(), MAX_TICKS);
    EXPECT_EQ(job().state, JobState::Completed);
    EXPECT_TRUE(flash_holds(test_job.image));
}

// What a job with a reporter of its own reports, and where: each text as
// the platform would have had it, with the job already in the state the text
// belongs to; nothing goes to the platform's own status or trace.
struct Reported {
    std::string trace;
    std::vector<std::string> statuses; // "state:text"
    int flushes = 0;
    const UpdateJob* job = nullptr;
};

JobReporter reporter_into(Reported& got)
{
    return JobReporter{&got,
                       [](void* context, const char* text) {
                           auto& into = *static_cast<Reported*>(context);
                           into.statuses.push_back(std::to_string(static_cast<int>(into.job->state)) + ":" + text);
                       },
                       [](void* context, const char* text) { static_cast<Reported*>(context)->trace += text; },
                       [](void* context) { ++static_cast<Reported*>(context)->flushes; }};
}

TEST_F(JobTest, AReporterGetsItsJobsTextsAndThePlatformNone)
{
    prepare(2 * 16384 + 1000);
    run_job(job(), MAX_TICKS);
    const std::string platform_trace = virtual_link().trace_text;

    // The same record, prepared again for another run: nothing of the last
    // one is left in it.
    Reported got;
    got.job = &job();
    prepare_job(job(), test_job.frame_buffer.data(), reporter_into(got));
    EXPECT_EQ(job().state, JobState::Start);
    EXPECT_EQ(job().port_handle, INVALID_PORT_HANDLE);
    EXPECT_EQ(job().image, nullptr);
    EXPECT_EQ(job().offset, 0);
    EXPECT_EQ(job().frame_buffer, test_job.frame_buffer.data());
    job().image = test_job.image.data();
    job().image_size = static_cast<std::int32_t>(test_job.image.size());
    job().base_address = FLASH_BASE;
    virtual_link_reset();
    start_job(job());
    run_job(job(), MAX_TICKS);

    ASSERT_EQ(job().state, JobState::Completed);
    EXPECT_EQ(got.trace, platform_trace);
    const std::vector<std::string> statuses{
        "0:Contacting Device...",  "1:Establishing Link...", "3:programming 0x8008000", "3:programming 0x800c000",
        "3:programming 0x8010000", "4:Verifying...",         "4:Program Verified OK",   "6:Resetting target...",
        "7:Programming Completed OK"};
    EXPECT_EQ(got.statuses, statuses);
    EXPECT_EQ(got.flushes, 9); // after each block's "PROG ADDR", " - SENT - " and "- OK"
    EXPECT_TRUE(virtual_link().trace_text.empty());
    EXPECT_TRUE(virtual_link().statuses.empty());
}

// A CRC-valid reply too short to hold bytes 11 and 12 ahead of its own CRC
// (a refusal, say) is a failed verification. Bytes 11 and 12 left in the
// frame buffer hold the image's CRC, so reading past the reply would pass.
TEST_F(JobTest, ShortVerificationReplyEndsInFailedWithoutAResend)
{
    prepare(16384);
    // The device goes off as the CRC query goes out, its reply lost.
    for (std::uint32_t i = 0; i < MAX_TICKS && job().state != JobState::Verifying; ++i)
        run_job(job(), 1);
    ASSERT_EQ(job().state, JobState::Verifying);
    virtual_link_power_cut(1000000);
    virtual_link().incoming.clear();
    const std::uint32_t queried = virtual_link().now;
    // The contact queries and the verification's first.
    const std::size_t queries = frames_with(SUB_QUERY_CRC).size();
    // Unanswered, the query goes again after its time-out.
    for (std::uint32_t i = 0; i < MAX_TICKS && frames_with(SUB_QUERY_CRC).size() < queries + 1; ++i)
        run_job(job(), 1);
    EXPECT_GE(virtual_link().now - queried, 10000u);
    EXPECT_EQ(job_results(job()).timeouts, 1u);

    const std::uint16_t crc = image_crc(test_job.image.data(), 16384);
    job().frame_buffer[REPLY_CRC_HIGH] = static_cast<std::uint8_t>(crc >> 8);
    job().frame_buffer[REPLY_CRC_LOW] = static_cast<std::uint8_t>(crc & 0xFF);
    virtual_link().trace_text.clear();
    virtual_link_inject(sealed({0x04, 0xF3, 0x82, 0x02}), virtual_link().now);
    virtual_link().now += 10;
    job_tick(job());

    EXPECT_EQ(job().state, JobState::Failed);
    EXPECT_EQ(virtual_link().trace_text, "CRC reply too short: 6 bytes\nCRC FAIL\n");
    EXPECT_FALSE(job_results(job()).device_crc_known);
    EXPECT_EQ(virtual_link().statuses.back(), "FAILED");
    const auto reads = virtual_link().reads;
    for (int i = 0; i < 20; ++i) {
        virtual_link().now += 1000;
        job_tick(job());
    }
    EXPECT_EQ(frames_with(SUB_QUERY_CRC).size(), queries + 1);
    EXPECT_EQ(virtual_link().reads, reads);
}

// The device model refuses a CRC query beyond its flash with a short reply.
TEST_F(JobTest, DeviceRefusingTheCrcQueryEndsTheUpdateInFailed)
{
    prepare(2 * 16384);
    device_init(virtual_link().device, 16384);
    run_job(job(), MAX_TICKS);
    ASSERT_EQ(job().state, JobState::Failed);
    EXPECT_EQ(virtual_link().device.stats.refusals, 2u); // the second block, then the query
    EXPECT_EQ(frames_with(SUB_QUERY_CRC).size(), 4u);    // three contacts, one CRC query
    EXPECT_NE(virtual_link().trace_text.find("frame length   13 bytes sent\n"
                                             "CRC reply too short: 6 bytes\nCRC FAIL\n"),
              std::string::npos)
        << virtual_link().trace_text;
    EXPECT_EQ(virtual_link().trace_text.find("Remote CRC"), std::string::npos);
}

} // namespace

// --- Reads that end with the reply, and resuming (qdm7-flash's job) -------------------------

// A job as qdm7-flash runs it: paced at the link's rate, reads ending with
// a whole reply, and its options (stale input discarded, echoes refused,
// resuming on a start again) given once, at preparation.
class FastJobTest : public JobTest {
protected:
    void SetUp() override
    {
        JobTest::SetUp();
        virtual_link().baud = LINK_BAUD;
        virtual_link().device.program_time_ms = 5;
        set_reply_rule(1, reply_is_valid, REPLY_QUIET_MS);
    }
    void prepare(std::size_t image_length)
    {
        prepare_job(test_job, make_test_image(image_length),
                    {.refuse_echo = true, .discard_stale_input = true, .resume = true});
        start_job(job());
    }
    void run_until_acknowledged(std::int32_t blocks)
    {
        while (job_results(job()).blocks_acknowledged < blocks)
            run_job(job(), 1);
    }
    // The cable pulled once block `blocks` is acknowledged, and put back:
    // the job starts again as qdm7-flash restarts it.
    void reconnect_after(std::int32_t blocks)
    {
        run_until_acknowledged(blocks);
        virtual_link_power_cut(500);
        virtual_link().written.clear();
        virtual_link().trace_text.clear();
        start_job(job());
        run_job(job(), MAX_TICKS);
    }
    std::size_t programs_written() { return frames_with(SUB_PROGRAM).size(); }
};

TEST_F(FastJobTest, AReplyEndsTheReadOnceWholeAndQuietEvenInTwoPieces)
{
    const std::vector<std::uint8_t> reply = sealed({0x04, 0xF3, 0x02, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    VirtualLink& link = virtual_link();
    virtual_link_inject(reply, 5);
    std::vector<std::uint8_t> buffer(FRAME_BUFFER_SIZE);
    EXPECT_EQ(port_read(1, buffer.data(), FRAME_BUFFER_SIZE), 15);
    EXPECT_EQ(link.now, 5 + virtual_wire_ms(15) + REPLY_QUIET_MS);
    // Cut after 8 bytes with 15 ms between the pieces, as a USB adapter's
    // latency timer may cut it: the first piece fails the test, so the read
    // waits for the rest.
    const std::uint32_t at = link.now + 5;
    virtual_link_inject({reply.begin(), reply.begin() + 8}, at);
    virtual_link_inject({reply.begin() + 8, reply.end()}, at + 15);
    EXPECT_EQ(port_read(1, buffer.data(), FRAME_BUFFER_SIZE), 15);
    EXPECT_TRUE(reply_is_valid(buffer.data(), 15));
}

// The first contact query's reply comes late, just after the second query
// went out, and the link is made on it; the second query's reply follows
// 20 ms later. That one must not be taken for block 0's reply, which would
// shift every later reply by one.
TEST_F(FastJobTest, ALateContactReplyIsDiscardedNotTakenForTheFirstBlock)
{
    prepare(4 * BLOCK_SIZE);
    Qdm7Device& device = virtual_link().device;
    device_add_fault(device, {.kind = FaultKind::Delay, .every = 1, .sub_command = SUB_QUERY_CRC, .delay_ms = 125,
                              .max_count = 1});
    device_add_fault(device, {.kind = FaultKind::Delay, .every = 2, .sub_command = SUB_QUERY_CRC, .delay_ms = 20,
                              .max_count = 1});
    run_job(job(), MAX_TICKS);
    EXPECT_EQ(device.faults[0].fired + device.faults[1].fired, 2u);
    EXPECT_EQ(job().state, JobState::Completed);
    EXPECT_EQ(programs_written(), 4u);
    EXPECT_TRUE(flash_holds(test_job.image));
}

TEST_F(FastJobTest, AReconnectResumesAfterTheBlocksTheDeviceKept)
{
    prepare(8 * BLOCK_SIZE);
    reconnect_after(5);
    EXPECT_EQ(job().state, JobState::Completed);
    EXPECT_TRUE(flash_holds(test_job.image));
    EXPECT_EQ(programs_written(), 3u);
    const std::string& trace = virtual_link().trace_text;
    EXPECT_NE(trace.find("RESUME CHECK ADDR 0x8008000, LEN 0x14000 (5 blocks)\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("RESUMING AT BLOCK 5, ADDR 0x801c000\n"), std::string::npos) << trace;
}

TEST_F(FastJobTest, AResumeCheckThatDiffersIsHalvedUntilARangeMatches)
{
    prepare(8 * BLOCK_SIZE);
    run_until_acknowledged(6);
    // Block 2 lost: [0, 6), [0, 3) and [0, 1) are asked, [0, 1) is kept.
    virtual_link().device.flash[2 * BLOCK_SIZE + 7] ^= 0x10;
    reconnect_after(6);
    EXPECT_EQ(job().state, JobState::Completed);
    EXPECT_TRUE(flash_holds(test_job.image));
    EXPECT_EQ(programs_written(), 7u);
    const std::string& trace = virtual_link().trace_text;
    EXPECT_NE(trace.find("(6 blocks)\n"), std::string::npos);
    EXPECT_NE(trace.find("(3 blocks)\n"), std::string::npos);
    EXPECT_NE(trace.find("LEN 0x4000 (1 block)\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("RESUMING AT BLOCK 1,"), std::string::npos) << trace;
}

// The device erases a whole two-block sector when a block in it is written
// first after power-up: resuming at block 5 erases block 4, the final CRC
// differs, and one whole attempt from block 0 follows before any "FAILED".
TEST_F(FastJobTest, AResumedAttemptThatFailsIsFollowedByOneWholeAttempt)
{
    prepare(8 * BLOCK_SIZE);
    virtual_link().device.erase_sector_size = 2 * BLOCK_SIZE;
    reconnect_after(5);
    EXPECT_EQ(job().state, JobState::Completed);
    EXPECT_TRUE(flash_holds(test_job.image));
    EXPECT_EQ(programs_written(), 3u + 8u);
    EXPECT_NE(virtual_link().trace_text.find("CRC FAIL\nRESUMED AT BLOCK 5: PROGRAMMING THE WHOLE IMAGE AGAIN\n"),
              std::string::npos);
    EXPECT_EQ(std::count(virtual_link().statuses.begin(), virtual_link().statuses.end(), "FAILED"), 0);
}

// The options given at preparation hold for every start: after the device
// lost power and the job was started again, nothing set anew, it resumes
// after the blocks it had acknowledged, discards what waits before each
// request, and refuses a block that comes back as it went.
TEST_F(FastJobTest, OptionsGivenOnceHoldAfterAStartAgain)
{
    prepare(6 * BLOCK_SIZE);
    run_until_acknowledged(3);
    virtual_link_power_cut(500);
    start_job(job());
    while (job().state != JobState::Programming)
        run_job(job(), 1);
    EXPECT_EQ(job_results(job()).resumed_at, 3);
    const auto purges = virtual_link().purges;
    const auto writes = virtual_link().written.size();

    // Block 3's acknowledgement lost, and the block itself come back as it
    // went out, as a loopback returns it.
    VirtualLink& link = virtual_link();
    link.incoming.clear();
    const std::vector<std::uint8_t> block = link.written.back();
    virtual_link_inject(block, link.now - virtual_wire_ms(block.size()));
    link.now += JOB_TICK_MS;
    job_tick(job());
    EXPECT_TRUE(job_results(job()).echo_seen);
    EXPECT_EQ(job().offset, 3 * BLOCK_SIZE);

    run_job(job(), MAX_TICKS);
    EXPECT_EQ(job().state, JobState::Completed);
    EXPECT_TRUE(flash_holds(test_job.image));
    EXPECT_EQ(link.purges - purges, link.written.size() - writes);
}

// A loopback plug sends each frame back at the wire's pace: the contact
// query comes back whole within a read, a block does not. The query's echo
// tells it, and no block goes to the port. The dialog's job takes any valid
// frame for a reply, and links on it.
TEST_F(FastJobTest, ALoopbackIsToldByTheContactQueryItSendsBack)
{
    virtual_link().echo = true;
    prepare(4 * BLOCK_SIZE);
    for (int tick = 0; tick < 100 && !job_results(job()).echo_seen; ++tick)
        run_job(job(), 1);
    EXPECT_TRUE(job_results(job()).echo_seen);
    EXPECT_EQ(job().state, JobState::Contacting);
    EXPECT_EQ(programs_written(), 0u);

    prepare_job(test_job, test_job.image);
    start_job(job());
    run_job(job(), 10);
    EXPECT_EQ(job().state, JobState::Programming);
    EXPECT_FALSE(job_results(job()).echo_seen);
}

// A start that is told how many blocks the device holds (what a
// verification found) checks those, whatever the job had acknowledged.
TEST_F(FastJobTest, AResumeGivenItsBlocksChecksThoseBlocks)
{
    prepare(6 * BLOCK_SIZE);
    run_job(job(), MAX_TICKS);
    ASSERT_EQ(job_results(job()).blocks_acknowledged, 6);
    virtual_link().trace_text.clear();
    resume_job(job(), "virtual", 1, 2);
    EXPECT_EQ(job_results(job()).blocks_acknowledged, 2);
    run_job(job(), MAX_TICKS);
    EXPECT_EQ(job().state, JobState::Completed);
    EXPECT_NE(virtual_link().trace_text.find("RESUME CHECK ADDR 0x8008000, LEN 0x8000 (2 blocks)\n"),
              std::string::npos)
        << virtual_link().trace_text;
    EXPECT_EQ(job_results(job()).resumed_at, 2);
}
