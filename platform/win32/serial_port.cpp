// The serial port on Windows: COM ports probed by name, opened for
// synchronous exclusive access, and read with the comm time-outs that make
// one read return one reply frame.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/report.h"
#include "platform/serial_port.h"

PortEntry port_table[PORT_TABLE_SIZE];

namespace {

HANDLE as_handle(PortHandle handle) { return reinterpret_cast<HANDLE>(handle); }

// Without a byte at all, a read gives up after this long.
constexpr DWORD READ_TOTAL_TIMEOUT_MS = READ_TOTAL_MS;

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

// The open ports found gone, until they are closed.
constexpr int LOST_SLOTS = 16;
HANDLE lost_ports[LOST_SLOTS];

// Records the port as gone if the error of its last call says so.
bool note_failure(HANDLE port, DWORD error)
{
    if (!means_gone(error))
        return false;
    for (HANDLE& slot : lost_ports) {
        if (slot == port)
            return true;
    }
    for (HANDLE& slot : lost_ports) {
        if (slot == nullptr) {
            slot = port;
            break;
        }
    }
    return true;
}

void forget_lost(HANDLE port)
{
    for (HANDLE& slot : lost_ports) {
        if (slot == port)
            slot = nullptr;
    }
}

} // namespace

int discover_ports(const PortList& list)
{
    int found = 0;
    for (int number = 1; number <= MAX_PORT_NUMBER; ++number) {
        char path[PORT_PATH_SIZE];
        std::snprintf(path, sizeof path, "\\\\.\\com%d", number);
        // Opening is the only reliable test that a port is present and free.
        std::FILE* probe = std::fopen(path, "r");
        if (probe == nullptr)
            continue;
        std::fclose(probe);
        if (list.add != nullptr)
            list.add(list.context, path);
        PortEntry& entry = port_table[found++];
        entry.number = number;
        std::memcpy(entry.path, path, sizeof path);
    }
    if (found > 0 && list.select_first != nullptr)
        list.select_first(list.context);
    return found;
}

void open_port(UpdateJob& job)
{
    if (job.port_handle != INVALID_PORT_HANDLE)
        CloseHandle(as_handle(job.port_handle));
    trace(" . Opening serial port %s at %ld baud\n", job.port_path,
          static_cast<long>(job.baud_rate));
    const HANDLE handle = CreateFileA(job.port_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    job.port_handle = reinterpret_cast<PortHandle>(handle);
    if (handle == INVALID_HANDLE_VALUE)
        fatal_error("Unable to open serial port. In use already, or not present");
}

bool open_serial_port(UpdateJob& job)
{
    open_port(job);
    // Opening a file this way neither writes nor truncates it; only a
    // communications device answers GetCommState.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(as_handle(job.port_handle), &dcb))
        return true;
    close_port(job);
    return false;
}

int configure_port(PortHandle handle, std::uint32_t baud, std::uint32_t interval_ms)
{
    const HANDLE port = as_handle(handle);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        std::fprintf(stderr, "Could not get Port State\n");
        return -1;
    }
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(port, &timeouts)) {
        std::fprintf(stderr, "Could not read comm timeouts\n");
        return -1;
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
    timeouts.ReadTotalTimeoutConstant = READ_TOTAL_TIMEOUT_MS;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0; // writes wait until done

    // The job starts even with whatever settings the port kept.
    SetCommState(port, &dcb);
    SetCommTimeouts(port, &timeouts);
    SetCommMask(port, 0);
    return 0;
}

void close_port(UpdateJob& job)
{
    forget_lost(as_handle(job.port_handle));
    CloseHandle(as_handle(job.port_handle));
    job.port_handle = INVALID_PORT_HANDLE;
}

bool port_lost(PortHandle handle)
{
    for (HANDLE slot : lost_ports) {
        if (slot != nullptr && slot == as_handle(handle))
            return true;
    }
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
    DWORD count = 0;
    if (!ReadFile(as_handle(handle), buffer, static_cast<DWORD>(capacity), &count, nullptr)) {
        note_failure(as_handle(handle), GetLastError());
        return 0;
    }
    return static_cast<std::int32_t>(count);
}

void port_purge(PortHandle handle)
{
    PurgeComm(as_handle(handle), PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void port_flush(PortHandle handle) { FlushFileBuffers(as_handle(handle)); }
