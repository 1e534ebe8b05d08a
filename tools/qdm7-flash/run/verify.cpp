#include "tools/qdm7-flash/run/verify.h"

#include <algorithm>

#include "engine/frames.h"

namespace {

constexpr std::int32_t HALF_BLOCK = BLOCK_SIZE / 2;

std::uint8_t unit_of(const UpdateJob& job) { return static_cast<std::uint8_t>(job.unit_address & 0xFF); }

// One verification's exchange with the device: the job whose buffer, port
// and view it uses, and what it knows of its own last request, which the
// job keeps to itself for its own.
struct Exchange {
    UpdateJob& job;
    const Host& host;
    std::int32_t sent_length = 0;
    std::uint16_t sent_crc = 0;
    bool echo_seen = false;
};

bool stopped(const Exchange& exchange)
{
    return exchange.host.stop_requested() != StopReason::None || port_lost(exchange.job.port_handle);
}

std::uint16_t sealed_crc(const UpdateJob& job)
{
    return static_cast<std::uint16_t>(job.frame_buffer[job.frame_length - 2] +
                                      256u * job.frame_buffer[job.frame_length - 1]);
}

// Sends the frame in the job's buffer, input waiting before it discarded: it
// answers no request of this one.
void send(Exchange& exchange)
{
    UpdateJob& job = exchange.job;
    port_purge(job.port_handle);
    exchange.sent_length = job.frame_length;
    exchange.sent_crc = sealed_crc(job);
    port_write(job.port_handle, job.frame_buffer, job.frame_length);
}

// Reads until a valid frame comes or timeout_ms pass. A query come back as
// it went (its length and CRC) is no reply but a port that echoes: a QDM7's
// reply to a query is longer, and none will come on that port (echo_seen).
// The reset's acknowledgement is the reset frame itself: no_echo_test.
bool await_reply(Exchange& exchange, std::uint32_t timeout_ms, bool no_echo_test = false)
{
    UpdateJob& job = exchange.job;
    const std::uint32_t began = exchange.host.tick_count();
    while (exchange.host.tick_count() - began < timeout_ms && !stopped(exchange)) {
        job.frame_length = port_read(job.port_handle, job.frame_buffer, job.buffer_capacity);
        if (!reply_is_valid(job.frame_buffer, job.frame_length))
            continue;
        exchange.echo_seen = !no_echo_test && job.frame_length == exchange.sent_length &&
                             sealed_crc(job) == exchange.sent_crc;
        if (exchange.echo_seen)
            job_trace(job, "ECHO\n");
        return !exchange.echo_seen;
    }
    return false;
}

bool contact(Exchange& exchange)
{
    UpdateJob& job = exchange.job;
    job.state = JobState::Contacting;
    for (;;) {
        if (stopped(exchange) || exchange.echo_seen)
            return false;
        build_query_frame(job.frame_buffer, job.frame_length, unit_of(job), FLASH_BASE, CONTACT_QUERY_LENGTH);
        send(exchange);
        job_trace(job, "CONTACTING...\n");
        if (await_reply(exchange, CONTACT_REPLY_TIMEOUT_MS))
            break;
        job_count_unanswered_contact(job);
    }
    job_trace(job, "REMOTE DEVICE LINK ESTABLISHED\n");
    exchange.host.sleep_ms(CONTACT_SETTLE_MS);
    port_purge(job.port_handle);
    return true;
}

// The device's CRC of the image's bytes [offset, offset + length).
bool device_crc(Exchange& exchange, std::int32_t offset, std::int32_t length, std::uint16_t& crc)
{
    UpdateJob& job = exchange.job;
    for (int attempt = 0; attempt < VERIFY_TRIES && !stopped(exchange) && !exchange.echo_seen; ++attempt) {
        build_query_frame(job.frame_buffer, job.frame_length, unit_of(job), FLASH_BASE + static_cast<std::uint32_t>(offset),
                          static_cast<std::uint32_t>(length));
        send(exchange);
        // Too short to carry a CRC (a refusal) counts as no answer.
        if (await_reply(exchange, VERIFY_REPLY_TIMEOUT_MS) && job.frame_length >= MIN_CRC_REPLY_LENGTH) {
            crc = static_cast<std::uint16_t>(job.frame_buffer[REPLY_CRC_LOW] + 256u * job.frame_buffer[REPLY_CRC_HIGH]);
            return true;
        }
    }
    return false;
}

// Queries one range and says how it compares; false when no answer came.
bool range_matches(Exchange& exchange, VerifyRecord& record, std::int32_t offset, std::int32_t length, bool& matches)
{
    UpdateJob& job = exchange.job;
    std::uint16_t remote = 0;
    if (!device_crc(exchange, offset, length, remote))
        return false;
    ++record.queries;
    const std::uint16_t local = image_crc(job.image + offset, length);
    matches = remote == local;
    job_trace(job, "CRC %#lx+%#lx: device %#x, image %#x%s\n", static_cast<unsigned long>(FLASH_BASE + static_cast<std::uint32_t>(offset)),
              static_cast<unsigned long>(length), static_cast<unsigned>(remote), static_cast<unsigned>(local),
              matches ? "" : " DIFFERS");
    return true;
}

VerifyResult stop_result(const Exchange& exchange, VerifyRecord& record, const char* what)
{
    const StopReason stop = exchange.host.stop_requested();
    if (stop == StopReason::Deadline)
        return VerifyResult::Deadline;
    if (stop == StopReason::Interrupted)
        return VerifyResult::Interrupted;
    if (exchange.echo_seen) {
        record.error = ECHO_TEXT;
        return VerifyResult::Echoing;
    }
    record.error = port_lost(exchange.job.port_handle) ? "the port went away" : what;
    return VerifyResult::Error;
}

} // namespace

