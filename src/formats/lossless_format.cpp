#include "formats/lossless_format.h"
#include "core/data_format.h"
#include "core/quantizer.h"
#include <charconv>
#include <cstring>

bool kyParseLosslessSubformat(const std::string& name, kyLosslessFormat& format) {
    format = kyLosslessFormat{};
    static const std::string kPrefix = "Lossless ";
    if (name.compare(0, kPrefix.size(), kPrefix) != 0) return false;
    std::string rest = name.substr(kPrefix.size());
    static const std::string kMaximum = "(maximum compression)";
    if (rest.size() > kMaximum.size() &&
        rest.compare(rest.size() - kMaximum.size(), kMaximum.size(), kMaximum) == 0) {
        format.maximum = true;
        rest.resize(rest.size() - kMaximum.size());
        while (!rest.empty() && rest.back() == ' ') rest.pop_back();
    }
    if (rest == "Float") {
        format.isFloat = true;
        format.bits = 32;
        return true;
    }
    static const std::string kBit = "-bit";
    if (rest.size() <= kBit.size() || rest.compare(rest.size() - kBit.size(), kBit.size(), kBit))
        return false;
    const char* end = rest.data() + rest.size() - kBit.size();
    uint32_t bits = 0;
    auto r = std::from_chars(rest.data(), end, bits);
    if (r.ec != std::errc() || r.ptr != end || bits < 1 || bits > 32) return false;
    format.bits = bits;
    return true;
}

std::string kyLosslessSubformatName(uint32_t bits, bool isFloat) {
    return isFloat ? "Lossless Float" : "Lossless " + std::to_string(bits) + "-bit";
}

std::string kyLosslessRawId(const kyLosslessFormat& f) {
    if (f.isFloat) return "Float 32-bit";
    switch (f.bits) {
    case 8:
        return "PCM 8-bit";
    case 16:
        return "PCM 16-bit";
    case 24:
        return "PCM 24-bit";
    case 32:
        return "PCM 32-bit";
    default:
        return {};
    }
}

void kyPlanesToIntegers(int32_t* dst, float* const* planes, uint32_t channels, uint32_t first,
                        uint32_t frames, kyQuantizer* q, uint32_t bits) {
    if (q && q->isPlainRounding()) q = nullptr;
    for (uint32_t c = 0; c < channels; ++c) {
        const float* s = planes[c] + first;
        int32_t* d = dst + c;
        if (q)
            for (uint32_t i = 0; i < frames; ++i) d[size_t(i) * channels] = q->quantize(c, s[i]);
        else
            for (uint32_t i = 0; i < frames; ++i)
                d[size_t(i) * channels] = kyRoundSample(s[i], bits);
    }
}

namespace {
uint32_t widthOf(const std::string& id) {
    if (id == "PCM 8-bit") return 1;
    if (id == "PCM 16-bit") return 2;
    if (id == "PCM 24-bit") return 3;
    if (id == "PCM 32-bit" || id == "Float 32-bit") return 4;
    return 0;
}
} // namespace

bool kyRawToIntegers(int32_t* dst, const uint8_t* src, size_t samples, const std::string& id) {
    switch (widthOf(id)) {
    case 1:
        for (size_t i = 0; i < samples; ++i) dst[i] = static_cast<int8_t>(src[i]);
        return true;
    case 2:
        for (size_t i = 0; i < samples; ++i)
            dst[i] = static_cast<int16_t>(src[2 * i] | (src[2 * i + 1] << 8));
        return true;
    case 3:
        for (size_t i = 0; i < samples; ++i) {
            const uint8_t* p = src + 3 * i;
            dst[i] = static_cast<int32_t>((uint32_t(p[0]) << 8) | (uint32_t(p[1]) << 16) |
                                          (uint32_t(p[2]) << 24)) >>
                     8;
        }
        return true;
    case 4:
        std::memcpy(dst, src, samples * 4);
        return true;
    default:
        return false;
    }
}

bool kyIntegersToRaw(uint8_t* dst, const int32_t* src, size_t samples, const std::string& id) {
    switch (widthOf(id)) {
    case 1:
        for (size_t i = 0; i < samples; ++i) dst[i] = static_cast<uint8_t>(src[i]);
        return true;
    case 2:
        for (size_t i = 0; i < samples; ++i) {
            dst[2 * i] = static_cast<uint8_t>(src[i]);
            dst[2 * i + 1] = static_cast<uint8_t>(src[i] >> 8);
        }
        return true;
    case 3:
        for (size_t i = 0; i < samples; ++i) {
            dst[3 * i] = static_cast<uint8_t>(src[i]);
            dst[3 * i + 1] = static_cast<uint8_t>(src[i] >> 8);
            dst[3 * i + 2] = static_cast<uint8_t>(src[i] >> 16);
        }
        return true;
    case 4:
        std::memcpy(dst, src, samples * 4);
        return true;
    default:
        return false;
    }
}

void kyIntegersToPlanes(float* const* planes, const int32_t* src, uint32_t channels, uint32_t first,
                        uint32_t frames, uint32_t bits, bool isFloat) {
    const double scale = 1.0 / static_cast<double>(uint64_t(1) << (bits > 0 ? bits - 1 : 0));
    for (uint32_t c = 0; c < channels; ++c) {
        float* d = planes[c] + first;
        const int32_t* s = src + c;
        if (isFloat) {
            for (uint32_t i = 0; i < frames; ++i) std::memcpy(&d[i], &s[size_t(i) * channels], 4);
        } else if (bits <= 24) {
            const float f = static_cast<float>(scale);
            for (uint32_t i = 0; i < frames; ++i)
                d[i] = static_cast<float>(s[size_t(i) * channels]) * f;
        } else {
            for (uint32_t i = 0; i < frames; ++i)
                d[i] = static_cast<float>(s[size_t(i) * channels] * scale);
        }
    }
}
