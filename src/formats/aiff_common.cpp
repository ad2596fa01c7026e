#include "formats/aiff_common.h"
#include <cmath>
#include <cstring>
#include <limits>

namespace aiff {

void PutExtended(uint8_t* p, double value) {
    std::memset(p, 0, 10);
    if (value == 0 || std::isnan(value)) return;
    uint32_t sign = 0;
    if (value < 0) {
        sign = 0x8000;
        value = -value;
    }
    int exponent = 0;
    const double mantissa = std::frexp(value, &exponent); // value = mantissa x 2^exponent
    const int biased = exponent - 1 + 16383;
    if (std::isinf(value) || biased >= 0x7FFF) {
        be::put16(p, sign | 0x7FFF);
        return;
    }
    if (biased <= 0) return; // far below any rate: zero
    // The mantissa in [0.5, 1) with the integer bit on top of 64 bits; a double's 53 bits
    // fit exactly.
    be::put16(p, sign | static_cast<uint32_t>(biased));
    be::put64(p + 2, static_cast<uint64_t>(std::ldexp(mantissa, 64)));
}

double GetExtended(const uint8_t* p) {
    const uint32_t se = be::get16(p);
    const uint64_t mantissa = be::get64(p + 2);
    const int exponent = static_cast<int>(se & 0x7FFF);
    if (exponent == 0x7FFF) return std::numeric_limits<double>::quiet_NaN();
    const double v = std::ldexp(static_cast<double>(mantissa), exponent - 16383 - 63);
    return se & 0x8000 ? -v : v;
}

const Compression* FindCompression(const uint8_t* type) {
    for (const Compression& c : kCompressions)
        if (be::isFourCC(type, c.type)) return &c;
    return nullptr;
}

const Compression* CompressionFor(const char* subformat) {
    if (!subformat) return nullptr;
    const bool pcm = std::strncmp(subformat, "PCM ", 4) == 0;
    for (const Compression& c : kCompressions) {
        if (!c.name) continue;
        if (pcm ? !c.subformat : (c.subformat && std::strcmp(c.subformat, subformat) == 0))
            return &c;
    }
    return nullptr;
}

namespace {

// True when the head is a FORM of `type`.
bool isForm(const uint8_t* head, size_t size, const char* type) {
    return size >= 12 && be::isFourCC(head, "FORM") && be::isFourCC(head + 8, type);
}

} // namespace

int ProbeAiff(const uint8_t* head, size_t size) {
    if (isForm(head, size, "AIFF")) return 6;
    return isForm(head, size, "AIFC") ? 4 : 0;
}

int ProbeAifc(const uint8_t* head, size_t size) {
    if (isForm(head, size, "AIFC")) return 6;
    return isForm(head, size, "AIFF") ? 4 : 0;
}

} // namespace aiff
