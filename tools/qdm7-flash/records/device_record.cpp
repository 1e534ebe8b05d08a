#include "tools/qdm7-flash/records/device_record.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace {

// The length of the UTF-8 sequence that starts at text[at], or 0 when the
// bytes there are not one (stray continuation bytes, overlong forms,
// surrogates, values past U+10FFFF, a sequence cut short).
std::size_t utf8_sequence(const std::string& text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07u;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0u) != 0x80u)
            return 0;
        value = (value << 6) | (byte(at + i) & 0x3Fu);
    }
    const bool overlong = (length == 3 && value < 0x800) || (length == 4 && value < 0x10000);
    const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
    return overlong || surrogate || value > 0x10FFFF ? 0 : length;
}

void add_string(std::string& line, const char* name, const std::string& value)
{
    line += ", \"";
    line += name;
    line += "\": \"";
    line += json_escaped(value);
    line += '"';
}

void add_number(std::string& line, const char* name, const char* format, ...) QDM7_PRINTF(3, 4);
void add_number(std::string& line, const char* name, const char* format, ...)
{
    char value[48];
    va_list args;
    va_start(args, format);
    std::vsnprintf(value, sizeof value, format, args);
    va_end(args);
    line += ", \"";
    line += name;
    line += "\": ";
    line += value;
}

std::string crc_text(std::int32_t crc)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(crc & 0xFFFF));
    return text;
}

} // namespace

const char* device_result_name(DeviceResult result)
{
    switch (result) {
    case DeviceResult::Completed: return "completed";
    case DeviceResult::Failed: return "failed";
    case DeviceResult::Deadline: return "deadline";
    case DeviceResult::Lost: return "lost";
    case DeviceResult::Error: return "error";
    }
    return "error";
}

std::string json_escaped(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        char escape[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else if (c >= 0x80) {
            const std::size_t length = utf8_sequence(text, at);
            if (length == 0) {
                // A byte of another code page (a system text on Windows, say).
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
                ++at;
                continue;
            }
            out.append(text, at, length);
            at += length;
            continue;
        } else {
            out += static_cast<char>(c);
        }
        ++at;
    }
    return out;
}

std::string utc_iso8601(std::int64_t utc_ms)
{
    using namespace std::chrono;
    const sys_time<milliseconds> moment{milliseconds{utc_ms}};
    const sys_days day = floor<days>(moment);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{moment - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

std::string utc_stamp(std::int64_t utc_ms)
{
    std::string stamp;
    for (const char c : utc_iso8601(utc_ms).substr(0, 19))
        if (c != '-' && c != ':')
            stamp += c;
    return stamp + 'Z';
}

std::int64_t utc_now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string format_device_record(const DeviceRecord& record)
{
    std::string line = "{\"port\": \"" + json_escaped(record.port) + '"';
    if (!record.usb_serial.empty())
        add_string(line, "usb_serial", record.usb_serial);
    add_string(line, "result", device_result_name(record.result));
    if (!record.error.empty())
        add_string(line, "error", record.error);
    add_string(line, "started", utc_iso8601(record.started_utc_ms));
    add_string(line, "ended", utc_iso8601(record.ended_utc_ms));
    add_number(line, "seconds", "%.3f", record.elapsed_ms / 1000.0);
    add_number(line, "blocks", "%ld", static_cast<long>(record.blocks));
    add_number(line, "timeouts", "%lu", static_cast<unsigned long>(record.timeouts));
    if (record.device_crc != UNKNOWN_CRC)
        add_string(line, "device_crc", crc_text(record.device_crc));
    if (record.image_crc != UNKNOWN_CRC)
        add_string(line, "image_crc", crc_text(record.image_crc));
    add_number(line, "image_length", "%ld", static_cast<long>(record.image_length));
    add_string(line, "version", record.version);
    if (!record.image_sha256.empty())
        add_string(line, "image_sha256", record.image_sha256);
    if (!record.run_id.empty())
        add_string(line, "run_id", record.run_id);
    line += "}\n";
    return line;
}
