// The --report file: device records appended whole, one line each, and on
// the disk before the next step. One implementation per operating system.
//
// A record is formatted whole first, then written with one write on a
// descriptor opened for appending, under record_write_lock(), then synced.
// A file left ending inside a line (a power cut during an earlier run) gets
// a line end before the first new record, so the new records stay whole.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

struct RecordFile {
    std::intptr_t handle = -1; // a descriptor, or a Windows HANDLE; -1 while closed
    bool torn_tail = false;    // the file ends inside a line
};

// Opens (creating it if need be) the file at path for appending. False,
// with the system's text in error, when it cannot be written.
bool open_record_file(RecordFile& file, const char* path, std::string& error);
// Appends one whole line (line ends in "\n") and syncs it to the disk. False,
// with the system's text in error, when it could not be written; a line
// written only in part is taken back where the system allows it.
bool append_record(RecordFile& file, const std::string& line, std::string& error);
void close_record_file(RecordFile& file);

// Held while a record is written. An exit forced from another thread takes
// it first, so that the process never ends in the middle of a record. Never
// destroyed: that thread may take it while the process exits.
inline std::mutex& record_write_lock()
{
    static std::mutex& lock = *new std::mutex;
    return lock;
}
