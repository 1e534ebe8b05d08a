// The serial port on Windows: COM ports probed by name, opened for
// synchronous exclusive access, and read with the comm time-outs that make
// one read return one reply frame.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/report.h"
#include "platform/serial_port.h"
#include "platform/serial_port_common.h"

PortEntry port_table[PORT_TABLE_SIZE];

namespace {

HANDLE as_handle(PortHandle handle) { return reinterpret_cast<HANDLE>(handle); }

// Errors of ReadFile and WriteFile that mean the device has gone rather
// than the line being silent. USB serial drivers differ in which one they
// give once the adapter is pulled; Wine gives ERROR_NOT_READY when the
// terminal behind a COM port has hung up. ERROR_OPERATION_ABORTED is also
// what a cancelled wait gives: a caller that cancels its own I/O checks for
// that first.
bool means_gone(DWORD error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_OPERATION_ABORTED:
        return true;
    default:
        return false;
    }
}

// The open ports found gone, until they are closed. Shared by every port, so
// guarded: ports on different threads note and forget their losses at once.
constexpr int LOST_SLOTS = 64;
HANDLE lost_ports[LOST_SLOTS];
SRWLOCK lost_ports_lock = SRWLOCK_INIT;

// Records the port as gone if the error of its last call says so. A port
// that finds no free slot is still told gone now, and again by
// ClearCommError whenever port_lost asks.
bool note_failure(HANDLE port, DWORD error)
{
    if (!means_gone(error))
        return false;
    AcquireSRWLockExclusive(&lost_ports_lock);
    HANDLE* free_slot = nullptr;
    bool noted = false;
    for (HANDLE& slot : lost_ports) {
        noted = noted || slot == port;
        if (slot == nullptr && free_slot == nullptr)
            free_slot = &slot;
    }
    if (!noted && free_slot != nullptr)
        *free_slot = port;
    ReleaseSRWLockExclusive(&lost_ports_lock);
    return true;
}

bool noted_lost(HANDLE port)
{
    AcquireSRWLockShared(&lost_ports_lock);
    bool noted = false;
    for (HANDLE slot : lost_ports)
        noted = noted || (slot != nullptr && slot == port);
    ReleaseSRWLockShared(&lost_ports_lock);
    return noted;
}

// Before the handle is closed: once it is, the same value may at once be
// another thread's newly opened port.
void forget_lost(HANDLE port)
{
    AcquireSRWLockExclusive(&lost_ports_lock);
    for (HANDLE& slot : lost_ports) {
        if (slot == port)
            slot = nullptr;
    }
    ReleaseSRWLockExclusive(&lost_ports_lock);
}

// The reply rules set on open ports (set_reply_rule), guarded as the lost
// ports are. A port that finds no free slot reads as configured: slower, but
// the same replies.
struct ReplyRule {
    HANDLE port = nullptr;
    ReplyComplete complete = nullptr;
    std::uint32_t quiet_ms = 0;
    COMMTIMEOUTS configured{}; // as configure_port left them
};
constexpr int RULE_SLOTS = 64;
ReplyRule reply_rules[RULE_SLOTS];
SRWLOCK reply_rules_lock = SRWLOCK_INIT;

ReplyRule rule_of(HANDLE port)
{
    ReplyRule found;
    AcquireSRWLockShared(&reply_rules_lock);
    for (const ReplyRule& rule : reply_rules)
        if (rule.port == port)
            found = rule;
    ReleaseSRWLockShared(&reply_rules_lock);
    return found;
}

void forget_rule(HANDLE port)
{
    AcquireSRWLockExclusive(&reply_rules_lock);
    for (ReplyRule& rule : reply_rules)
        if (rule.port == port)
            rule = ReplyRule{};
    ReleaseSRWLockExclusive(&reply_rules_lock);
}

// One ReadFile under the port's current time-outs.
std::int32_t read_piece(HANDLE port, std::uint8_t* buffer, std::int32_t capacity)
{
    DWORD count = 0;
    if (!ReadFile(port, buffer, static_cast<DWORD>(capacity), &count, nullptr)) {
        note_failure(port, GetLastError());
        return 0;
    }
    return static_cast<std::int32_t>(count);
}

// What comes before a device's name in its path.
constexpr const char* DEVICE_PREFIX = "\\\\.\\";

// Whether the port opens now: the only reliable test that it is present and
// free.
bool port_opens(const char* path)
{
    std::FILE* probe = std::fopen(path, "r");
    if (probe == nullptr)
        return false;
    std::fclose(probe);
    return true;
}

