#include "device/qdm7_device.h"

#include <algorithm>
#include <cstring>

#include "engine/frames.h"

namespace {

constexpr std::size_t PROGRAM_HEADER_LENGTH = 9; // up to and including the length field

std::uint32_t be32(const std::uint8_t* at)
{
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) |
           std::uint32_t{at[3]};
}

std::uint32_t next_random(Qdm7Device& device)
{
    // xorshift32: small, seedable, the same on every platform.
    std::uint32_t x = device.random_state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    device.random_state = x;
    return x;
}

void seal(std::vector<std::uint8_t>& bytes)
{
    const std::uint16_t crc = image_crc(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    bytes.push_back(static_cast<std::uint8_t>(crc & 0xFFu));
    bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
}

bool rule_fires(Qdm7Device& device, FaultRule& rule, std::uint8_t sub_command)
{
    if (rule.kind == FaultKind::None)
        return false;
    if (rule.sub_command != 0 && rule.sub_command != sub_command)
        return false;
    if (rule.max_count != 0 && rule.fired >= rule.max_count)
        return false;
    ++rule.matched;
    const bool fires = (rule.every != 0 && rule.matched % rule.every == 0) ||
                       (rule.percent != 0 && next_random(device) % 100u < rule.percent);
    if (fires)
        ++rule.fired;
    return fires;
}

// Queues a reply with whatever faults fire on it.
void send_reply(Qdm7Device& device, std::uint8_t sub_command, std::vector<std::uint8_t> body,
                std::uint32_t delay_ms)
{
    seal(body);
    DeviceReply reply;
    reply.bytes = std::move(body);
    reply.delay_ms = delay_ms;
    bool drop = false;
    bool duplicate = false;
    for (FaultRule& rule : device.faults) {
        if (rule.kind == FaultKind::FlipFlashBit || !rule_fires(device, rule, sub_command))
            continue;
        switch (rule.kind) {
        case FaultKind::Drop: drop = true; break;
        case FaultKind::CorruptCrc: reply.bytes.back() ^= 0xFFu; break;
        case FaultKind::Delay: reply.delay_ms += rule.delay_ms; break;
        case FaultKind::Split:
            reply.split_at = reply.bytes.size() / 2;
            reply.split_gap_ms = rule.delay_ms;
            break;
        case FaultKind::Duplicate: duplicate = true; break;
        default: break;
        }
    }
    if (drop)
        return;
    if (duplicate)
        device.outbox.push_back(reply);
    device.outbox.push_back(std::move(reply));
}

void refuse(Qdm7Device& device, std::uint8_t sub_command, RefusalReason reason)
{
    ++device.stats.refusals;
    send_reply(device, sub_command,
               {static_cast<std::uint8_t>(UNIT_ADDRESS), LOADER_FUNCTION,
                static_cast<std::uint8_t>(0x80u | sub_command), static_cast<std::uint8_t>(reason)},
               0);
}

// The flash offset of [address, address + length), or -1 when any of it lies outside.
std::int64_t flash_offset(const Qdm7Device& device, std::uint32_t address, std::uint64_t length)
{
    if (address < FLASH_BASE)
        return -1;
    const std::uint64_t offset = address - FLASH_BASE;
    if (offset + length > device.flash.size())
        return -1;
    return static_cast<std::int64_t>(offset);
}

void answer_query(Qdm7Device& device, const std::uint8_t* request)
{
    const std::uint32_t address = be32(request + 3);
    const std::uint32_t length = be32(request + 7);
    const std::int64_t offset = flash_offset(device, address, length);
    if (offset < 0) {
        refuse(device, SUB_QUERY_CRC, RefusalReason::OutOfRange);
        return;
    }
    ++device.stats.queries;
    const std::uint16_t crc = crc16_update(CRC_INITIAL, device.flash.data() + offset, length);
    std::vector<std::uint8_t> body(request, request + 11);
    body.push_back(static_cast<std::uint8_t>(crc >> 8));
    body.push_back(static_cast<std::uint8_t>(crc & 0xFFu));
    send_reply(device, SUB_QUERY_CRC, std::move(body), 0);
}

void answer_program(Qdm7Device& device, const std::uint8_t* request, std::uint32_t n)
{
    const std::uint32_t address = be32(request + 3);
    if (n == 0) {
        refuse(device, SUB_PROGRAM, RefusalReason::BadLength);
        return;
    }
    const std::int64_t offset = flash_offset(device, address, n);
    if (offset < 0) {
        refuse(device, SUB_PROGRAM, RefusalReason::OutOfRange);
        return;
    }
    if (device.erase_sector_size != 0) {
        const std::size_t first = static_cast<std::size_t>(offset) / device.erase_sector_size;
        const std::size_t last = (static_cast<std::size_t>(offset) + n - 1) / device.erase_sector_size;
        device.sector_written.resize(device.flash.size() / device.erase_sector_size + 1, false);
        for (std::size_t sector = first; sector <= last; ++sector) {
            if (device.sector_written[sector])
                continue;
            const std::size_t from = sector * device.erase_sector_size;
            std::fill_n(device.flash.begin() + static_cast<std::ptrdiff_t>(from),
                        std::min<std::size_t>(device.erase_sector_size, device.flash.size() - from), DEVICE_ERASED);
            device.sector_written[sector] = true;
        }
    }
    std::memcpy(device.flash.data() + offset, request + PROGRAM_HEADER_LENGTH, n);
    ++device.stats.blocks_programmed;
    device.stats.programmed_end =
        std::max(device.stats.programmed_end, static_cast<std::uint32_t>(offset) + n);
    for (FaultRule& rule : device.faults) {
        if (rule.kind == FaultKind::FlipFlashBit && rule_fires(device, rule, SUB_PROGRAM)) {
            const std::uint32_t at = next_random(device) % n;
            device.flash[static_cast<std::size_t>(offset) + at] ^=
                static_cast<std::uint8_t>(1u << (next_random(device) % 8u));
        }
    }
    send_reply(device, SUB_PROGRAM, std::vector<std::uint8_t>(request, request + PROGRAM_HEADER_LENGTH),
               device.program_time_ms);
}

void answer_reset(Qdm7Device& device)
{
    // The loader acknowledges and restarts; it answers again afterwards, as
    // it would after the user power-cycles it into the loader once more.
    ++device.stats.resets;
    send_reply(device, SUB_RESET, {static_cast<std::uint8_t>(UNIT_ADDRESS), LOADER_FUNCTION, SUB_RESET}, 0);
}

// Length of the request starting at frame, 0 when more bytes are needed to
// tell, -1 when no request can start here.
std::int64_t request_length(const std::uint8_t* frame, std::size_t available)
{
    if (frame[0] != UNIT_ADDRESS)
        return -1;
    if (available < 2)
        return 0;
    if (frame[1] != LOADER_FUNCTION)
        return -1;
    if (available < 3)
        return 0;
    switch (frame[2]) {
    case SUB_QUERY_CRC: return QUERY_FRAME_LENGTH;
    case SUB_RESET: return RESET_FRAME_LENGTH;
    case SUB_PROGRAM: {
        if (available < PROGRAM_HEADER_LENGTH)
            return 0;
        const std::uint32_t n = (std::uint32_t{frame[7]} << 8) | frame[8];
        if (n > static_cast<std::uint32_t>(BLOCK_SIZE))
            return -1;
        return static_cast<std::int64_t>(n) + PROGRAM_FRAME_OVERHEAD;
    }
    default: return -1;
    }
}

DeviceRequest describe_request(const std::uint8_t* frame, std::int32_t size)
{
    DeviceRequest request;
    request.sub_command = frame[2];
    request.crc_ok = reply_is_valid(frame, size);
    if (request.sub_command == SUB_QUERY_CRC) {
        request.address = be32(frame + 3);
        request.length = be32(frame + 7);
    } else if (request.sub_command == SUB_PROGRAM) {
        request.address = be32(frame + 3);
        request.length = static_cast<std::uint32_t>(size - PROGRAM_FRAME_OVERHEAD);
    }
    return request;
}

void parse_input(Qdm7Device& device)
{
    for (;;) {
        const std::size_t available = device.input.size() - device.input_head;
        if (available == 0)
            break;
        const std::uint8_t* frame = device.input.data() + device.input_head;
        const std::int64_t length = request_length(frame, available);
        if (length > 0 && frame[2] == SUB_PROGRAM && device.power_off_in_block != 0 &&
            device.program_requests + 1 == device.power_off_in_block &&
            available * 2 >= static_cast<std::size_t>(length)) {
            device_set_power(device, false);
            device.power_lost = true;
            return;
        }
        if (length == 0 || (length > 0 && static_cast<std::size_t>(length) > available))
            break;
        if (length < 0) {
            ++device.stats.skipped_bytes;
            ++device.input_head;
            continue;
        }
        const auto size = static_cast<std::int32_t>(length);
        if (device.observer != nullptr)
            device.observer(device.observer_context, describe_request(frame, size));
        if (!reply_is_valid(frame, size)) {
            ++device.stats.bad_crc;
            ++device.input_head;
            continue;
        }
        if (device.queries_until_on > 0) {
            // Still off: a query only brings the power-on nearer.
            if (frame[2] == SUB_QUERY_CRC) {
                --device.queries_until_on;
                ++device.stats.unanswered_queries;
            }
            device.input_head += static_cast<std::size_t>(size);
            continue;
        }
        switch (frame[2]) {
        case SUB_QUERY_CRC: answer_query(device, frame); break;
        case SUB_PROGRAM:
            ++device.program_requests;
            answer_program(device, frame, static_cast<std::uint32_t>(size - PROGRAM_FRAME_OVERHEAD));
            break;
        default: answer_reset(device); break;
        }
        device.input_head += static_cast<std::size_t>(size);
    }
    // Keep the buffer from growing: drop what has been consumed.
    if (device.input_head > 0 && device.input_head * 2 >= device.input.size()) {
        device.input.erase(device.input.begin(),
                           device.input.begin() + static_cast<std::ptrdiff_t>(device.input_head));
        device.input_head = 0;
    }
}

} // namespace

