#pragma once
// kyBufferedFile: positioned writes to a file descriptor gathered into large blocks, so that
// a writer handing over one CD sector at a time still makes few system calls. Writes that
// continue the buffered run, or overwrite bytes still in it, stay in memory; any other
// write, and every read of the file, first stores the buffer, so that what a caller reads
// back is always what it wrote. The descriptor stays the caller's.
#include <cstddef>
#include <cstdint>
#include <vector>

class kyBufferedFile {
public:
    static constexpr size_t kDefaultCapacity = size_t(1) << 18;

    explicit kyBufferedFile(int fd = -1, size_t capacity = kDefaultCapacity);
    kyBufferedFile(const kyBufferedFile&) = delete;
    kyBufferedFile& operator=(const kyBufferedFile&) = delete;

    // Starts over on `fd`, dropping anything not stored (call flush first to keep it).
    void reset(int fd);
    int fd() const { return m_fd; }

    // All of `data` at `offset`, or false (nothing is stored on a failure; what was buffered
    // before is lost too, and the caller's file is then incomplete).
    bool writeAt(uint64_t offset, const void* data, size_t size);
    // Exactly `size` bytes at `offset`, as written so far, or false.
    bool readAt(uint64_t offset, void* data, size_t size);
    // Stores what the buffer holds; false when the file refused it (a full disk).
    bool flush();

    // Bytes waiting in the buffer.
    size_t pending() const { return m_used; }

private:
    int m_fd;
    size_t m_capacity;
    std::vector<uint8_t> m_buffer; // made on the first buffered write
    uint64_t m_start = 0;          // file offset of m_buffer[0]
    size_t m_used = 0;
};
