// The wire's pace on a virtual clock: each case moves the time itself and
// asks the wire what it would deliver.
#include <gtest/gtest.h>

#include <vector>

#include "device/wire_pacing.h"
#include "engine/frames.h"

namespace {

constexpr std::size_t LARGEST_REQUEST = BLOCK_SIZE + PROGRAM_FRAME_OVERHEAD;

// Delivers everything taken, each piece at the moment it is due; checks on
// the way that no piece comes early and that the line has no holes.
std::int64_t deliver_all(InboundWire& wire)
{
    std::int64_t now = 0;
    WirePiece piece;
    while (wire.queued > 0) {
        const std::int64_t due = inbound_due(wire);
        EXPECT_FALSE(inbound_next(wire, due - 1, piece)) << "a piece before its last byte arrived";
        EXPECT_TRUE(inbound_next(wire, due, piece));
        EXPECT_EQ(piece.start_us, std::max(now, wire.chunks.front().taken_us));
        now = piece.due_us;
        inbound_done(wire, piece);
    }
    return now;
}

TEST(WirePacing, ElevenBitsACharacterAtTheBaudRate)
{
    const WirePace fast = wire_pace(LINK_BAUD);
    EXPECT_EQ(wire_us(fast, LARGEST_REQUEST), 195686); // a whole block: 16395 x 11 / 921600 s
    EXPECT_EQ(wire_us(wire_pace(9600), 1), 1145);
    EXPECT_EQ(wire_us(wire_pace(9600), 10), 11458);
    // Pieces of just under 2 ms.
    EXPECT_LE(wire_us(fast, fast.piece), 2000);
    EXPECT_GT(wire_us(fast, fast.piece + 1), 2000);
    EXPECT_EQ(wire_pace(9600).piece, 1u);
}

TEST(WirePacing, TakesOneLargestFrameAheadAndDeliversItAtTheWireRate)
{
    InboundWire wire{.pace = wire_pace(LINK_BAUD)};
    EXPECT_EQ(inbound_room(wire), static_cast<std::size_t>(FRAME_BUFFER_SIZE));
    inbound_take(wire, std::vector<std::uint8_t>(LARGEST_REQUEST, 0x5A), 1000);
    EXPECT_EQ(inbound_room(wire), FRAME_BUFFER_SIZE - LARGEST_REQUEST);
    // Taken while the wire is still busy: it follows without a gap.
    inbound_take(wire, std::vector<std::uint8_t>(5, 0xA5), 2000);
    EXPECT_EQ(inbound_room(wire), 0u);
    // Each piece's time is whole microseconds: at most one lost a piece.
    const double end = 1000 + static_cast<double>(LARGEST_REQUEST + 5) * wire.pace.char_us;
    const auto pieces = static_cast<double>(LARGEST_REQUEST / wire.pace.piece + 2);
    EXPECT_NEAR(static_cast<double>(deliver_all(wire)), end, pieces);
    EXPECT_EQ(inbound_room(wire), static_cast<std::size_t>(FRAME_BUFFER_SIZE));

    // After a silence the wire starts when the bytes are taken.
    inbound_take(wire, {1, 2, 3}, 900000);
    WirePiece piece;
    ASSERT_TRUE(inbound_next(wire, 900000 + wire_us(wire.pace, 3), piece));
    EXPECT_EQ(piece.start_us, 900000);
    EXPECT_EQ(piece.data[2], 3);
}

TEST(WirePacing, AReplyWaitsForItsDelayThenGoesAtTheWireRate)
{
    OutboundWire wire{.pace = wire_pace(LINK_BAUD)};
    DeviceReply reply;
    reply.bytes.assign(400, 0x11);
    reply.delay_ms = 5; // programming time, or a delay fault
    wire.replies.push_back(reply_on_wire(reply, 1000));
    reply.bytes.assign(11, 0x22);
    reply.delay_ms = 0;
    wire.replies.push_back(reply_on_wire(reply, 1000));

    WirePiece piece;
    ASSERT_TRUE(outbound_next(wire, piece));
    EXPECT_EQ(piece.start_us, 6000);
    EXPECT_EQ(piece.size, wire.pace.piece);
    EXPECT_EQ(piece.due_us, 6000 + wire_us(wire.pace, wire.pace.piece));
    // A write that took only part of the piece (the updater is not reading):
    // the rest follows once the piece's time is over, at the wire rate.
    EXPECT_FALSE(outbound_sent(wire, piece, 10, piece.due_us));
    const std::int64_t first_due = piece.due_us;
    ASSERT_TRUE(outbound_next(wire, piece));
    EXPECT_EQ(piece.start_us, first_due);
    EXPECT_EQ(piece.data - wire.replies.front().bytes.data(), 10);

    std::int64_t end = 0;
    OutboundReply finished;
    while (!outbound_sent(wire, piece, piece.size, piece.due_us, &finished)) {
        ASSERT_TRUE(outbound_next(wire, piece));
        end = piece.due_us;
    }
    EXPECT_EQ(finished.bytes.size(), 400u);
    EXPECT_NEAR(static_cast<double>(end - first_due), 390 * wire.pace.char_us, 3.0);
    // The second reply was ready long ago; it waits for the line.
    ASSERT_TRUE(outbound_next(wire, piece));
    EXPECT_EQ(piece.start_us, end);
    EXPECT_EQ(piece.size, 11u);
}

TEST(WirePacing, ASplitReplyPausesForItsGapPacedOrNot)
{
    for (const std::uint32_t baud : {LINK_BAUD, 0u}) {
        OutboundWire wire{.pace = wire_pace(baud)};
        DeviceReply reply;
        reply.bytes.assign(11, 0x33);
        reply.split_at = 5;
        reply.split_gap_ms = 50;
        wire.replies.push_back(reply_on_wire(reply, 0));
        WirePiece piece;
        ASSERT_TRUE(outbound_next(wire, piece));
        EXPECT_EQ(piece.size, 5u);
        EXPECT_EQ(piece.due_us, wire_us(wire.pace, 5));
        EXPECT_FALSE(outbound_sent(wire, piece, 5, piece.due_us));
        ASSERT_TRUE(outbound_next(wire, piece));
        EXPECT_EQ(piece.size, 6u);
        EXPECT_EQ(piece.start_us, wire_us(wire.pace, 5) + 50000) << baud;
        EXPECT_TRUE(outbound_sent(wire, piece, 6, piece.due_us));
        EXPECT_FALSE(outbound_next(wire, piece));
    }
}

TEST(WirePacing, AnUnpacedLineDeliversWhatItTakesAtOnce)
{
    InboundWire in{.pace = wire_pace(0)};
    inbound_take(in, std::vector<std::uint8_t>(10000, 1), 500);
    EXPECT_EQ(inbound_room(in), 65536u - 10000u);
    WirePiece piece;
    ASSERT_TRUE(inbound_next(in, 700, piece));
    EXPECT_EQ(piece.size, 4096u);
    EXPECT_EQ(piece.due_us, 700); // arrives when it is handed over

    OutboundWire out{.pace = wire_pace(0)};
    DeviceReply reply;
    reply.bytes.assign(5000, 0x44);
    reply.delay_ms = 2;
    out.replies.push_back(reply_on_wire(reply, 700));
    ASSERT_TRUE(outbound_next(out, piece));
    EXPECT_EQ(piece.size, 5000u);
    EXPECT_EQ(piece.due_us, 2700);
}

} // namespace
