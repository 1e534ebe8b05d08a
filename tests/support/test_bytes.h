// Bytes for the tests, fuzzers and benchmarks: one seeded generator, one test
// image and one big-endian reader, so that every harness makes and reads
// them alike. Header-only: the fuzzers build it without a test library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// xorshift32: small, seedable, the same on every platform.
struct XorShift32 {
    std::uint32_t state = 1;

    std::uint32_t next()
    {
        std::uint32_t x = state != 0 ? state : 1;
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        state = x;
        return x;
    }
    std::uint32_t below(std::uint32_t n) { return next() % n; }
    std::uint32_t between(std::uint32_t lo, std::uint32_t hi) { return lo + below(hi - lo + 1); }
    bool chance(std::uint32_t percent) { return below(100) < percent; }
};

// A deterministic, non-uniform test image of the given length.
inline std::vector<std::uint8_t> make_test_image(std::size_t length, std::uint32_t seed = 1)
{
    std::vector<std::uint8_t> image(length);
    std::uint32_t x = seed != 0 ? seed : 1;
    for (auto& b : image) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return image;
}

// Frame fields are big-endian.
inline std::uint32_t read_be32(const std::uint8_t* at)
{
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) | at[3];
}
inline std::uint16_t read_be16(const std::uint8_t* at)
{
    return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}
