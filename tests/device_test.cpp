#include <gtest/gtest.h>

#include <vector>

#include "device/qdm7_device.h"
#include "engine/frames.h"

namespace {

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        device_init(device);
        buffer.assign(FRAME_BUFFER_SIZE, 0);
    }
    void send()
    {
        device_receive(device, buffer.data(), static_cast<std::size_t>(length));
    }
    std::vector<DeviceReply> replies()
    {
        std::vector<DeviceReply> all;
        DeviceReply reply;
        while (device_take_reply(device, reply))
            all.push_back(reply);
        return all;
    }
    Qdm7Device device;
    std::vector<std::uint8_t> buffer;
    std::int32_t length = 0;
};

TEST_F(DeviceTest, ProgramsBlocksAndReportsTheCrcOfTheQueriedRange)
{
    std::vector<std::uint8_t> data(BLOCK_SIZE);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
    build_program_frame(buffer.data(), length, UNIT_ADDRESS, FLASH_BASE + BLOCK_SIZE, data.data(), BLOCK_SIZE);
    send();
    auto out = replies();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(reply_is_valid(out[0].bytes.data(), static_cast<std::int32_t>(out[0].bytes.size())));
    EXPECT_EQ(device.flash[BLOCK_SIZE], data[0]);
    EXPECT_EQ(device.flash[0], DEVICE_ERASED);
    EXPECT_EQ(device.stats.programmed_end, 2u * BLOCK_SIZE);

    build_query_frame(buffer.data(), length, UNIT_ADDRESS, FLASH_BASE + BLOCK_SIZE, BLOCK_SIZE);
    send();
    out = replies();
    ASSERT_EQ(out.size(), 1u);
    const auto& reply = out[0].bytes;
    ASSERT_EQ(reply.size(), 15u);
    EXPECT_TRUE(reply_is_valid(reply.data(), 15));
    const std::uint16_t expected = image_crc(data.data(), BLOCK_SIZE);
    EXPECT_EQ(reply[11], expected >> 8);
    EXPECT_EQ(reply[12], expected & 0xFF);
}

TEST_F(DeviceTest, GarbageAndBadFramesAreSkippedAndAGoodFrameBehindThemAnswered)
{
    std::vector<std::uint8_t> stream{0x00, 0x04, 0x04, 0xF3, 0x09, 0xFF};
    build_reset_frame(buffer.data(), length, UNIT_ADDRESS);
    std::vector<std::uint8_t> bad(buffer.begin(), buffer.begin() + length);
    bad.back() ^= 1;
    stream.insert(stream.end(), bad.begin(), bad.end());
    stream.insert(stream.end(), buffer.begin(), buffer.begin() + length);
    // Feed it a byte at a time, as a slow line would.
    for (std::uint8_t b : stream)
        device_receive(device, &b, 1);
    const auto out = replies();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes, (std::vector<std::uint8_t>{0x04, 0xF3, 0x03, 0x34, 0xF0}));
    EXPECT_EQ(device.stats.resets, 1u);
    EXPECT_EQ(device.stats.bad_crc, 1u);
}

TEST_F(DeviceTest, OutOfRangeRequestsAreRefusedWithoutTouchingFlash)
{
    const std::vector<std::uint8_t> erased = device.flash;
    const std::uint8_t data[16] = {1, 2, 3};
    build_program_frame(buffer.data(), length, UNIT_ADDRESS, FLASH_BASE + DEVICE_FLASH_SIZE - 8, data, 16);
    send();
    build_program_frame(buffer.data(), length, UNIT_ADDRESS, FLASH_BASE - 16, data, 16);
    send();
    build_program_frame(buffer.data(), length, UNIT_ADDRESS, 0xFFFFFFF8u, data, 16);
    send();
    build_query_frame(buffer.data(), length, UNIT_ADDRESS, FLASH_BASE, 0xFFFFFFFFu);
    send();
    const auto out = replies();
    ASSERT_EQ(out.size(), 4u);
    for (const auto& reply : out) {
        EXPECT_EQ(reply.bytes.size(), 6u);
        EXPECT_EQ(reply.bytes[2] & 0x80, 0x80);
    }
    EXPECT_EQ(device.flash, erased);
}

TEST_F(DeviceTest, NothingIsAnsweredWithThePowerOff)
{
    device_set_power(device, false);
    build_reset_frame(buffer.data(), length, UNIT_ADDRESS);
    send();
    EXPECT_TRUE(replies().empty());
    device_set_power(device, true);
    send();
    EXPECT_EQ(replies().size(), 1u);
}

TEST_F(DeviceTest, OffForACountOfQueriesTakesNothingThenAnswersTheNext)
{
    device.queries_until_on = 2;
    const std::uint8_t data[16] = {1, 2, 3};
    build_program_frame(buffer.data(), length, UNIT_ADDRESS, FLASH_BASE, data, 16);
    send();
    build_query_frame(buffer.data(), length, UNIT_ADDRESS, FLASH_BASE, 4);
    send();
    send();
    EXPECT_TRUE(replies().empty());
    EXPECT_EQ(device.flash[0], DEVICE_ERASED);
    EXPECT_EQ(device.stats.unanswered_queries, 2u);
    send();
    EXPECT_EQ(replies().size(), 1u);
}

TEST_F(DeviceTest, PowerGoesHalfwayThroughTheNamedProgramRequest)
{
    device.power_off_in_block = 2;
    const std::vector<std::uint8_t> data(BLOCK_SIZE, 0x5A);
    build_program_frame(buffer.data(), length, UNIT_ADDRESS, FLASH_BASE, data.data(), BLOCK_SIZE);
    send();
    EXPECT_EQ(replies().size(), 1u);
    build_program_frame(buffer.data(), length, UNIT_ADDRESS, FLASH_BASE + BLOCK_SIZE, data.data(), BLOCK_SIZE);
    device_receive(device, buffer.data(), static_cast<std::size_t>(length) / 2 - 1);
    EXPECT_FALSE(device.power_lost);
    device_receive(device, buffer.data() + length / 2 - 1, static_cast<std::size_t>(length - length / 2 + 1));
    EXPECT_TRUE(device.power_lost);
    EXPECT_TRUE(replies().empty());
    EXPECT_EQ(device.flash[0], 0x5A);
    EXPECT_EQ(device.flash[BLOCK_SIZE], DEVICE_ERASED);
}

TEST_F(DeviceTest, FaultRulesFireOnTheirSchedule)
{
    device_add_fault(device, {.kind = FaultKind::Drop, .every = 2, .sub_command = SUB_RESET});
    device_add_fault(device, {.kind = FaultKind::Split, .every = 3, .delay_ms = 30});
    build_reset_frame(buffer.data(), length, UNIT_ADDRESS);
    for (int i = 0; i < 6; ++i)
        send();
    const auto out = replies();
    ASSERT_EQ(out.size(), 3u); // every second one dropped
    EXPECT_EQ(out[0].split_at, 0u);
    EXPECT_EQ(out[1].split_at, 2u); // the third reply, split in two
    EXPECT_EQ(out[1].split_gap_ms, 30u);
}

} // namespace
