#include "platform/buffered_file.h"
#include "platform/file_io.h"
#include <algorithm>
#include <cstring>
#include <new>

kyBufferedFile::kyBufferedFile(int fd, size_t capacity)
    : m_fd(fd), m_capacity(std::max<size_t>(capacity, 1)) {}

void kyBufferedFile::reset(int fd) {
    m_fd = fd;
    m_used = 0;
    m_start = 0;
}

bool kyBufferedFile::flush() {
    if (m_used == 0) return true;
    const size_t n = m_used;
    m_used = 0;
    return kyWriteAll(m_fd, m_start, m_buffer.data(), n);
}

bool kyBufferedFile::writeAt(uint64_t offset, const void* data, size_t size) {
    if (m_fd < 0) return false;
    if (size == 0) return true;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    const uint64_t end = m_start + m_used;
    // A patch of bytes still buffered (a header written a moment ago).
    if (m_used > 0 && offset >= m_start && offset <= end && size <= end - offset) {
        std::memcpy(m_buffer.data() + (offset - m_start), p, size);
        return true;
    }
    if (m_used > 0 && offset != end && !flush()) return false;
    if (m_used == 0) m_start = offset;
    if (m_buffer.size() < m_capacity) {
        try {
            m_buffer.resize(m_capacity);
        } catch (const std::bad_alloc&) {
            // No buffer: write through, as slowly as before but correctly.
            return flush() && kyWriteAll(m_fd, offset, p, size);
        }
    }
    while (size > 0) {
        if (m_used == 0 && size >= m_capacity) {
            // A block at least as large as the buffer goes straight to the file.
            return kyWriteAll(m_fd, m_start, p, size);
        }
        const size_t n = std::min(size, m_capacity - m_used);
        std::memcpy(m_buffer.data() + m_used, p, n);
        m_used += n;
        p += n;
        size -= n;
        if (m_used == m_capacity) {
            const uint64_t next = m_start + m_used;
            if (!flush()) return false;
            m_start = next;
        }
    }
    return true;
}

bool kyBufferedFile::readAt(uint64_t offset, void* data, size_t size) {
    // Whatever is buffered goes first, also when the range read lies before it: a hole
    // up to the buffered bytes reads as zeros only once they are in the file. Reads are
    // rare (a header read back), so this costs nothing.
    if (!flush()) return false;
    return kyReadExactlyAt(m_fd, offset, data, size);
}