// Whether the device name of \\.\NAME is defined: a port that another program
// holds still has one.
bool device_name_defined(const char* path)
{
    if (std::strncmp(path, DEVICE_PREFIX, 4) != 0)
        return false;
    char target[PORT_PATH_SIZE];
    return QueryDosDeviceA(path + 4, target, sizeof target) != 0;
}

// QDM7_PORT_GLOB's patterns, or none when it is not set.
std::vector<std::string> port_patterns()
{
    const char* configured = std::getenv("QDM7_PORT_GLOB");
    return configured != nullptr ? split_patterns(configured, ";:") : std::vector<std::string>{};
}

// A COM port's name ("com3") and its path ("\\.\com3") against patterns:
// either may match.
bool chosen_by(const std::vector<std::string>& patterns, const char* path)
{
    if (patterns.empty())
        return true;
    for (const std::string& pattern : patterns)
        if (port_name_matches(pattern, path) || port_name_matches(pattern, path + 4))
            return true;
    return false;
}

std::vector<std::string> probe_ports(bool usable_only, const std::vector<std::string>& patterns)
{
    std::vector<std::string> paths;
    for (int number = 1; number <= MAX_PORT_NUMBER; ++number) {
        char path[PORT_PATH_SIZE];
        std::snprintf(path, sizeof path, "\\\\.\\com%d", number);
        if (chosen_by(patterns, path) && (port_opens(path) || (!usable_only && device_name_defined(path))))
            paths.emplace_back(path);
    }
    return paths;
}

} // namespace

std::vector<std::string> port_paths(bool usable_only) { return probe_ports(usable_only, port_patterns()); }

std::string port_path_of(const std::string& name)
{
    const bool prefixed = name.size() > 4 && name.compare(0, 4, DEVICE_PREFIX) == 0;
    const std::string device = prefixed ? name.substr(4) : name;
    // COM, then a number from 1 without leading zeros.
    const bool com = device.size() > 3 && device.size() <= 6 && _strnicmp(device.c_str(), "com", 3) == 0 &&
                     device[3] >= '1' && device[3] <= '9' &&
                     device.find_first_not_of("0123456789", 3) == std::string::npos;
    return com ? std::string(DEVICE_PREFIX) + "com" + device.substr(3) : name;
}

bool port_present(const char* path) { return path != nullptr && (port_opens(path) || device_name_defined(path)); }

int discover_ports(const PortList& list)
{
    int found = 0;
    for (const std::string& path : probe_ports(true, {})) {
        if (list.add != nullptr)
            list.add(list.context, path.c_str());
        PortEntry& entry = port_table[found++];
        entry.number = std::atoi(path.c_str() + 7); // after "\\.\com"
        std::snprintf(entry.path, sizeof entry.path, "%s", path.c_str());
    }
    if (found > 0 && list.select_first != nullptr)
        list.select_first(list.context);
    return found;
}

namespace {

// Only a communications device answers GetCommState; opening a file this
// way neither writes nor truncates it.
bool is_comm_device(PortHandle handle)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    return GetCommState(as_handle(handle), &dcb) != 0;
}

} // namespace

PortHandle open_port(const char* path, PortFailure& failure, bool serial_only)
{
    if (!port_path_given(path, failure))
        return INVALID_PORT_HANDLE;
    const HANDLE opened = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        failure.kind = PortFailureKind::System;
        failure.code = error;
        failure.absent = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        // A COM port another program has open refuses with access denied.
        failure.busy = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
        const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                       0, failure.text, sizeof failure.text, nullptr);
        // The system's text ends with a line break, which a message line does not want.
        std::size_t end = n < sizeof failure.text ? n : sizeof failure.text - 1;
        while (end > 0 && (failure.text[end - 1] == '\r' || failure.text[end - 1] == '\n' ||
                           failure.text[end - 1] == ' '))
            --end;
        failure.text[end] = '\0';
        if (end == 0)
            std::snprintf(failure.text, sizeof failure.text, "error %lu", static_cast<unsigned long>(error));
        // Left for whoever reports it, as the system left it.
        SetLastError(error);
        return INVALID_PORT_HANDLE;
    }
    PortHandle handle = reinterpret_cast<PortHandle>(opened);
    if (!serial_only || is_comm_device(handle))
        return handle;
    close_port(handle);
    failure.kind = PortFailureKind::NotSupported;
    std::snprintf(failure.text, sizeof failure.text, "not a serial port");
    return INVALID_PORT_HANDLE;
}

