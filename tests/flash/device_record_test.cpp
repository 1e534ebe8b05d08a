// The device record and the report file, in-process: the JSON line, its
// escaping and times, and whole lines in the file whoever writes them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/qdm7-flash/records/device_record.h"
#include "tools/qdm7-flash/records/record_file.h"

namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST(DeviceRecord, IsOneLineOfJsonWithEveryKnownField)
{
    DeviceRecord record;
    record.port = "\\\\.\\com3";
    record.usb_serial = "QDM7-0001";
    record.result = DeviceResult::Failed;
    record.error = "CRC mismatch";
    record.started_utc_ms = 951782400123;  // 2000-02-29, a leap day
    record.ended_utc_ms = 951782421456;
    record.elapsed_ms = 21333;
    record.blocks = 97;
    record.timeouts = 2;
    record.device_crc = 0x1234;
    record.image_crc = 0x0c2f;
    record.image_length = 1573624;
    record.version = "1.4.0";
    EXPECT_EQ(format_device_record(record),
              "{\"port\": \"\\\\\\\\.\\\\com3\", \"usb_serial\": \"QDM7-0001\", \"result\": \"failed\", "
              "\"error\": \"CRC mismatch\", \"started\": \"2000-02-29T00:00:00.123Z\", "
              "\"ended\": \"2000-02-29T00:00:21.456Z\", \"seconds\": 21.333, \"blocks\": 97, \"timeouts\": 2, "
              "\"device_crc\": \"0x1234\", \"image_crc\": \"0x0c2f\", \"image_length\": 1573624, "
              "\"version\": \"1.4.0\"}\n");

    // What is not known is left out, not made up.
    DeviceRecord bare;
    bare.port = "/dev/ttyS0";
    bare.result = DeviceResult::Deadline;
    const std::string line = format_device_record(bare);
    for (const char* absent : {"usb_serial", "error", "device_crc", "image_crc"})
        EXPECT_EQ(line.find(absent), std::string::npos) << absent << " in " << line;
    EXPECT_NE(line.find("\"result\": \"deadline\", \"started\": \"1970-01-01T00:00:00.000Z\""), std::string::npos)
        << line;
}

TEST(DeviceRecord, EscapesWhatJsonCannotHoldAndKeepsUtf8)
{
    EXPECT_EQ(json_escaped("a\"b\\c\nd\re\tf"), "a\\\"b\\\\c\\nd\\re\\tf");
    EXPECT_EQ(json_escaped(std::string("\x01\x1f\x7f", 3)), "\\u0001\\u001f\\u007f");
    EXPECT_EQ(json_escaped("caf\xc3\xa9 \xe2\x82\xac"), "caf\xc3\xa9 \xe2\x82\xac"); // UTF-8 as it is
    // A code page's byte, a sequence cut short, an overlong form, a surrogate:
    // each byte taken as Latin-1, so the line stays valid UTF-8.
    EXPECT_EQ(json_escaped("caf\xe9"), "caf\\u00e9");
    EXPECT_EQ(json_escaped("\xe2\x82"), "\\u00e2\\u0082");
    EXPECT_EQ(json_escaped("\xc0\x80"), "\\u00c0\\u0080");
    EXPECT_EQ(json_escaped("\xed\xa0\x80"), "\\u00ed\\u00a0\\u0080");
}

class RecordFileTest : public testing::Test {
protected:
    void SetUp() override
    {
        folder = fs::temp_directory_path() / ("qdm7-record-test-" + std::to_string(std::random_device{}()));
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }
    fs::path folder;
};

TEST_F(RecordFileTest, AppendsWholeLinesFromManyThreadsAfterWhatWasThere)
{
    const fs::path path = folder / "report.jsonl";
    // An earlier run cut off in the middle of a line.
    std::ofstream(path, std::ios::binary) << "{\"port\": \"old\"}\n{\"port\": \"cut";
    RecordFile file;
    std::string error;
    ASSERT_TRUE(open_record_file(file, path.string().c_str(), error)) << error;
    constexpr int THREADS = 4;
    constexpr int EACH = 50;
    std::vector<std::thread> writers;
    for (int t = 0; t < THREADS; ++t) {
        writers.emplace_back([&file, t] {
            DeviceRecord record;
            record.port = "port-" + std::to_string(t) + std::string(300, 'x');
            for (int i = 0; i < EACH; ++i) {
                std::string failure;
                EXPECT_TRUE(append_record(file, format_device_record(record), failure)) << failure;
            }
        });
    }
    for (std::thread& writer : writers)
        writer.join();
    close_record_file(file);

    const std::vector<std::string> lines = lines_of(contents(path));
    ASSERT_EQ(lines.size(), 2u + THREADS * EACH);
    EXPECT_EQ(lines[1], "{\"port\": \"cut"); // left as it was, but on a line of its own
    for (std::size_t i = 2; i < lines.size(); ++i) {
        ASSERT_EQ(lines[i].rfind("{\"port\": \"port-", 0), 0u) << lines[i];
        ASSERT_EQ(lines[i].back(), '}') << lines[i];
    }
}

TEST_F(RecordFileTest, AFileThatCannotBeWrittenIsRefusedWithTheSystemsReason)
{
    RecordFile file;
    std::string error;
    EXPECT_FALSE(open_record_file(file, (folder / "no-such-folder" / "report.jsonl").string().c_str(), error));
    EXPECT_FALSE(error.empty());
    error.clear();
    EXPECT_FALSE(open_record_file(file, folder.string().c_str(), error)); // a folder
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(file.handle, -1);
}

} // namespace