VerifyResult verify_open_port(UpdateJob& job, VerifyRecord& record, const Host& host)
{
    Exchange exchange{job, host};
    if (!contact(exchange))
        return stop_result(exchange, record, "no contact");
    job.state = JobState::Verifying;
    job_status(job, "Verifying...");
    const std::int32_t blocks = job.image_size / BLOCK_SIZE;
    std::vector<bool> blocks_match(static_cast<std::size_t>(blocks), false);
    std::vector<bool> shifted_match(static_cast<std::size_t>(blocks) + 1, false);
    for (std::int32_t i = 0; i < blocks; ++i) {
        bool matches = false;
        if (!range_matches(exchange, record, i * BLOCK_SIZE, BLOCK_SIZE, matches))
            return stop_result(exchange, record, "the device stopped answering its CRC queries");
        blocks_match[static_cast<std::size_t>(i)] = matches;
        job.offset = (i + 1) * BLOCK_SIZE;
    }
    for (std::int32_t k = 0; k <= blocks; ++k) {
        const std::int32_t start = k == 0 ? 0 : (k - 1) * BLOCK_SIZE + HALF_BLOCK;
        const std::int32_t end = k == blocks ? blocks * BLOCK_SIZE : k * BLOCK_SIZE + HALF_BLOCK;
        bool matches = false;
        if (!range_matches(exchange, record, start, end - start, matches))
            return stop_result(exchange, record, "the device stopped answering its CRC queries");
        shifted_match[static_cast<std::size_t>(k)] = matches;
    }
    record.differing = differing_blocks(blocks_match, shifted_match);
    if (!record.differing.empty())
        return VerifyResult::Differs;
    job.state = JobState::Resetting;
    job_status(job, "Resetting target...");
    for (int attempt = 0; attempt < VERIFY_TRIES && !record.reset_acknowledged && !stopped(exchange); ++attempt) {
        build_reset_frame(job.frame_buffer, job.frame_length, unit_of(job));
        send(exchange);
        record.reset_acknowledged = await_reply(exchange, VERIFY_REPLY_TIMEOUT_MS, true);
    }
    job_trace(job, record.reset_acknowledged ? "Resetting target\n" : "Reset not acknowledged\n");
    return VerifyResult::Holds;
}

std::vector<std::int32_t> differing_blocks(const std::vector<bool>& blocks_match,
                                           const std::vector<bool>& shifted_match)
{
    const auto n = static_cast<std::int32_t>(blocks_match.size());
    std::vector<bool> named(blocks_match.size(), false);
    for (std::int32_t i = 0; i < n; ++i)
        named[static_cast<std::size_t>(i)] = !blocks_match[static_cast<std::size_t>(i)];
    const std::vector<bool> by_blocks = named;
    for (std::int32_t k = 0; k < static_cast<std::int32_t>(shifted_match.size()); ++k) {
        if (shifted_match[static_cast<std::size_t>(k)])
            continue;
        // Shifted range k covers the end of block k - 1 and the start of block k.
        const std::int32_t first = std::max<std::int32_t>(k - 1, 0);
        const std::int32_t last = std::min<std::int32_t>(k, n - 1);
        bool explained = false;
        for (std::int32_t i = first; i <= last; ++i)
            explained = explained || by_blocks[static_cast<std::size_t>(i)];
        if (!explained)
            for (std::int32_t i = first; i <= last; ++i)
                named[static_cast<std::size_t>(i)] = true;
    }
    std::vector<std::int32_t> blocks;
    for (std::int32_t i = 0; i < n; ++i)
        if (named[static_cast<std::size_t>(i)])
            blocks.push_back(i);
    return blocks;
}

VerifyResult verify_port(UpdateJob& job, const char* path, VerifyRecord& record, const Host& host)
{
    record = VerifyRecord{};
    job_trace(job, " . Opening serial port %s at %ld baud\n", path, static_cast<long>(LINK_BAUD));
    const PortHandle port = host.open_port(path, record.open_failure);
    if (port == INVALID_PORT_HANDLE) {
        record.error = record.open_failure.text;
        return VerifyResult::Error;
    }
    host.hold_port(port);
    PortFailure failure;
    configure_port(port, LINK_BAUD, VERIFY_READ_INTERVAL_MS, failure);
    job.port_handle = port;
    job.port_path = path;
    job_status(job, "Contacting Device...");
    const VerifyResult result = verify_open_port(job, record, host);
    job_trace_flush(job);
    host.hold_port(INVALID_PORT_HANDLE);
    close_port(job.port_handle);
    return result;
}
