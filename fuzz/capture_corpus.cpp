// Writes the fuzz targets' seed corpus: the worked frames, and a real
// exchange captured from a whole update of the virtual QDM7 on the virtual
// clock (what each of the job's reads returned, for the job target; what the
// updater wrote, for the device target). Usage: qdm7-fuzz-capture <corpus dir>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/frames.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/virtual_link.h"

namespace {

// Image choices: a multi-block image with a short last block for the job
// target; the scrap for the device target, to keep its seed small.
constexpr std::size_t JOB_IMAGE = 1;
constexpr std::size_t DEVICE_IMAGE = 3;

const std::vector<std::vector<std::uint8_t>> WORKED_FRAMES = {
    {0x04, 0xF3, 0x02, 0x08, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x04, 0xE0, 0xDD},
    {0x04, 0xF3, 0x02, 0x08, 0x00, 0x80, 0x00, 0x00, 0x18, 0x40, 0x00, 0x50, 0xD9},
    {0x04, 0xF3, 0x03, 0x34, 0xF0},
};
const char* const WORKED_NAMES[] = {"worked_contact_query", "worked_crc_query", "worked_reset"};

bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return false;
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && ok;
}

// A whole update; returns false unless it completed with the image in flash.
bool capture_update(std::size_t choice)
{
    virtual_link_reset();
    virtual_link().baud = LINK_BAUD;
    virtual_link().log_reads = true;
    TestJob test_job;
    prepare_job(test_job, fuzz_image(choice));
    start_job(test_job.job);
    run_job(test_job.job, 100000);
    return test_job.job.state == JobState::Completed;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;

    // Job target: each read as one record, in the order the job made them.
    // The worked frames are CRC-valid, so each is a reply the job accepts.
    ok = capture_update(JOB_IMAGE) && ok;
    std::vector<std::uint8_t> seed = {static_cast<std::uint8_t>(JOB_IMAGE), 0, 0, 0, 0};
    for (const auto& read : virtual_link().reads_log)
        append_record(seed, read.empty() ? RECORD_SILENCE : RECORD_RAW, read.empty() ? 1 : 0, read.data(),
                      read.size());
    ok = write_file(dir + "/job/captured_update", seed) && ok;
    for (std::size_t i = 0; i < WORKED_FRAMES.size(); ++i) {
        std::vector<std::uint8_t> one = {static_cast<std::uint8_t>(JOB_IMAGE), 0, 0, 0, 0};
        append_record(one, RECORD_RAW, 0, WORKED_FRAMES[i].data(), WORKED_FRAMES[i].size());
        ok = write_file(dir + "/job/" + WORKED_NAMES[i], one) && ok;
    }

    // Device target: each frame the updater wrote as one chunk.
    ok = capture_update(DEVICE_IMAGE) && ok;
    seed.clear();
    for (const auto& frame : virtual_link().written)
        append_record(seed, RECORD_RAW, 0, frame.data(), frame.size());
    ok = write_file(dir + "/device/captured_requests", seed) && ok;
    for (std::size_t i = 0; i < WORKED_FRAMES.size(); ++i) {
        std::vector<std::uint8_t> one;
        append_record(one, RECORD_RAW, 0, WORKED_FRAMES[i].data(), WORKED_FRAMES[i].size());
        ok = write_file(dir + "/device/" + WORKED_NAMES[i], one) && ok;
    }
    if (!ok)
        std::fprintf(stderr, "capture failed\n");
    return ok ? 0 : 1;
}
