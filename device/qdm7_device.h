// The virtual QDM7: a model of the device's loader, shared by the tests, the
// fuzzers and the qdm7-sim program. It takes the bytes the updater writes,
// splits them into requests, programs its flash, and queues one reply per
// valid request. It knows nothing of time: whoever carries the bytes (a
// virtual link or a pseudo-terminal) honours each reply's delay and split.
//
// Requests are recognised by their header (unit 4, function 0xF3) and
// sub-command, which fixes their length: query 13, program 11 + n, reset 5.
//
// Replies, every one ending in its CRC-16/MODBUS, low byte first:
//   query:   04 F3 02 | address:4 | length:4 | crc_hi crc_lo | crc_lo crc_hi  (15 bytes)
//            the device's CRC of the queried range sits at bytes 11 and 12
//   program: 04 F3 01 | address:4 | n:2 | crc_lo crc_hi                      (11 bytes)
//   reset:   04 F3 03 | crc_lo crc_hi                                        (5 bytes)
//   refusal: 04 F3 | 0x80 + sub-command | reason | crc_lo crc_hi             (6 bytes)
//
// Defined behaviour for bad input, none of which can write outside flash:
//   - a byte that cannot start a request (wrong unit or function code, an
//     unknown sub-command, a program length above 16384) is skipped;
//   - a request with a bad CRC is not answered: its first byte is skipped and
//     the stream rescanned, so a good request behind garbage is still found;
//   - a request for a range outside the application flash, or a program
//     request with no data, is refused and changes nothing;
//   - nothing is taken in or answered while the power is off (with
//     queries_until_on, the queries are only counted).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

inline constexpr std::uint32_t DEVICE_FLASH_SIZE = 2u * 1024u * 1024u;
inline constexpr std::uint8_t DEVICE_ERASED = 0xFF;

enum class RefusalReason : std::uint8_t {
    OutOfRange = 0x02,
    BadLength = 0x03,
};

enum class FaultKind : std::uint8_t {
    None,
    Drop,          // the reply is not sent
    CorruptCrc,    // the reply's last CRC byte is inverted
    Delay,         // the reply starts delay_ms late
    Split,         // the reply goes out in two pieces with a gap between
    Duplicate,     // the reply is sent twice
    FlipFlashBit,  // a programmed block gets one bit flipped in flash
};

// A rule fires on every Nth reply it matches (every > 0), or at random with
// the given percentage, for at most max_count times (0: no limit).
struct FaultRule {
    FaultKind kind = FaultKind::None;
    std::uint32_t every = 0;
    std::uint32_t percent = 0;
    std::uint8_t sub_command = 0; // 0: replies to any request
    std::uint32_t delay_ms = 0;   // Delay: extra time; Split: the gap
    std::uint32_t max_count = 0;
    std::uint32_t matched = 0;    // replies this rule has seen
    std::uint32_t fired = 0;
};

struct DeviceReply {
    std::vector<std::uint8_t> bytes;
    std::uint32_t delay_ms = 0;    // time from the request's end to the first byte
    std::size_t split_at = 0;      // > 0: a pause after this many bytes
    std::uint32_t split_gap_ms = 0;
};

// One request as the device found it on the line, for whoever logs them.
struct DeviceRequest {
    std::uint8_t sub_command = 0;
    std::uint32_t address = 0; // query and program
    std::uint32_t length = 0;  // query: the bytes asked about; program: the data bytes
    bool crc_ok = false;       // false: dropped unanswered
};
using RequestObserver = void (*)(void* context, const DeviceRequest& request);

struct DeviceStats {
    std::uint32_t queries = 0;
    std::uint32_t blocks_programmed = 0;
    std::uint32_t resets = 0;
    std::uint32_t refusals = 0;
    std::uint32_t bad_crc = 0;
    std::uint32_t skipped_bytes = 0;
    std::uint32_t dropped_partial = 0;
    std::uint32_t unanswered_queries = 0; // taken while still off (queries_until_on)
    std::uint32_t programmed_end = 0; // flash offset just past the highest byte programmed
};

struct Qdm7Device {
    std::vector<std::uint8_t> flash;      // application flash from FLASH_BASE
    bool powered = true;
    std::uint32_t program_time_ms = 0;    // added to every program reply's delay
    std::vector<std::uint8_t> input;      // bytes not yet taken as a request
    std::size_t input_head = 0;
    std::deque<DeviceReply> outbox;
    std::vector<FaultRule> faults;
    std::uint32_t random_state = 1;
    DeviceStats stats;
    // > 0: the first block written into a flash sector of this size after
    // power-up erases the whole sector first, as some flash controllers do.
    std::uint32_t erase_sector_size = 0;
    std::vector<bool> sector_written;     // since power-up, by sector
    // > 0: the device stays off until this many queries have reached it
    // (counted, not timed, so a loaded machine does not change the run);
    // nothing is answered or programmed before, the next query is answered.
    std::uint32_t queries_until_on = 0;
    // > 0: the power goes once half of this program request (counted from
    // 1, resends too) has arrived, before it is programmed; power_lost says so.
    std::uint32_t power_off_in_block = 0;
    std::uint32_t program_requests = 0;   // valid ones taken
    bool power_lost = false;
    RequestObserver observer = nullptr;   // told of every request found
    void* observer_context = nullptr;
};

// Erased flash, powered on, no faults.
void device_init(Qdm7Device& device, std::uint32_t flash_size = DEVICE_FLASH_SIZE);
// Power off forgets everything in flight; flash keeps its contents.
void device_set_power(Qdm7Device& device, bool on);
// Takes bytes from the line; complete requests are answered into the outbox.
void device_receive(Qdm7Device& device, const std::uint8_t* data, std::size_t size);
// The line went quiet: a partial request will never be completed, drop it.
void device_line_idle(Qdm7Device& device);
// Pops the next reply to send; false when there is none.
bool device_take_reply(Qdm7Device& device, DeviceReply& reply);
void device_add_fault(Qdm7Device& device, const FaultRule& rule);
void device_seed(Qdm7Device& device, std::uint32_t seed);
// Flips one bit of flash at the given offset from FLASH_BASE (ignored outside).
void device_flip_flash_bit(Qdm7Device& device, std::uint32_t offset, unsigned bit);
