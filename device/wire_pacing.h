// The pace of the serial line between an updater and the virtual QDM7: when
// each byte reaches the far end, given when it was handed to the wire. The
// update-time figures rest on it: qdm7-sim runs it on the monotonic clock,
// the tests' virtual link on its virtual one. It knows no clock and does no
// I/O: the caller says what time it is and moves the bytes.
//
// A character is 11 bits on the wire (start, 8 data, even parity, stop) and
// counts as arrived once its last bit has crossed: n characters that start
// at t have all arrived at t + n character times. Bytes move in pieces (in
// qdm7-sim about 2 ms of wire time, so the loop wakes 500 times a second, not
// 80000), each handed on when its last byte has arrived. An unpaced line
// takes no time: bytes arrive when they are handed over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "device/qdm7_device.h"

inline constexpr std::uint32_t WIRE_BITS_PER_CHARACTER = 11;

struct WirePace {
    double char_us = 0;            // one character on the wire; 0: unpaced
    std::size_t piece = 4096;      // bytes handed on at a time
    std::size_t lookahead = 65536; // bytes taken off the terminal ahead of the wire
};

// The pace at the given baud rate; 0 gives an unpaced line.
WirePace wire_pace(std::uint32_t baud);
// Wire time of n characters, in whole microseconds.
std::int64_t wire_us(const WirePace& pace, std::size_t characters);

// The next piece of bytes on a wire: where they are, when the wire starts
// on the first and when the last has arrived.
struct WirePiece {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::int64_t start_us = 0;
    std::int64_t due_us = 0;
};

// Updater to device: bytes taken off the terminal, delivered at the wire rate.
struct InboundChunk {
    std::int64_t taken_us = 0;
    std::vector<std::uint8_t> bytes;
    std::size_t delivered = 0;
};
struct InboundWire {
    WirePace pace;
    std::deque<InboundChunk> chunks{};
    std::size_t queued = 0;        // taken, not yet delivered
    std::int64_t free_us = 0;      // the wire has delivered all it was given
};

// How many more bytes may be taken off the terminal now.
std::size_t inbound_room(const InboundWire& wire);
// Bytes taken off the terminal at now_us.
void inbound_take(InboundWire& wire, std::vector<std::uint8_t> bytes, std::int64_t now_us);
// When the next piece will have arrived; -1 when nothing waits.
std::int64_t inbound_due(const InboundWire& wire);
// The next piece if it has arrived by now_us (on an unpaced line it arrives
// at now_us); false when none has. Its data stay valid until inbound_done.
bool inbound_next(const InboundWire& wire, std::int64_t now_us, WirePiece& piece);
// The piece from inbound_next was handed to the device.
void inbound_done(InboundWire& wire, const WirePiece& piece);

// Device to updater: replies waiting for their time and for the wire.
struct OutboundReply {
    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;
    std::int64_t ready_us = 0;     // the first byte may not start before this
    std::size_t split_at = 0;      // > 0: a pause after this many bytes
    std::int64_t split_gap_us = 0;
};
struct OutboundWire {
    WirePace pace;
    std::deque<OutboundReply> replies{};
    std::int64_t free_us = 0;      // the wire has sent all that was written
};

// The device's reply to a request whose last byte arrived at request_end_us:
// ready after the reply's delay, pausing at its split.
OutboundReply reply_on_wire(DeviceReply reply, std::int64_t request_end_us);
// The next piece of the first reply, due when its last byte has crossed the
// wire: not before the reply is ready, the wire is free and a split's pause
// is over. False when no reply waits.
bool outbound_next(const OutboundWire& wire, WirePiece& piece);
// written bytes of the piece from outbound_next went out at now_us. True when
// that ended the first reply, which is then taken off the wire (into
// *finished when given).
bool outbound_sent(OutboundWire& wire, const WirePiece& piece, std::size_t written, std::int64_t now_us,
                   OutboundReply* finished = nullptr);
