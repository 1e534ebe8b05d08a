// Whether the device already holds this image, without writing a byte of it:
// after contact, the device's CRC of each block, and of each block shifted by
// half a block, against the image's. Two partitions, so that a difference
// inside one block must pass two CRC-16 tests to go unseen. When all match,
// the device is reset into its firmware; otherwise it is left in its loader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/job.h"
#include "platform/serial_port.h"
#include "tools/qdm7-flash/run/host.h"

enum class VerifyResult : std::uint8_t {
    Holds,       // every range matched, and the reset was sent
    Differs,     // some block differs (VerifyRecord::differing)
    Deadline,    // the deadline passed
    Interrupted, // Ctrl-C
    Error,       // the port could not be opened, or the device stopped answering
    Echoing,     // the port sent a request back as it went: not a QDM7 (ECHO_TEXT)
};

// What qdm7-flash says of a port that sends back what it is sent.
inline constexpr const char* ECHO_TEXT = "the port sends back what it is sent: a loopback, or a device that is not a QDM7";

struct VerifyRecord {
    PortFailure open_failure;             // Error at open: why
    std::string error;                    // Error and Echoing: in a few words
    std::vector<std::int32_t> differing;  // the blocks that differ, from 0, in order
    std::int32_t queries = 0;             // CRC queries answered
    bool reset_acknowledged = false;
};

// The read interval of a query's reply: its bytes come in one piece at the
// link's speed, so a short quiet ends it (more than a USB frame's 1 ms).
inline constexpr std::uint32_t VERIFY_READ_INTERVAL_MS = 2;
// A query unanswered this long is sent again, this many times at most.
inline constexpr std::uint32_t VERIFY_REPLY_TIMEOUT_MS = 1000;
inline constexpr int VERIFY_TRIES = 3;

// Verifies the device on the port at path against job's image (the job
// prepared and its image loaded; the job's reporter gets the status texts
// and the trace). Ends early only when the host's stop asks.
VerifyResult verify_port(UpdateJob& job, const char* path, VerifyRecord& record, const Host& host);
// The same on the job's port, already open and configured, after the
// caller has said "Contacting Device..." (start_job says it); the port is
// left open, and the job in whatever state the verification left it.
VerifyResult verify_open_port(UpdateJob& job, VerifyRecord& record, const Host& host);

// The blocks named by the two partitions' results: those whose own range
// differs; and for a shifted range that differs with neither block it covers
// already named (a difference the block CRCs missed), both of them.
// blocks_match has a result per block (n), shifted_match per shifted range
// (n + 1: the first half block, the n - 1 that straddle two blocks, the last
// half block).
std::vector<std::int32_t> differing_blocks(const std::vector<bool>& blocks_match,
                                           const std::vector<bool>& shifted_match);
