#include "metadata/sha1.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr uint32_t rotl(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}
} // namespace

void kySha1::block(const uint8_t* p) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 |
               uint32_t(p[4 * i + 2]) << 8 | uint32_t(p[4 * i + 3]);
    for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3], e = m_state[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999u;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1u;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDCu;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6u;
        }
        const uint32_t t = rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = t;
    }
    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
    m_state[4] += e;
}

void kySha1::update(std::string_view bytes) {
    auto p = reinterpret_cast<const uint8_t*>(bytes.data());
    size_t n = bytes.size();
    m_bytes += n;
    while (n > 0) {
        const size_t take = std::min(n, sizeof m_buffer - m_buffered);
        std::memcpy(m_buffer + m_buffered, p, take);
        m_buffered += take;
        p += take;
        n -= take;
        if (m_buffered == sizeof m_buffer) {
            block(m_buffer);
            m_buffered = 0;
        }
    }
}

kySha1::Digest kySha1::finish() {
    const uint64_t bits = m_bytes * 8;
    const uint8_t one = 0x80;
    update(std::string_view(reinterpret_cast<const char*>(&one), 1));
    const uint8_t zero = 0;
    while (m_buffered != 56) update(std::string_view(reinterpret_cast<const char*>(&zero), 1));
    uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    update(std::string_view(reinterpret_cast<const char*>(length), 8));
    Digest out;
    for (int i = 0; i < 5; ++i)
        for (int b = 0; b < 4; ++b)
            out[4 * i + b] = static_cast<uint8_t>(m_state[i] >> (24 - 8 * b));
    return out;
}