void device_init(Qdm7Device& device, std::uint32_t flash_size)
{
    device = Qdm7Device{};
    device.flash.assign(flash_size, DEVICE_ERASED);
}

void device_set_power(Qdm7Device& device, bool on)
{
    device.powered = on;
    device.sector_written.clear();
    device.input.clear();
    device.input_head = 0;
    device.outbox.clear();
}

void device_receive(Qdm7Device& device, const std::uint8_t* data, std::size_t size)
{
    if (!device.powered || size == 0)
        return;
    device.input.insert(device.input.end(), data, data + size);
    parse_input(device);
}

void device_line_idle(Qdm7Device& device)
{
    if (device.input.size() > device.input_head)
        ++device.stats.dropped_partial;
    device.input.clear();
    device.input_head = 0;
}

bool device_take_reply(Qdm7Device& device, DeviceReply& reply)
{
    if (!device.powered || device.outbox.empty())
        return false;
    reply = std::move(device.outbox.front());
    device.outbox.pop_front();
    return true;
}

void device_add_fault(Qdm7Device& device, const FaultRule& rule) { device.faults.push_back(rule); }

void device_seed(Qdm7Device& device, std::uint32_t seed) { device.random_state = seed != 0 ? seed : 1; }

void device_flip_flash_bit(Qdm7Device& device, std::uint32_t offset, unsigned bit)
{
    if (offset < device.flash.size())
        device.flash[offset] ^= static_cast<std::uint8_t>(1u << (bit % 8u));
}
