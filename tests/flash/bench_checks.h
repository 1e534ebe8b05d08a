// What the station's and the watch's in-process tests look at: the image
// as a unit holds it, a folder of their own, and the text they read back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/frames.h"
#include "engine/image.h"
#include "platform/embedded_image.h"
#include "tests/support/virtual_station.h"
#include "tools/qdm7-flash/console/console.h"
#include "tools/qdm7-flash/run/worker.h"

// The image the program carries, padded as the device holds it.
inline std::vector<std::uint8_t> padded_image()
{
    const EmbeddedImage image = find_embedded_image(program_instance());
    const auto length = static_cast<std::int32_t>(image.length);
    std::vector<std::uint8_t> padded(static_cast<std::size_t>(padded_image_size(length)), 0);
    std::copy(image.data, image.data + image.length, padded.begin());
    return padded;
}

inline std::int32_t image_blocks() { return static_cast<std::int32_t>(padded_image().size()) / BLOCK_SIZE; }

inline bool holds_image(const VirtualUnit& unit)
{
    const std::vector<std::uint8_t> image = padded_image();
    return std::equal(image.begin(), image.end(), unit.link.device.flash.begin());
}

inline void give_image(VirtualUnit& unit)
{
    const std::vector<std::uint8_t> image = padded_image();
    std::copy(image.begin(), image.end(), unit.link.device.flash.begin());
}

inline std::string read_text(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A folder of its own for a test's report and traces, made afresh and
// removed after the test (its files closed by then).
struct Scratch {
    std::filesystem::path folder;
    Scratch()
    {
        const auto* test = testing::UnitTest::GetInstance()->current_test_info();
        folder = std::filesystem::temp_directory_path() /
                 (std::string("qdm7-station-") + test->test_suite_name() + "-" + test->name());
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
        std::filesystem::create_directories(folder);
    }
    ~Scratch()
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    std::string path(const std::string& name) const { return (folder / name).string(); }
};

// A fault on the device's program replies.
inline FaultRule fault(FaultKind kind, std::uint32_t every, std::uint32_t count)
{
    FaultRule rule;
    rule.kind = kind;
    rule.every = every;
    rule.sub_command = SUB_PROGRAM;
    rule.max_count = count;
    return rule;
}

inline int count_of(const std::string& text, const std::string& piece)
{
    int n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size()))
        ++n;
    return n;
}


// A test on a fresh bench, with the options of the update its run takes.
struct BenchTest : testing::Test {
    void SetUp() override
    {
        bench_reset();
        virtual_link_reset();
        update.host = &bench_host();
    }
    void TearDown() override { close_record_file(record_file); }
    // The records go to path from now on.
    void report_to(const std::string& path)
    {
        close_record_file(record_file);
        std::string error;
        ASSERT_TRUE(open_record_file(record_file, path.c_str(), error)) << error;
        update.report = &record_file;
        update.report_path = path;
    }
    Scratch scratch;
    UpdateSetup update;
    RecordFile record_file;
};
