#include <windows.h>

#include "tools/qdm7-flash/records/record_file.h"

namespace {

HANDLE handle_of(const RecordFile& file) { return reinterpret_cast<HANDLE>(file.handle); }

std::string system_text(DWORD code)
{
    char text[512] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                        0, text, sizeof text, nullptr);
    std::string result(text, length);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
        result.pop_back();
    return result.empty() ? "error " + std::to_string(code) : result;
}

bool ends_inside_a_line(HANDLE handle)
{
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle, &size) || size.QuadPart == 0)
        return false;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>((size.QuadPart - 1) & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
    char last = '\n';
    DWORD got = 0;
    return ReadFile(handle, &last, 1, &got, &at) && got == 1 && last != '\n';
}

} // namespace

bool open_record_file(RecordFile& file, const char* path, std::string& error)
{
    file = RecordFile{};
    // Append access alone: every write goes to the end of the file, whole.
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE handle = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_DATA, share, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        handle = CreateFileA(path, FILE_APPEND_DATA, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = system_text(GetLastError());
        return false;
    }
    file.handle = reinterpret_cast<std::intptr_t>(handle);
    file.torn_tail = GetFileType(handle) == FILE_TYPE_DISK && ends_inside_a_line(handle);
    return true;
}

bool append_record(RecordFile& file, const std::string& line, std::string& error)
{
    const std::lock_guard<std::mutex> hold(record_write_lock());
    const std::string text = file.torn_tail ? "\n" + line : line;
    DWORD written = 0;
    if (!WriteFile(handle_of(file), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size()) {
        error = system_text(GetLastError());
        return false;
    }
    file.torn_tail = false;
    if (GetFileType(handle_of(file)) == FILE_TYPE_DISK && !FlushFileBuffers(handle_of(file))) {
        error = system_text(GetLastError());
        return false;
    }
    return true;
}

void close_record_file(RecordFile& file)
{
    if (file.handle != -1)
        CloseHandle(handle_of(file));
    file.handle = -1;
}
