#pragma once
// SHA-1 (FIPS 180-4), for the MusicBrainz disc id: a few hundred bytes hashed once per disc.
#include <array>
#include <cstdint>
#include <string_view>

class kySha1 {
public:
    using Digest = std::array<uint8_t, 20>;

    void update(std::string_view bytes);
    // The digest of everything given so far; the object is spent afterwards.
    Digest finish();

    static Digest of(std::string_view bytes) {
        kySha1 h;
        h.update(bytes);
        return h.finish();
    }

private:
    void block(const uint8_t* p);
    uint32_t m_state[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    uint8_t m_buffer[64] = {};
    size_t m_buffered = 0;
    uint64_t m_bytes = 0;
};
