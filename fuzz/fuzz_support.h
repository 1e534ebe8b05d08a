// Shared by the fuzz targets and the tool that captures their seed corpus:
// the images the job target updates, the layout of a fuzz input, and an
// independent CRC to judge the engine by.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engine/frames.h"
#include "tests/support/test_bytes.h"

// A broken property is a crash for the fuzzer: say which, then abort.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "property violated: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// Image sizes the job target picks from with its first input byte: one whole
// block, two blocks and a short third (unpadded), three blocks, a scrap.
inline constexpr std::int32_t FUZZ_IMAGE_SIZES[] = {BLOCK_SIZE, 2 * BLOCK_SIZE + 777, 3 * BLOCK_SIZE, 100};
inline constexpr std::size_t FUZZ_IMAGE_CHOICES = sizeof FUZZ_IMAGE_SIZES / sizeof FUZZ_IMAGE_SIZES[0];

inline std::vector<std::uint8_t> fuzz_image(std::size_t choice)
{
    return make_test_image(static_cast<std::size_t>(FUZZ_IMAGE_SIZES[choice % FUZZ_IMAGE_CHOICES]), 0x1234567u);
}

// CRC-16/MODBUS from a table built here bit by bit, apart from the engine's
// own, so that the fuzz targets do not judge the engine by its own arithmetic.
inline std::uint16_t reference_crc(const std::uint8_t* data, std::size_t size)
{
    static const auto table = [] {
        std::vector<std::uint16_t> t(256);
        for (unsigned byte = 0; byte < 256; ++byte) {
            unsigned crc = byte;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 1u) ? (crc >> 1) ^ 0xA001u : crc >> 1;
            t[byte] = static_cast<std::uint16_t>(crc);
        }
        return t;
    }();
    unsigned crc = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i)
        crc = (crc >> 8) ^ table[(crc ^ data[i]) & 0xFFu];
    return static_cast<std::uint16_t>(crc);
}

inline bool reference_frame_ok(const std::uint8_t* frame, std::size_t length)
{
    if (length < 4)
        return false;
    const std::uint16_t crc = reference_crc(frame, length - 2);
    return frame[length - 2] == (crc & 0xFFu) && frame[length - 1] == (crc >> 8);
}

// A fuzz input is a header and then records, one record per read (job
// target) or per event (device target):
//   op byte: bits 0-1 the record's kind, bits 2-3 its time or control
//            code, bit 4 "restart the job after this tick", bit 5 "the
//            length is two bytes, little-endian" (else one byte);
//   length, then that many data bytes (cut short where the input ends).
enum RecordKind : std::uint8_t {
    RECORD_RAW = 0,       // the bytes as they stand
    RECORD_SEALED = 1,    // the bytes with their CRC appended
    RECORD_CRC_REPLY = 2, // job: a 15-byte reply carrying the image's CRC; device: a control event
    RECORD_SILENCE = 3,   // job: a read that returns nothing; device: a control event
};
inline constexpr std::uint8_t RECORD_KIND_MASK = 0x03;
inline constexpr unsigned RECORD_CODE_SHIFT = 2;
inline constexpr std::uint8_t RECORD_RESTART = 0x10;
inline constexpr std::uint8_t RECORD_LONG = 0x20;

// Reads the fuzz input front to back; past its end every byte is 0.
struct FuzzCursor {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t at = 0;

    bool done() const { return at >= size; }
    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    std::size_t length(bool long_form)
    {
        std::size_t n = byte();
        if (long_form)
            n |= std::size_t{byte()} << 8;
        return n;
    }
    // Up to n bytes; returns how many were there.
    std::size_t take(std::uint8_t* to, std::size_t n)
    {
        std::size_t got = 0;
        while (got < n && at < size)
            to[got++] = data[at++];
        return got;
    }
};

// Appends one record to a seed being built.
inline void append_record(std::vector<std::uint8_t>& seed, std::uint8_t kind, std::uint8_t code,
                          const std::uint8_t* data, std::size_t n)
{
    const bool long_form = n > 0xFF;
    seed.push_back(static_cast<std::uint8_t>(kind | (code << RECORD_CODE_SHIFT) | (long_form ? RECORD_LONG : 0)));
    seed.push_back(static_cast<std::uint8_t>(n & 0xFFu));
    if (long_form)
        seed.push_back(static_cast<std::uint8_t>(n >> 8));
    seed.insert(seed.end(), data, data + n);
}
