#include "platform/temp_file.h"
#include "core/manager.h"
#include "platform/file_io.h"
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <unistd.h>

namespace {
constexpr size_t kBufferBytes = size_t(1) << 18;
} // namespace

std::atomic<uint64_t> kyTempFile::s_inUse{0};
std::atomic<uint64_t> kyTempFile::s_peak{0};

kyTempFile::~kyTempFile() {
    close();
}

void kyTempFile::account(int64_t delta) {
    const uint64_t now =
        s_inUse.fetch_add(static_cast<uint64_t>(delta)) + static_cast<uint64_t>(delta);
    uint64_t peak = s_peak.load(std::memory_order_relaxed);
    while (now > peak && !s_peak.compare_exchange_weak(peak, now)) {
    }
}

bool kyTempFile::create() {
    close();
    m_fd = kyManager::OpenTempFile();
    if (m_fd < 0) {
        kySetErrorReason(KYERR_CREATE_FILE, errno);
        return false;
    }
    try {
        m_buffer.resize(kBufferBytes);
    } catch (const std::bad_alloc&) {
        close();
        return false;
    }
    m_bufferUsed = m_readPos = 0;
    m_reading = false;
    m_size = m_filePos = 0;
    return true;
}

void kyTempFile::close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    account(-static_cast<int64_t>(m_size));
    m_size = 0;
    m_bufferUsed = m_readPos = 0;
}

bool kyTempFile::flush() {
    if (m_fd < 0) return false;
    if (m_reading || m_bufferUsed == 0) return true;
    const uint64_t at = m_size - m_bufferUsed;
    const bool ok = kyWriteAll(m_fd, at, m_buffer.data(), m_bufferUsed);
    m_bufferUsed = 0;
    if (!ok) {
        // Its user reports "Couldn't write to file": say why.
        kySetErrorReason(KYERR_WRITE_FILE, errno);
        // What did not reach the disk is not part of the file.
        account(-static_cast<int64_t>(m_size - at));
        m_size = at;
    }
    return ok;
}

bool kyTempFile::write(const void* data, size_t size) {
    if (m_fd < 0) return false;
    if (m_reading) {
        // Writing after reading starts a new file.
        if (!restart()) return false;
    }
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        if (m_bufferUsed == m_buffer.size() && !flush()) return false;
        const size_t n = std::min(size, m_buffer.size() - m_bufferUsed);
        std::memcpy(m_buffer.data() + m_bufferUsed, p, n);
        m_bufferUsed += n;
        m_size += n;
        account(static_cast<int64_t>(n));
        p += n;
        size -= n;
    }
    return true;
}

bool kyTempFile::restart() {
    if (m_fd < 0) return false;
    m_bufferUsed = m_readPos = 0;
    m_reading = false;
    account(-static_cast<int64_t>(m_size));
    m_size = m_filePos = 0;
    return ::ftruncate(m_fd, 0) == 0;
}

bool kyTempFile::rewind() {
    if (m_fd < 0 || !flush()) return false;
    m_reading = true;
    m_bufferUsed = m_readPos = 0;
    m_filePos = 0;
    return true;
}

bool kyTempFile::read(void* data, size_t size) {
    if (m_fd < 0 || !m_reading) return false;
    uint8_t* p = static_cast<uint8_t*>(data);
    while (size > 0) {
        if (m_readPos == m_bufferUsed) {
            const long long got = kyReadUpTo(m_fd, m_filePos, m_buffer.data(), m_buffer.size());
            if (got <= 0) return false;
            m_filePos += static_cast<uint64_t>(got);
            m_bufferUsed = static_cast<size_t>(got);
            m_readPos = 0;
        }
        const size_t n = std::min(size, m_bufferUsed - m_readPos);
        std::memcpy(p, m_buffer.data() + m_readPos, n);
        m_readPos += n;
        p += n;
        size -= n;
    }
    return true;
}
