#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "engine/frames.h"

namespace {

std::vector<std::uint8_t> frame_bytes(const std::uint8_t* buffer, std::int32_t length)
{
    return {buffer, buffer + length};
}

TEST(Crc, CheckValueAndEmptyRanges)
{
    const char* text = "123456789";
    EXPECT_EQ(image_crc(reinterpret_cast<const std::uint8_t*>(text), 9), 0x4B37);
    std::uint8_t byte = 0;
    EXPECT_EQ(image_crc(&byte, 0), 0xFFFF);
    EXPECT_EQ(image_crc(&byte, -5), 0xFFFF);
    // frame_crc covers length - 2 bytes, and nothing at all for 2 or less.
    std::array<std::uint8_t, 4> two{0x12, 0x34, 0, 0};
    EXPECT_EQ(frame_crc(two.data(), 2), 0xFFFF);
    EXPECT_EQ(frame_crc(two.data(), 1), 0xFFFF);
    EXPECT_EQ(frame_crc(two.data(), -1), 0xFFFF);
    EXPECT_EQ(frame_crc(two.data(), 4), image_crc(two.data(), 2));
}

TEST(Frames, WorkedFramesByteForByte)
{
    std::vector<std::uint8_t> buffer(FRAME_BUFFER_SIZE, 0xAA);
    std::int32_t length = 0;

    build_query_frame(buffer.data(), length, UNIT_ADDRESS, FLASH_BASE, 4);
    EXPECT_EQ(frame_bytes(buffer.data(), length),
              (std::vector<std::uint8_t>{0x04, 0xF3, 0x02, 0x08, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x04,
                                         0xE0, 0xDD}));

    build_query_frame(buffer.data(), length, UNIT_ADDRESS, FLASH_BASE, 97u * 16384u);
    EXPECT_EQ(frame_bytes(buffer.data(), length),
              (std::vector<std::uint8_t>{0x04, 0xF3, 0x02, 0x08, 0x00, 0x80, 0x00, 0x00, 0x18, 0x40, 0x00,
                                         0x50, 0xD9}));

    build_reset_frame(buffer.data(), length, UNIT_ADDRESS);
    EXPECT_EQ(frame_bytes(buffer.data(), length), (std::vector<std::uint8_t>{0x04, 0xF3, 0x03, 0x34, 0xF0}));
}

TEST(Frames, ProgramFrameOfAFullBlockFillsItsPlace)
{
    std::vector<std::uint8_t> data(BLOCK_SIZE);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    std::vector<std::uint8_t> buffer(FRAME_BUFFER_SIZE, 0xAA);
    std::int32_t length = 0;
    build_program_frame(buffer.data(), length, UNIT_ADDRESS, 0x0801C000, data.data(), BLOCK_SIZE);

    ASSERT_EQ(length, BLOCK_SIZE + 11);
    EXPECT_EQ(frame_bytes(buffer.data(), 9),
              (std::vector<std::uint8_t>{0x04, 0xF3, 0x01, 0x08, 0x01, 0xC0, 0x00, 0x40, 0x00}));
    EXPECT_EQ(std::memcmp(buffer.data() + 9, data.data(), data.size()), 0);
    const std::uint16_t crc = image_crc(buffer.data(), BLOCK_SIZE + 9);
    EXPECT_EQ(buffer[BLOCK_SIZE + 9], crc & 0xFF);
    EXPECT_EQ(buffer[BLOCK_SIZE + 10], crc >> 8);
    EXPECT_TRUE(reply_is_valid(buffer.data(), length));
    // Nothing past the frame is touched.
    EXPECT_EQ(buffer[BLOCK_SIZE + 11], 0xAA);
}

TEST(Frames, LengthFieldsAreSixteenAndThirtyTwoBitsWide)
{
    std::vector<std::uint8_t> buffer(FRAME_BUFFER_SIZE);
    std::int32_t length = 0;
    const std::uint8_t data[0x123] = {};
    build_program_frame(buffer.data(), length, UNIT_ADDRESS, 0x12345678, data, 0x123);
    EXPECT_EQ(buffer[3], 0x12);
    EXPECT_EQ(buffer[6], 0x78);
    EXPECT_EQ(buffer[7], 0x01);
    EXPECT_EQ(buffer[8], 0x23);
    EXPECT_EQ(length, 0x123 + 11);

    build_query_frame(buffer.data(), length, 0x14, 0x01020304, 0xA1B2C3D4);
    EXPECT_EQ(frame_bytes(buffer.data(), 11),
              (std::vector<std::uint8_t>{0x14, 0xF3, 0x02, 0x01, 0x02, 0x03, 0x04, 0xA1, 0xB2, 0xC3, 0xD4}));
}

TEST(Replies, ValidityLooksOnlyAtLengthAndCrc)
{
    std::array<std::uint8_t, 8> reply{};
    // Whatever their content, 0 to 3 bytes are never a valid reply.
    for (std::int32_t n = 0; n < 4; ++n) {
        reply = {0xFF, 0xFF, 0xFF, 0xFF};
        EXPECT_FALSE(reply_is_valid(reply.data(), n)) << n;
    }
    // A 3-byte read whose last two bytes happen to be the CRC of the first.
    const std::uint16_t crc1 = image_crc(reply.data(), 1);
    reply = {0x42, static_cast<std::uint8_t>(crc1 & 0xFF), static_cast<std::uint8_t>(crc1 >> 8)};
    EXPECT_FALSE(reply_is_valid(reply.data(), 3));

    // Four bytes: CRC of bytes 0-1, low byte first.
    reply = {0x99, 0x77, 0, 0};
    const std::uint16_t crc = image_crc(reply.data(), 2);
    reply[2] = static_cast<std::uint8_t>(crc & 0xFF);
    reply[3] = static_cast<std::uint8_t>(crc >> 8);
    EXPECT_TRUE(reply_is_valid(reply.data(), 4));
    std::swap(reply[2], reply[3]);
    EXPECT_FALSE(reply_is_valid(reply.data(), 4));

    // Any unit, function code or sub-command is accepted when the CRC is right.
    std::vector<std::uint8_t> buffer(FRAME_BUFFER_SIZE);
    std::int32_t length = 0;
    build_query_frame(buffer.data(), length, 0x77, 0, 0);
    buffer[1] = 0x10;
    buffer[2] = 0x99;
    const std::uint16_t fixed = frame_crc(buffer.data(), length);
    buffer[11] = static_cast<std::uint8_t>(fixed & 0xFF);
    buffer[12] = static_cast<std::uint8_t>(fixed >> 8);
    EXPECT_TRUE(reply_is_valid(buffer.data(), length));
    buffer[5] ^= 0x01;
    EXPECT_FALSE(reply_is_valid(buffer.data(), length));
}

} // namespace
