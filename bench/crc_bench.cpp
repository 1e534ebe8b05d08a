// The CRC of the whole padded image, as the updater computes it once per
// verification, against a plain bit-by-bit CRC-16/MODBUS.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engine/frames.h"
#include "tests/support/test_bytes.h"

namespace {

// The built-in image padded to whole blocks: 97 x 16384 bytes.
constexpr std::int32_t PADDED_IMAGE_SIZE = 97 * BLOCK_SIZE;

std::uint16_t bitwise_crc(const std::uint8_t* data, std::int32_t size)
{
    std::uint16_t crc = 0xFFFF;
    for (std::int32_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001u)
                                  : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

const std::vector<std::uint8_t>& padded_image()
{
    static const std::vector<std::uint8_t> image = [] {
        // Firmware-like bytes, then the zero padding of the last block.
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(PADDED_IMAGE_SIZE), 0);
        XorShift32 random{2463534242u};
        for (std::size_t i = 0; i < 1573624; ++i)
            bytes[i] = static_cast<std::uint8_t>(random.next());
        if (image_crc(bytes.data(), PADDED_IMAGE_SIZE) != bitwise_crc(bytes.data(), PADDED_IMAGE_SIZE)) {
            std::fputs("crc_bench: image_crc and the bitwise CRC disagree\n", stderr);
            std::exit(1);
        }
        return bytes;
    }();
    return image;
}

void BM_ImageCrc(benchmark::State& state)
{
    const auto& image = padded_image();
    for (auto _ : state)
        benchmark::DoNotOptimize(image_crc(image.data(), PADDED_IMAGE_SIZE));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * PADDED_IMAGE_SIZE);
}
BENCHMARK(BM_ImageCrc)->Unit(benchmark::kMillisecond);

void BM_BitwiseCrc(benchmark::State& state)
{
    const auto& image = padded_image();
    for (auto _ : state)
        benchmark::DoNotOptimize(bitwise_crc(image.data(), PADDED_IMAGE_SIZE));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * PADDED_IMAGE_SIZE);
}
BENCHMARK(BM_BitwiseCrc)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
