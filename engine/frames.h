// Link frames of the QDM7 loader protocol and their CRC.
//
// Every request starts with the unit byte, the loader function code and a
// sub-command. Multi-byte fields are big-endian; the trailing CRC alone is
// stored low byte first.
//
//   Query   (13 bytes):     04 F3 02 | address:4 | length:4 | crc_lo crc_hi
//   Program (11 + n bytes): 04 F3 01 | address:4 | n:2 | data:n | crc_lo crc_hi
//   Reset   (5 bytes):      04 F3 03 | crc_lo crc_hi
//
// The query is both the contact frame (base address, length 4) and the CRC
// query over the whole padded image. A reply is whatever one read returns;
// the only reply fields read are bytes 11 (high) and 12 (low) of the reply
// to a CRC query, which carry the device's CRC of the queried range.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t FLASH_BASE = 0x08008000;
inline constexpr std::int32_t BLOCK_SIZE = 16384;
inline constexpr std::int32_t FRAME_BUFFER_SIZE = 16400;
inline constexpr std::uint32_t LINK_BAUD = 921600;
inline constexpr std::int32_t UNIT_ADDRESS = 4;
inline constexpr std::uint8_t LOADER_FUNCTION = 0xF3;
inline constexpr std::uint8_t SUB_PROGRAM = 1;
inline constexpr std::uint8_t SUB_QUERY_CRC = 2;
inline constexpr std::uint8_t SUB_RESET = 3;

inline constexpr std::int32_t QUERY_FRAME_LENGTH = 13;
inline constexpr std::int32_t PROGRAM_FRAME_OVERHEAD = 11;
inline constexpr std::int32_t RESET_FRAME_LENGTH = 5;
// Shortest frame that can carry anything besides its own CRC.
inline constexpr std::int32_t MIN_REPLY_LENGTH = 4;
// Offsets of the device's CRC in the reply to a CRC query (high, low).
inline constexpr std::int32_t REPLY_CRC_HIGH = 11;
inline constexpr std::int32_t REPLY_CRC_LOW = 12;
// A CRC reply must hold bytes 11 and 12 ahead of its own two CRC bytes.
inline constexpr std::int32_t MIN_CRC_REPLY_LENGTH = REPLY_CRC_LOW + 1 + 2;

static_assert(BLOCK_SIZE + PROGRAM_FRAME_OVERHEAD <= FRAME_BUFFER_SIZE,
              "the largest program frame must fit the frame buffer");

// Builders fill the buffer (at least FRAME_BUFFER_SIZE bytes), set the frame
// length, then append the CRC relative to that length.
void build_query_frame(std::uint8_t* buffer, std::int32_t& frame_length, std::uint8_t unit,
                       std::uint32_t address, std::uint32_t length);
// n must lie in 0..BLOCK_SIZE.
void build_program_frame(std::uint8_t* buffer, std::int32_t& frame_length, std::uint8_t unit,
                         std::uint32_t address, const std::uint8_t* source, std::int32_t n);
void build_reset_frame(std::uint8_t* buffer, std::int32_t& frame_length, std::uint8_t unit);

// CRC-16/MODBUS of the first (frame_length - 2) bytes; 0xFFFF when that is <= 0.
std::uint16_t frame_crc(const std::uint8_t* buffer, std::int32_t frame_length);
// At least MIN_REPLY_LENGTH bytes and a matching trailing CRC; nothing else is examined.
bool reply_is_valid(const std::uint8_t* buffer, std::int32_t frame_length);
// CRC-16/MODBUS over size bytes; 0xFFFF when size <= 0.
std::uint16_t image_crc(const std::uint8_t* data, std::int32_t size);
// Continues a CRC over more bytes (for callers that see data in pieces).
std::uint16_t crc16_update(std::uint16_t crc, const std::uint8_t* data, std::size_t size);
inline constexpr std::uint16_t CRC_INITIAL = 0xFFFF;
