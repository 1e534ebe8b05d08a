#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/qdm7-flash/records/record_file.h"

namespace {

int fd_of(const RecordFile& file) { return static_cast<int>(file.handle); }

bool ends_inside_a_line(int fd)
{
    struct stat info {};
    char last = '\n';
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
           pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n';
}

} // namespace

bool open_record_file(RecordFile& file, const char* path, std::string& error)
{
    file = RecordFile{};
    constexpr int flags = O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY;
    // Read access only to look at the last byte; a file we may only write
    // is appended to without that look.
    int fd = open(path, O_RDWR | flags, 0644);
    if (fd < 0 && errno == EACCES)
        fd = open(path, O_WRONLY | flags, 0644);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    file.handle = fd;
    file.torn_tail = ends_inside_a_line(fd);
    return true;
}

bool append_record(RecordFile& file, const std::string& line, std::string& error)
{
    const std::lock_guard<std::mutex> hold(record_write_lock());
    const int fd = fd_of(file);
    const std::string text = file.torn_tail ? "\n" + line : line;
    struct stat before {};
    const bool regular = fstat(fd, &before) == 0 && S_ISREG(before.st_mode);
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        error = n < 0 ? std::strerror(errno) : "nothing written";
        // A line cut short (the disk full, say) would spoil the file for
        // every reader: taken back. Another program appending at the same
        // moment could be cut too; only ours is expected to.
        if (written > 0 && regular && ftruncate(fd, before.st_size) != 0)
            error += "; a partial line is left in the file";
        return false;
    }
    file.torn_tail = false;
    // Pipes and terminals cannot be synced, and need not be.
    if (fsync(fd) != 0 && errno != EINVAL && errno != ENOTSUP && errno != EROFS) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

void close_record_file(RecordFile& file)
{
    if (file.handle >= 0)
        close(fd_of(file));
    file.handle = -1;
}
