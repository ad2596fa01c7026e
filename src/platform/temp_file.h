#pragma once
// kyTempFile: a scratch file with no name (unlinked as soon as it is made), written and
// read back sequentially through a buffer. Nothing of it outlives the object, nor a
// crash. Every write either lands whole or reports failure (a full disk).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

class kyTempFile {
public:
    kyTempFile() = default;
    kyTempFile(const kyTempFile&) = delete;
    kyTempFile& operator=(const kyTempFile&) = delete;
    ~kyTempFile();

    // Makes the file in the temporary directory; false when none can be made.
    bool create();
    bool isOpen() const { return m_fd >= 0; }
    void close();

    // Appends at the write position. False when the bytes could not be stored.
    bool write(const void* data, size_t size);
    // Stores what the buffer holds.
    bool flush();
    // Empties the file and writes from its start again.
    bool restart();
    // Reads from the start (what was written is flushed first).
    bool rewind();
    // Exactly `size` bytes from the read position, or false (end of the file, read error).
    bool read(void* data, size_t size);

    // Bytes written to the file so far.
    uint64_t size() const { return m_size; }

    // Bytes held by every open temporary file of the process, now and at most so far.
    static uint64_t bytesInUse() { return s_inUse.load(std::memory_order_relaxed); }
    static uint64_t peakBytesInUse() { return s_peak.load(std::memory_order_relaxed); }
    static void resetPeak() { s_peak.store(bytesInUse(), std::memory_order_relaxed); }

private:
    void account(int64_t delta);

    int m_fd = -1;
    std::vector<uint8_t> m_buffer; // pending writes, or read-ahead
    size_t m_bufferUsed = 0;       // bytes pending (writing) or held (reading)
    size_t m_readPos = 0;          // next byte of the buffer when reading
    bool m_reading = false;
    uint64_t m_size = 0;    // bytes in the file, pending ones included
    uint64_t m_filePos = 0; // where the next read of the file starts
    static std::atomic<uint64_t> s_inUse;
    static std::atomic<uint64_t> s_peak;
};
