// The record of one device's update, for traceability: one JSON object on
// one line, appended to the --report file when that device's update ends.
#pragma once

#include <cstdint>
#include <string>

// How one device's update ended.
enum class DeviceResult : std::uint8_t {
    Completed, // verified and reset into the new firmware
    Failed,    // the device's CRC differs from the image's
    Deadline,  // --deadline passed first
    Lost,      // the port went away and did not come back
    Error,     // the port could not be opened or used
};

// The word a record and the summary use for a result.
const char* device_result_name(DeviceResult result);

inline constexpr std::int32_t UNKNOWN_CRC = -1;

struct DeviceRecord {
    std::string port;
    std::string usb_serial; // empty: not known (not a USB port)
    DeviceResult result = DeviceResult::Error;
    std::string error;      // empty: none
    std::int64_t started_utc_ms = 0; // wall clock, milliseconds since 1970-01-01 UTC
    std::int64_t ended_utc_ms = 0;
    std::uint32_t elapsed_ms = 0;    // measured on the monotonic clock
    std::int32_t blocks = 0;         // acknowledged by the device
    std::uint32_t timeouts = 0;      // requests resent after a time-out
    std::int32_t device_crc = UNKNOWN_CRC; // 0..0xFFFF once the device reported it
    std::int32_t image_crc = UNKNOWN_CRC;
    std::int32_t image_length = 0;   // the image as carried, before padding
    std::string version;             // of this program
    std::string image_sha256;        // of the image as carried, hex; empty: left out
    std::string run_id;              // the --watch run that updated it; empty: left out
};

// The record as one line of JSON, ending in "\n": port, usb_serial (when
// known), result, error (when there is one), started and ended (UTC, ISO
// 8601 with milliseconds), seconds, blocks, timeouts, device_crc and
// image_crc (hex, when known), image_length, version, image_sha256 and
// run_id (when set). Text is escaped as
// JSON requires; bytes that are not UTF-8 are taken as Latin-1.
std::string format_device_record(const DeviceRecord& record);

// "2025-03-01T09:41:07.250Z" for milliseconds since 1970-01-01 UTC.
std::string utc_iso8601(std::int64_t utc_ms);
// "20250301T094107Z", the same to the second, for names.
std::string utc_stamp(std::int64_t utc_ms);
// The wall clock now, in milliseconds since 1970-01-01 UTC.
std::int64_t utc_now_ms();
// text as the inside of a JSON string.
std::string json_escaped(const std::string& text);
