// The link operations over Web Serial. The JavaScript half (web_serial.js)
// holds each open port's reader and writer, and the one read a time-out
// gave up on: it is still pending in the browser, and the bytes that come
// next go to it, so the next read takes it over instead of starting another.
// Here the reads are shaped as on the other platforms: a read ends when the
// capacity is full, when a pause follows the last piece, or READ_TOTAL_MS
// after it began with nothing come, and, with a reply rule, once the bytes
// so far pass it and the line has been quiet for its quiet time. Bytes
// reach the page through the browser's processes, in pieces with gaps the
// line never had: so a read that has begun to take a reply is not cut at
// READ_TOTAL_MS (that would split a reply that came at its end into two
// invalid ones, and cost the request a resend 10 s later), and the pause
// that ends it is PIECE_INTERVAL_MS, not the line's READ_INTERVAL_MS. A
// whole reply still ends its read as soon as it is whole.
#include "platform/web/web_serial.h"

#include <emscripten.h>

#include <cstdio>
#include <map>

#include "platform/platform.h"

namespace {

struct ReadRule {
    ReplyComplete complete = nullptr;
    std::uint32_t quiet_ms = 0;
};

// Per open port; ports are used from the page's one thread.
std::map<PortHandle, ReadRule> rules;

// The pause after a piece that ends a read that has not passed the reply
// rule: longer than the line's, as above; and the longest a read may go
// on while pieces keep coming: enough for a whole program frame at the
// link's rate (about 200 ms), so that a port that sends a frame back is
// read as one frame and known for an echo, yet short enough that a port
// that chatters does not hold the update.
constexpr std::uint32_t PIECE_INTERVAL_MS = 100;
constexpr std::uint32_t LONGEST_READ_MS = 20 * READ_TOTAL_MS;

// Failure kinds as web_serial.js returns them, negated, from an open.
constexpr int OPEN_BUSY = 1;
constexpr int OPEN_ABSENT = 2;
constexpr int OPEN_ALREADY = 3;

} // namespace

// The JavaScript half. Each returns a negative count for a port gone.
EM_ASYNC_JS(int, web_serial_open, (int number, unsigned baud, char* text, int text_size), {
    const opened = await Module.webSerial.open(number, baud);
    if (opened.handle > 0)
        return opened.handle;
    stringToUTF8(opened.text, text, text_size);
    return -opened.kind;
});

EM_ASYNC_JS(int, web_serial_write, (int handle, const std::uint8_t* data, int length), {
    return await Module.webSerial.write(handle, HEAPU8.slice(data, data + length));
});

EM_ASYNC_JS(int, web_serial_read, (int handle, std::uint8_t* buffer, int capacity, int timeout_ms), {
    const bytes = await Module.webSerial.read(handle, capacity, timeout_ms);
    if (bytes === null)
        return -1;
    HEAPU8.set(bytes, buffer);
    return bytes.length;
});

EM_ASYNC_JS(void, web_serial_purge, (int handle), { await Module.webSerial.purge(handle); });

EM_ASYNC_JS(void, web_serial_close, (int handle), { await Module.webSerial.close(handle); });

EM_JS(int, web_serial_lost, (int handle), { return Module.webSerial.lost(handle) ? 1 : 0; });

PortHandle open_web_port(int number, std::uint32_t baud, PortFailure& failure)
{
    failure = PortFailure{};
    char text[sizeof failure.text] = "";
    const int opened = web_serial_open(number, baud, text, static_cast<int>(sizeof text));
    if (opened > 0) {
        rules[opened] = ReadRule{};
        return opened;
    }
    failure.kind = -opened == OPEN_ALREADY ? PortFailureKind::Mistake : PortFailureKind::System;
    failure.busy = -opened == OPEN_BUSY;
    failure.absent = -opened == OPEN_ABSENT;
    std::snprintf(failure.text, sizeof failure.text, "%s", text);
    return INVALID_PORT_HANDLE;
}

void set_reply_rule(PortHandle handle, ReplyComplete complete, std::uint32_t quiet_ms)
{
    rules[handle] = ReadRule{complete, quiet_ms};
}

void close_port(PortHandle& handle)
{
    if (handle == INVALID_PORT_HANDLE)
        return;
    web_serial_close(static_cast<int>(handle));
    rules.erase(handle);
    handle = INVALID_PORT_HANDLE;
}

bool port_lost(PortHandle handle) { return web_serial_lost(static_cast<int>(handle)) != 0; }

std::int32_t port_write(PortHandle handle, const std::uint8_t* buffer, std::int32_t length)
{
    const int written = web_serial_write(static_cast<int>(handle), buffer, length);
    return written > 0 ? written : 0;
}

std::int32_t port_read(PortHandle handle, std::uint8_t* buffer, std::int32_t capacity)
{
    const auto found = rules.find(handle);
    const ReadRule rule = found != rules.end() ? found->second : ReadRule{};
    const std::uint32_t began = tick_count();
    std::uint32_t last_piece = 0;
    bool whole = false; // the bytes so far pass the reply rule's test
    std::int32_t count = 0;
    while (count < capacity) {
        // Time left, as unsigned differences of the wrapping counter.
        const std::uint32_t now = tick_count();
        const std::uint32_t limit = count > 0 ? LONGEST_READ_MS : READ_TOTAL_MS;
        if (now - began >= limit)
            break;
        std::uint32_t left = limit - (now - began);
        if (count > 0) {
            const std::uint32_t gap = whole ? rule.quiet_ms : PIECE_INTERVAL_MS;
            if (now - last_piece >= gap)
                break;
            if (gap - (now - last_piece) < left)
                left = gap - (now - last_piece);
        }
        const int n = web_serial_read(static_cast<int>(handle), buffer + count, capacity - count, static_cast<int>(left));
        if (n < 0)
            break; // gone: what came so far is the reply
        if (n == 0)
            continue;
        count += n;
        last_piece = tick_count();
        whole = rule.complete != nullptr && rule.complete(buffer, count);
    }
    return count;
}

void port_purge(PortHandle handle) { web_serial_purge(static_cast<int>(handle)); }

// A write is done once the browser has taken all of it; nothing is left
// to wait for.
void port_flush(PortHandle) {}
