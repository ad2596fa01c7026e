#pragma once
// Big-endian fields, as the Apple containers (AIFF, AIFF-C, CAF) store every number.
#include <cstdint>
#include <cstring>

namespace be {

inline void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void put32(uint8_t* p, uint32_t v) {
    put16(p, v >> 16);
    put16(p + 2, v);
}
inline void put64(uint8_t* p, uint64_t v) {
    put32(p, static_cast<uint32_t>(v >> 32));
    put32(p + 4, static_cast<uint32_t>(v));
}
inline uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t get32(const uint8_t* p) {
    return (uint32_t(get16(p)) << 16) | get16(p + 2);
}
inline uint64_t get64(const uint8_t* p) {
    return (uint64_t(get32(p)) << 32) | get32(p + 4);
}
inline void putDouble(uint8_t* p, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    put64(p, bits);
}
inline double getDouble(const uint8_t* p) {
    uint64_t bits = get64(p);
    double v;
    std::memcpy(&v, &bits, 8);
    return v;
}
inline bool isFourCC(const uint8_t* p, const char* id) {
    return std::memcmp(p, id, 4) == 0;
}

} // namespace be
