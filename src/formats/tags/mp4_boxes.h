#pragma once
// Boxes (atoms) of the ISO base media and QuickTime file formats held in memory: a 32-bit
// big-endian size (1: a 64-bit size follows the type; 0: the box runs to the end of its
// parent), a four-byte type, the payload. The walker never hands out a box that does not
// fit the bytes it was given.
#include <cstddef>
#include <cstdint>
#include <cstring>

struct kyMp4Box {
    uint8_t type[4] = {};
    const uint8_t* payload = nullptr;
    size_t size = 0; // payload bytes

    bool is(const char* fourcc) const { return std::memcmp(type, fourcc, 4) == 0; }
};

class kyMp4BoxWalker {
public:
    kyMp4BoxWalker(const uint8_t* data, size_t size) : m_data(data), m_size(data ? size : 0) {}

    // The next box; false at the end or at a box whose size does not fit (`damaged()`).
    bool next(kyMp4Box& box) {
        if (m_pos >= m_size || m_damaged) return false;
        const size_t left = m_size - m_pos;
        if (left < 8) return fail();
        const uint8_t* h = m_data + m_pos;
        uint64_t size =
            (uint64_t(h[0]) << 24) | (uint64_t(h[1]) << 16) | (uint64_t(h[2]) << 8) | h[3];
        size_t header = 8;
        if (size == 1) {
            if (left < 16) return fail();
            size = 0;
            for (int i = 8; i < 16; ++i) size = (size << 8) | h[i];
            header = 16;
        } else if (size == 0) {
            size = left;
        }
        if (size < header || size > left) return fail();
        std::memcpy(box.type, h + 4, 4);
        box.payload = h + header;
        box.size = static_cast<size_t>(size) - header;
        m_pos += static_cast<size_t>(size);
        return true;
    }
    bool damaged() const { return m_damaged; }

private:
    bool fail() {
        m_damaged = true;
        return false;
    }
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
    bool m_damaged = false;
};
