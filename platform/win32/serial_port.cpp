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
    CloseHandle(as_handle(job.port_handle));
    job.port_handle = INVALID_PORT_HANDLE;
}

std::int32_t port_write(PortHandle handle, const std::uint8_t* buffer, std::int32_t length)
{
    if (length <= 0)
        return 0;
    DWORD written = 0;
    if (!WriteFile(as_handle(handle), buffer, static_cast<DWORD>(length), &written, nullptr))
        return 0;
    return static_cast<std::int32_t>(written);
}

std::int32_t port_read(PortHandle handle, std::uint8_t* buffer, std::int32_t capacity)
{
    if (capacity <= 0)
        return 0;
    DWORD count = 0;
    if (!ReadFile(as_handle(handle), buffer, static_cast<DWORD>(capacity), &count, nullptr))
        return 0;
    return static_cast<std::int32_t>(count);
}

void port_purge(PortHandle handle)
{
    PurgeComm(as_handle(handle), PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void port_flush(PortHandle handle) { FlushFileBuffers(as_handle(handle)); }
