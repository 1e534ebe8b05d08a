#include "engine/frames.h"

#include <array>
#include <cstring>

namespace {

// Reflected polynomial 0x8005, as MODBUS processes it bit 0 first.
constexpr std::uint16_t CRC_POLY_REFLECTED = 0xA001;

constexpr std::array<std::uint16_t, 256> make_crc_table()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        std::uint16_t crc = static_cast<std::uint16_t>(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? static_cast<std::uint16_t>((crc >> 1) ^ CRC_POLY_REFLECTED)
                             : static_cast<std::uint16_t>(crc >> 1);
        table[byte] = crc;
    }
    return table;
}

constexpr auto CRC_TABLE = make_crc_table();

constexpr std::uint16_t crc_of(const char* text, std::size_t size)
{
    std::uint16_t crc = CRC_INITIAL;
    for (std::size_t i = 0; i < size; ++i)
        crc = static_cast<std::uint16_t>((crc >> 8) ^
                                         CRC_TABLE[(crc ^ static_cast<std::uint8_t>(text[i])) & 0xFFu]);
    return crc;
}
static_assert(crc_of("123456789", 9) == 0x4B37, "CRC-16/MODBUS check value");

void put_be32(std::uint8_t* at, std::uint32_t value)
{
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

void put_header(std::uint8_t* buffer, std::uint8_t unit, std::uint8_t sub_command)
{
    buffer[0] = unit;
    buffer[1] = LOADER_FUNCTION;
    buffer[2] = sub_command;
}

// The CRC goes after the payload, placed relative to the frame length.
void append_crc(std::uint8_t* buffer, std::int32_t frame_length)
{
    const std::uint16_t crc = frame_crc(buffer, frame_length);
    buffer[frame_length - 2] = static_cast<std::uint8_t>(crc & 0xFFu);
    buffer[frame_length - 1] = static_cast<std::uint8_t>(crc >> 8);
}

} // namespace

std::uint16_t crc16_update(std::uint16_t crc, const std::uint8_t* data, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i)
        crc = static_cast<std::uint16_t>((crc >> 8) ^ CRC_TABLE[(crc ^ data[i]) & 0xFFu]);
    return crc;
}

std::uint16_t image_crc(const std::uint8_t* data, std::int32_t size)
{
    if (size <= 0)
        return CRC_INITIAL;
    return crc16_update(CRC_INITIAL, data, static_cast<std::size_t>(size));
}

std::uint16_t frame_crc(const std::uint8_t* buffer, std::int32_t frame_length)
{
    return image_crc(buffer, frame_length - 2);
}

bool reply_is_valid(const std::uint8_t* buffer, std::int32_t frame_length)
{
    if (frame_length < MIN_REPLY_LENGTH)
        return false;
    const unsigned carried = buffer[frame_length - 2] + 256u * buffer[frame_length - 1];
    return frame_crc(buffer, frame_length) == carried;
}

void build_query_frame(std::uint8_t* buffer, std::int32_t& frame_length, std::uint8_t unit,
                       std::uint32_t address, std::uint32_t length)
{
    put_header(buffer, unit, SUB_QUERY_CRC);
    put_be32(buffer + 3, address);
    put_be32(buffer + 7, length);
    frame_length = QUERY_FRAME_LENGTH;
    append_crc(buffer, frame_length);
}

void build_program_frame(std::uint8_t* buffer, std::int32_t& frame_length, std::uint8_t unit,
                         std::uint32_t address, const std::uint8_t* source, std::int32_t n)
{
    put_header(buffer, unit, SUB_PROGRAM);
    put_be32(buffer + 3, address);
    buffer[7] = static_cast<std::uint8_t>(n >> 8);
    buffer[8] = static_cast<std::uint8_t>(n);
    if (n > 0)
        std::memcpy(buffer + 9, source, static_cast<std::size_t>(n));
    frame_length = n + PROGRAM_FRAME_OVERHEAD;
    append_crc(buffer, frame_length);
}

void build_reset_frame(std::uint8_t* buffer, std::int32_t& frame_length, std::uint8_t unit)
{
    put_header(buffer, unit, SUB_RESET);
    frame_length = RESET_FRAME_LENGTH;
    append_crc(buffer, frame_length);
}
