// Fuzz target: the virtual QDM7's request parsing. The fuzz input is the
// line from the host: chunks of any bytes (or bytes with a valid CRC
// appended, so whole requests are within reach), line-idle gaps, power
// toggles and the taking of replies. After every event the target checks:
//   - flash changes only inside the range of a program request the device
//     acknowledged in that event, and that range lies inside flash;
//   - each accepted request (answered, programmed or refused) gets exactly
//     one reply, every reply is a CRC-valid frame, and a device without
//     power takes nothing in and answers nothing;
//   - what waits unparsed is always less than one largest request.
#include <algorithm>
#include <cstring>
#include <vector>

#include "device/qdm7_device.h"
#include "engine/frames.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr std::uint32_t FLASH_SIZE = 4 * BLOCK_SIZE;
constexpr std::size_t OUTBOX_LIMIT = 64;
constexpr std::size_t PROGRAM_ACK_LENGTH = 11;

enum Control : unsigned { LINE_IDLE = 0, POWER_TOGGLE = 1, TAKE_ALL = 2, TAKE_ONE = 3 };

std::uint32_t accepted(const DeviceStats& s) { return s.queries + s.blocks_programmed + s.resets + s.refusals; }

void take_replies(Qdm7Device& device, std::size_t keep)
{
    DeviceReply reply;
    while (device.outbox.size() > keep && device_take_reply(device, reply))
        FUZZ_CHECK(reference_frame_ok(reply.bytes.data(), reply.bytes.size()));
}

void feed(Qdm7Device& device, const std::uint8_t* bytes, std::size_t n, std::vector<std::uint8_t>& before)
{
    before = device.flash;
    const std::size_t replies_before = device.outbox.size();
    const std::uint32_t accepted_before = accepted(device.stats);
    const bool powered = device.powered;

    device_receive(device, bytes, n);

    FUZZ_CHECK(device.flash.size() == FLASH_SIZE);
    FUZZ_CHECK(device.outbox.size() >= replies_before);
    const std::size_t new_replies = device.outbox.size() - replies_before;
    FUZZ_CHECK(new_replies == accepted(device.stats) - accepted_before);
    if (!powered) {
        FUZZ_CHECK(new_replies == 0);
        FUZZ_CHECK(device.flash == before);
    }
    FUZZ_CHECK(device.input.size() - device.input_head < static_cast<std::size_t>(BLOCK_SIZE + PROGRAM_FRAME_OVERHEAD));

    // Flash may change only inside what this event's program requests covered.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> written;
    for (std::size_t i = replies_before; i < device.outbox.size(); ++i) {
        const std::vector<std::uint8_t>& reply = device.outbox[i].bytes;
        FUZZ_CHECK(reference_frame_ok(reply.data(), reply.size()));
        FUZZ_CHECK(reply[0] == UNIT_ADDRESS && reply[1] == LOADER_FUNCTION);
        if (reply[2] != SUB_PROGRAM)
            continue;
        FUZZ_CHECK(reply.size() == PROGRAM_ACK_LENGTH);
        const std::uint32_t address = read_be32(reply.data() + 3);
        const std::uint32_t length = read_be16(reply.data() + 7);
        FUZZ_CHECK(address >= FLASH_BASE && length > 0 && length <= static_cast<std::uint32_t>(BLOCK_SIZE));
        FUZZ_CHECK(std::uint64_t{address - FLASH_BASE} + length <= FLASH_SIZE);
        written.emplace_back(address - FLASH_BASE, length);
    }
    if (device.flash == before)
        return;
    for (std::size_t i = 0; i < FLASH_SIZE; ++i) {
        if (device.flash[i] == before[i])
            continue;
        const bool covered = std::any_of(written.begin(), written.end(), [i](const auto& range) {
            return i >= range.first && i < std::size_t{range.first} + range.second;
        });
        FUZZ_CHECK(covered);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Qdm7Device device;
    static std::vector<std::uint8_t> chunk(BLOCK_SIZE + 2 * PROGRAM_FRAME_OVERHEAD);
    static std::vector<std::uint8_t> before;
    device_init(device, FLASH_SIZE);

    FuzzCursor in{data, size, 0};
    while (!in.done()) {
        const std::uint8_t op = in.byte();
        const auto kind = static_cast<RecordKind>(op & RECORD_KIND_MASK);
        const unsigned code = (op >> RECORD_CODE_SHIFT) & 0x03u;
        if (kind == RECORD_RAW || kind == RECORD_SEALED) {
            const std::size_t room = chunk.size() - 2;
            std::size_t n = in.take(chunk.data(), std::min(in.length((op & RECORD_LONG) != 0), room));
            if (kind == RECORD_SEALED) {
                const std::uint16_t crc = reference_crc(chunk.data(), n);
                chunk[n++] = static_cast<std::uint8_t>(crc & 0xFFu);
                chunk[n++] = static_cast<std::uint8_t>(crc >> 8);
            }
            feed(device, chunk.data(), n, before);
        } else {
            switch (static_cast<Control>(code)) {
            case LINE_IDLE: device_line_idle(device); break;
            case POWER_TOGGLE: device_set_power(device, !device.powered); break;
            case TAKE_ALL: take_replies(device, 0); break;
            case TAKE_ONE: take_replies(device, device.outbox.empty() ? 0 : device.outbox.size() - 1); break;
            }
        }
        take_replies(device, OUTBOX_LIMIT);
    }
    take_replies(device, 0);
    return 0;
}
