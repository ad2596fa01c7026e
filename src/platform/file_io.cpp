#include "platform/file_io.h"
#include <cerrno>
#include <unistd.h>

long long kyReadUpTo(int fd, uint64_t offset, void* data, size_t size) {
    if (fd < 0) return -1;
    uint8_t* p = static_cast<uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = offset == kyCurrentPosition ? ::read(fd, p + done, size - done)
                                                      : ::pread(fd, p + done, size - done,
                                                                static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<long long>(done);
}

bool kyReadExactlyAt(int fd, uint64_t offset, void* data, size_t size) {
    return kyReadUpTo(fd, offset, data, size) == static_cast<long long>(size);
}

bool kyWriteAll(int fd, uint64_t offset, const void* data, size_t size) {
    if (fd < 0) return false;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = offset == kyCurrentPosition ? ::write(fd, p + done, size - done)
                                                      : ::pwrite(fd, p + done, size - done,
                                                                 static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO; // nothing written and no reason given
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}