bool configure_port(PortHandle handle, std::uint32_t baud, std::uint32_t interval_ms, PortFailure& failure)
{
    failure = PortFailure{};
    const HANDLE port = as_handle(handle);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS timeouts{};
    const bool state = GetCommState(port, &dcb) != 0;
    if (!state || !GetCommTimeouts(port, &timeouts)) {
        failure.kind = PortFailureKind::System;
        failure.code = GetLastError();
        std::snprintf(failure.text, sizeof failure.text, state ? "Could not read comm timeouts" : "Could not get Port State");
        return false;
    }

    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 0; // parity is generated, not tested on input
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;

    // The interval ends a reply; the constant ends a read that saw nothing.
    timeouts.ReadIntervalTimeout = interval_ms;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = READ_TOTAL_MS;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0; // writes wait until done

    // The job starts even with whatever settings the port kept.
    SetCommState(port, &dcb);
    SetCommTimeouts(port, &timeouts);
    SetCommMask(port, 0);
    return true;
}

void set_reply_rule(PortHandle handle, ReplyComplete complete, std::uint32_t quiet_ms)
{
    const HANDLE port = as_handle(handle);
    forget_rule(port);
    COMMTIMEOUTS configured{};
    if (complete == nullptr || !GetCommTimeouts(port, &configured))
        return;
    AcquireSRWLockExclusive(&reply_rules_lock);
    for (ReplyRule& rule : reply_rules) {
        if (rule.port == nullptr) {
            rule = ReplyRule{port, complete, quiet_ms, configured};
            break;
        }
    }
    ReleaseSRWLockExclusive(&reply_rules_lock);
}

void close_port(PortHandle& handle)
{
    if (handle == INVALID_PORT_HANDLE)
        return;
    forget_lost(as_handle(handle));
    forget_rule(as_handle(handle));
    CloseHandle(as_handle(handle));
    handle = INVALID_PORT_HANDLE;
}

bool port_lost(PortHandle handle)
{
    if (noted_lost(as_handle(handle)))
        return true;
    // A read may come back empty and successful from a port that has gone
    // (Wine does so for a hung-up terminal); asking for the port's status
    // tells silence from absence.
    DWORD errors = 0;
    return !ClearCommError(as_handle(handle), &errors, nullptr) &&
           note_failure(as_handle(handle), GetLastError());
}

void port_abandon(PortHandle handle)
{
    PurgeComm(as_handle(handle), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

std::int32_t port_write(PortHandle handle, const std::uint8_t* buffer, std::int32_t length)
{
    if (length <= 0)
        return 0;
    DWORD written = 0;
    if (!WriteFile(as_handle(handle), buffer, static_cast<DWORD>(length), &written, nullptr)) {
        note_failure(as_handle(handle), GetLastError());
        return 0;
    }
    return static_cast<std::int32_t>(written);
}

std::int32_t port_read(PortHandle handle, std::uint8_t* buffer, std::int32_t capacity)
{
    if (capacity <= 0)
        return 0;
    const HANDLE port = as_handle(handle);
    const ReplyRule rule = rule_of(port);
    if (rule.complete == nullptr)
        return read_piece(port, buffer, capacity);
    // Pieces that end at the rule's short quiet: a piece that completes a
    // reply ends the read; after one that does not, the next must begin
    // within the configured interval, and all within the configured total.
    const std::uint32_t began = GetTickCount();
    const DWORD total = rule.configured.ReadTotalTimeoutConstant;
    COMMTIMEOUTS timeouts = rule.configured;
    timeouts.ReadIntervalTimeout = rule.quiet_ms;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    std::int32_t count = 0;
    for (;;) {
        DWORD wait = total;
        if (count > 0) {
            const DWORD spent = GetTickCount() - began;
            if (spent >= total)
                break;
            const DWORD left = total - spent;
            wait = left < rule.configured.ReadIntervalTimeout ? left : rule.configured.ReadIntervalTimeout;
        }
        timeouts.ReadTotalTimeoutConstant = wait;
        SetCommTimeouts(port, &timeouts);
        const std::int32_t n = read_piece(port, buffer + count, capacity - count);
        count += n;
        if (n == 0 || count >= capacity || rule.complete(buffer, count))
            break;
    }
    return count;
}

void port_purge(PortHandle handle)
{
    PurgeComm(as_handle(handle), PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void port_flush(PortHandle handle) { FlushFileBuffers(as_handle(handle)); }
