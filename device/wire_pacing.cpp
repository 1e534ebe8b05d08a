#include "device/wire_pacing.h"

#include <algorithm>
#include <utility>

#include "engine/frames.h"

namespace {

constexpr std::int64_t US_PER_MS = 1000;
constexpr std::int64_t US_PER_S = 1000000;
// Bytes are handed on in pieces of about this much wire time.
constexpr double PIECE_US = 2000;
// Bytes are taken off the terminal up to this many ahead of the wire: the
// whole largest request, as a serial driver holds a written frame in its
// transmit queue. A pty's own buffer holds only a few KiB, and an updater
// descheduled for 20 ms mid-frame on a busy machine would otherwise leave the
// wire silent long enough for the device to drop the partial request.
constexpr std::size_t LOOKAHEAD_BYTES = FRAME_BUFFER_SIZE;

bool paced(const WirePace& pace) { return pace.char_us > 0; }

// The first waiting piece of the inbound wire, which must hold one.
WirePiece inbound_front(const InboundWire& wire)
{
    const InboundChunk& chunk = wire.chunks.front();
    WirePiece piece;
    piece.data = chunk.bytes.data() + chunk.delivered;
    piece.size = std::min(chunk.bytes.size() - chunk.delivered, wire.pace.piece);
    piece.start_us = std::max(wire.free_us, chunk.taken_us);
    piece.due_us = piece.start_us + wire_us(wire.pace, piece.size);
    return piece;
}

} // namespace

WirePace wire_pace(std::uint32_t baud)
{
    WirePace pace;
    if (baud == 0)
        return pace;
    pace.char_us = static_cast<double>(WIRE_BITS_PER_CHARACTER) * US_PER_S / baud;
    pace.piece = std::max<std::size_t>(1, static_cast<std::size_t>(PIECE_US / pace.char_us));
    pace.lookahead = LOOKAHEAD_BYTES;
    return pace;
}

std::int64_t wire_us(const WirePace& pace, std::size_t characters)
{
    return static_cast<std::int64_t>(static_cast<double>(characters) * pace.char_us);
}

std::size_t inbound_room(const InboundWire& wire)
{
    return wire.queued >= wire.pace.lookahead ? 0 : wire.pace.lookahead - wire.queued;
}

void inbound_take(InboundWire& wire, std::vector<std::uint8_t> bytes, std::int64_t now_us)
{
    if (bytes.empty())
        return;
    wire.queued += bytes.size();
    wire.chunks.push_back({now_us, std::move(bytes), 0});
}

std::int64_t inbound_due(const InboundWire& wire)
{
    return wire.chunks.empty() ? -1 : inbound_front(wire).due_us;
}

bool inbound_next(const InboundWire& wire, std::int64_t now_us, WirePiece& piece)
{
    if (wire.chunks.empty())
        return false;
    piece = inbound_front(wire);
    if (!paced(wire.pace))
        piece.due_us = now_us;
    return piece.due_us <= now_us;
}

void inbound_done(InboundWire& wire, const WirePiece& piece)
{
    if (paced(wire.pace))
        wire.free_us = piece.due_us;
    InboundChunk& chunk = wire.chunks.front();
    chunk.delivered += piece.size;
    wire.queued -= piece.size;
    if (chunk.delivered == chunk.bytes.size())
        wire.chunks.pop_front();
}

OutboundReply reply_on_wire(DeviceReply reply, std::int64_t request_end_us)
{
    OutboundReply out;
    out.ready_us = request_end_us + static_cast<std::int64_t>(reply.delay_ms) * US_PER_MS;
    out.split_at = reply.split_at;
    out.split_gap_us = static_cast<std::int64_t>(reply.split_gap_ms) * US_PER_MS;
    out.bytes = std::move(reply.bytes);
    return out;
}

bool outbound_next(const OutboundWire& wire, WirePiece& piece)
{
    if (wire.replies.empty())
        return false;
    const OutboundReply& out = wire.replies.front();
    piece.start_us = std::max(out.ready_us, wire.free_us);
    if (out.split_at != 0 && out.sent == out.split_at)
        piece.start_us = std::max(piece.start_us, wire.free_us + out.split_gap_us);
    piece.size = out.bytes.size() - out.sent;
    if (out.split_at != 0 && out.sent < out.split_at)
        piece.size = out.split_at - out.sent;
    if (paced(wire.pace))
        piece.size = std::min(piece.size, wire.pace.piece);
    piece.data = out.bytes.data() + out.sent;
    piece.due_us = piece.start_us + wire_us(wire.pace, piece.size);
    return true;
}

bool outbound_sent(OutboundWire& wire, const WirePiece& piece, std::size_t written, std::int64_t now_us,
                   OutboundReply* finished)
{
    OutboundReply& out = wire.replies.front();
    out.sent += std::min(written, piece.size);
    wire.free_us = paced(wire.pace) ? piece.due_us : now_us;
    if (out.sent < out.bytes.size())
        return false;
    if (finished != nullptr)
        *finished = std::move(out);
    wire.replies.pop_front();
    return true;
}
