#include "core/data_format.h"
#include "core/g711.h"
#include "core/quantizer.h"
#include <algorithm>
#include <cstring>

namespace {

const kyDataFormatInfo kFormats[] = {
    {"PCM 8-bit", 1, 8, kySampleKind::Integer},
    {"PCM 16-bit", 2, 16, kySampleKind::Integer},
    {"PCM 24-bit", 3, 24, kySampleKind::Integer},
    {"PCM 32-bit", 4, 32, kySampleKind::Integer},
    {"PCM 12-bit (16)", 2, 12, kySampleKind::Integer},
    {"PCM 20-bit (24)", 3, 20, kySampleKind::Integer},
    {"PCM 20-bit (32)", 4, 20, kySampleKind::Integer},
    {"PCM 24-bit (32)", 4, 24, kySampleKind::Integer},
    {"Float 32-bit", 4, 32, kySampleKind::Float},
    {"Float 64-bit", 8, 64, kySampleKind::Float},
    {"mu-Law", 1, 16, kySampleKind::MuLaw},
    {"A-Law", 1, 16, kySampleKind::ALaw},
};

inline int32_t loadInt(const uint8_t* p, uint32_t bytes) {
    switch (bytes) {
    case 1:
        return static_cast<int8_t>(p[0]);
    case 2: {
        int16_t v;
        std::memcpy(&v, p, 2);
        return v;
    }
    case 3:
        return static_cast<int32_t>((uint32_t(p[0]) << 8) | (uint32_t(p[1]) << 16) |
                                    (uint32_t(p[2]) << 24)) >>
               8;
    default: {
        int32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
    }
}

inline void storeInt(uint8_t* p, uint32_t bytes, int32_t v) {
    switch (bytes) {
    case 1:
        p[0] = static_cast<uint8_t>(v);
        break;
    case 2: {
        int16_t s = static_cast<int16_t>(v);
        std::memcpy(p, &s, 2);
        break;
    }
    case 3:
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
        p[2] = static_cast<uint8_t>(v >> 16);
        break;
    default:
        std::memcpy(p, &v, 4);
        break;
    }
}

// Integers of one container width: value >> shift scaled by `scale`.
template <uint32_t Bytes>
void intToPlanar(float* const* planes, const uint8_t* src, uint32_t channels, uint32_t first,
                 uint32_t frames, uint32_t shift, float scale) {
    const size_t stride = size_t(channels) * Bytes;
    if (channels == 2) {
        float* l = planes[0] + first;
        float* r = planes[1] + first;
        for (uint32_t i = 0; i < frames; ++i) {
            l[i] = static_cast<float>(loadInt(src + i * stride, Bytes) >> shift) * scale;
            r[i] = static_cast<float>(loadInt(src + i * stride + Bytes, Bytes) >> shift) * scale;
        }
        return;
    }
    for (uint32_t c = 0; c < channels; ++c) {
        float* d = planes[c] + first;
        const uint8_t* s = src + size_t(c) * Bytes;
        for (uint32_t i = 0; i < frames; ++i)
            d[i] = static_cast<float>(loadInt(s + i * stride, Bytes) >> shift) * scale;
    }
}

// 16-bit stereo and mono are the hot paths of every CD rip: keep them as plain loops the
// compiler can vectorise.
void pcm16ToPlanar(float* const* planes, const uint8_t* src, uint32_t channels, uint32_t first,
                   uint32_t frames, uint32_t shift, float scale) {
    if (shift == 0 && channels <= 2) {
        const int16_t* s = reinterpret_cast<const int16_t*>(src);
        if (reinterpret_cast<uintptr_t>(src) % alignof(int16_t) == 0) {
            if (channels == 1) {
                float* d = planes[0] + first;
                for (uint32_t i = 0; i < frames; ++i) d[i] = static_cast<float>(s[i]) * scale;
            } else {
                float* l = planes[0] + first;
                float* r = planes[1] + first;
                for (uint32_t i = 0; i < frames; ++i) {
                    l[i] = static_cast<float>(s[2 * i]) * scale;
                    r[i] = static_cast<float>(s[2 * i + 1]) * scale;
                }
            }
            return;
        }
    }
    intToPlanar<2>(planes, src, channels, first, frames, shift, scale);
}

inline int32_t roundFast16(float x, float offset, float top) {
    float v = (x + 1.0f) * offset + 0.5f;
    v = v > 0.0f ? v : 0.0f; // NaN ends up 0 as well
    v = v < top ? v : top;
    return static_cast<int32_t>(v) - static_cast<int32_t>(offset);
}

template <uint32_t Bytes>
void planarToInt(uint8_t* dst, float* const* planes, kyQuantizer* q, uint32_t channels,
                 uint32_t first, uint32_t frames, uint32_t bits, uint32_t shift) {
    const size_t stride = size_t(channels) * Bytes;
    const bool plain = !q || q->isPlainRounding();
    if (plain && bits <= 16) {
        const float offset = static_cast<float>(1u << (bits - 1));
        const float top = 2.0f * offset - 1.0f;
        if (Bytes == 2 && shift == 0 && channels <= 2 &&
            reinterpret_cast<uintptr_t>(dst) % alignof(int16_t) == 0) {
            int16_t* d = reinterpret_cast<int16_t*>(dst);
            if (channels == 1) {
                const float* s = planes[0] + first;
                for (uint32_t i = 0; i < frames; ++i)
                    d[i] = static_cast<int16_t>(roundFast16(s[i], offset, top));
            } else {
                const float* l = planes[0] + first;
                const float* r = planes[1] + first;
                for (uint32_t i = 0; i < frames; ++i) {
                    d[2 * i] = static_cast<int16_t>(roundFast16(l[i], offset, top));
                    d[2 * i + 1] = static_cast<int16_t>(roundFast16(r[i], offset, top));
                }
            }
            return;
        }
        for (uint32_t c = 0; c < channels; ++c) {
            const float* s = planes[c] + first;
            uint8_t* d = dst + size_t(c) * Bytes;
            for (uint32_t i = 0; i < frames; ++i)
                storeInt(d + i * stride, Bytes,
                         static_cast<int32_t>(static_cast<uint32_t>(roundFast16(s[i], offset, top))
                                              << shift));
        }
        return;
    }
    // Frame by frame so that a stateful quantizer sees the samples in stream order, a
    // stretch of frames per call.
    if (!plain && channels <= 256) {
        int32_t values[1024];
        const uint32_t step = 1024 / channels;
        for (uint32_t at = 0; at < frames; at += step) {
            const uint32_t n = std::min(step, frames - at);
            q->quantizeFrames(planes, channels, first + at, n, values);
            const int32_t* v = values;
            for (uint32_t i = at; i < at + n; ++i)
                for (uint32_t c = 0; c < channels; ++c)
                    storeInt(dst + i * stride + size_t(c) * Bytes, Bytes,
                             static_cast<int32_t>(static_cast<uint32_t>(*v++) << shift));
        }
        return;
    }
    for (uint32_t i = 0; i < frames; ++i) {
        for (uint32_t c = 0; c < channels; ++c) {
            const float x = planes[c][first + i];
            const int32_t v = plain ? kyRoundSample(x, bits) : q->quantize(c, x);
            storeInt(dst + i * stride + size_t(c) * Bytes, Bytes,
                     static_cast<int32_t>(static_cast<uint32_t>(v) << shift));
        }
    }
}

} // namespace

const kyDataFormatInfo* kyFindDataFormat(const char* id) {
    if (!id) return nullptr;
    for (const auto& f : kFormats)
        if (std::strcmp(f.id, id) == 0) return &f;
    return nullptr;
}

const char* kyPcmIdForBits(uint32_t bits) {
    if (bits == 0) return nullptr;
    if (bits <= 8) return "PCM 8-bit";
    if (bits <= 12) return "PCM 12-bit (16)";
    if (bits <= 16) return "PCM 16-bit";
    if (bits <= 20) return "PCM 20-bit (24)";
    if (bits <= 24) return "PCM 24-bit";
    if (bits <= 32) return "PCM 32-bit";
    return nullptr;
}

bool kyDataFormatEquals(const char* a, const char* b) {
    if (!a || !b) return a == b;
    return std::strcmp(a, b) == 0;
}

namespace {
// Whole words through the compiler's byte-swap builtins, which it vectorises: big-endian
// files pass every sample through here.
template <typename T> void swapWords(uint8_t* p, size_t elements) {
    for (size_t i = 0; i < elements; ++i, p += sizeof(T)) {
        T v;
        std::memcpy(&v, p, sizeof v);
        if constexpr (sizeof(T) == 2)
            v = __builtin_bswap16(v);
        else if constexpr (sizeof(T) == 4)
            v = __builtin_bswap32(v);
        else
            v = __builtin_bswap64(v);
        std::memcpy(p, &v, sizeof v);
    }
}
} // namespace

void kyByteSwap(void* buf, size_t elements, uint32_t size) {
    uint8_t* p = static_cast<uint8_t*>(buf);
    switch (size) {
    case 2:
        swapWords<uint16_t>(p, elements);
        break;
    case 3:
        for (size_t i = 0; i < elements; ++i, p += 3) std::swap(p[0], p[2]);
        break;
    case 4:
        swapWords<uint32_t>(p, elements);
        break;
    case 8:
        swapWords<uint64_t>(p, elements);
        break;
    default:
        break;
    }
}

void kySignFlip(void* buf, size_t elements, uint32_t size) {
    uint8_t* p = static_cast<uint8_t*>(buf);
    size_t top;
    switch (size) {
    case 1:
        top = 0;
        break;
    case 2:
        top = 1;
        break;
    case 3:
        top = 2;
        break;
    case 4:
        top = 3;
        break;
    case 8:
        top = 7;
        break;
    default:
        return;
    }
    for (size_t i = 0; i < elements; ++i, p += size) p[top] ^= 0x80;
}

kyError InterleavedToPlanar(float* const* planes, void* srcv, uint32_t channels, uint32_t first,
                            uint32_t frames, const char* id, bool signFlip, bool byteSwap) {
    if (!planes || !srcv) return KYERR_INVALID_PARAMETER;
    const kyDataFormatInfo* f = kyFindDataFormat(id);
    if (!f) return KYERR_DATA_FORMAT;
    if (frames == 0) return KY_OK;
    if (channels == 0) return KYERR_INVALID_PARAMETER;
    uint8_t* src = static_cast<uint8_t*>(srcv);
    const size_t n = size_t(frames) * channels;
    if (byteSwap) kyByteSwap(src, n, f->bytes);
    if (signFlip) kySignFlip(src, n, f->bytes);

    const uint32_t containerBits = f->bytes * 8;
    switch (f->kind) {
    case kySampleKind::Integer: {
        const uint32_t shift = containerBits - f->bits;
        const float scale = 1.0f / static_cast<float>(1ull << (f->bits - 1));
        switch (f->bytes) {
        case 1:
            intToPlanar<1>(planes, src, channels, first, frames, shift, scale);
            break;
        case 2:
            pcm16ToPlanar(planes, src, channels, first, frames, shift, scale);
            break;
        case 3:
            intToPlanar<3>(planes, src, channels, first, frames, shift, scale);
            break;
        default:
            intToPlanar<4>(planes, src, channels, first, frames, shift, scale);
            break;
        }
        return KY_OK;
    }
    case kySampleKind::Float:
        for (uint32_t c = 0; c < channels; ++c) {
            float* d = planes[c] + first;
            for (uint32_t i = 0; i < frames; ++i) {
                const uint8_t* p = src + (size_t(i) * channels + c) * f->bytes;
                if (f->bytes == 4) {
                    std::memcpy(&d[i], p, 4);
                } else {
                    double v;
                    std::memcpy(&v, p, 8);
                    d[i] = static_cast<float>(v);
                }
            }
        }
        return KY_OK;
    case kySampleKind::MuLaw:
    case kySampleKind::ALaw: {
        const bool mu = f->kind == kySampleKind::MuLaw;
        for (uint32_t c = 0; c < channels; ++c) {
            float* d = planes[c] + first;
            for (uint32_t i = 0; i < frames; ++i) {
                const uint8_t b = src[size_t(i) * channels + c];
                d[i] = static_cast<float>(mu ? kyMuLawToLinear(b) : kyALawToLinear(b)) *
                       (1.0f / 32768.0f);
            }
        }
        return KY_OK;
    }
    }
    return KYERR_DATA_FORMAT;
}

kyError PlanarToInterleaved(void* dstv, float* const* planes, kyQuantizer* q, uint32_t channels,
                            uint32_t first, uint32_t frames, const char* id, bool signFlip,
                            bool byteSwap) {
    if (!planes || !dstv) return KYERR_INVALID_PARAMETER;
    const kyDataFormatInfo* f = kyFindDataFormat(id);
    if (!f) return KYERR_DATA_FORMAT;
    if (frames == 0) return KY_OK;
    if (channels == 0) return KYERR_INVALID_PARAMETER;
    uint8_t* dst = static_cast<uint8_t*>(dstv);
    const size_t stride = size_t(channels) * f->bytes;

    switch (f->kind) {
    case kySampleKind::Integer: {
        const uint32_t shift = f->bytes * 8 - f->bits;
        if (f->bits == 32) {
            for (uint32_t i = 0; i < frames; ++i)
                for (uint32_t c = 0; c < channels; ++c)
                    storeInt(dst + i * stride + c * 4u, 4, kyRoundSample(planes[c][first + i], 32));
            break;
        }
        switch (f->bytes) {
        case 1:
            planarToInt<1>(dst, planes, q, channels, first, frames, f->bits, shift);
            break;
        case 2:
            planarToInt<2>(dst, planes, q, channels, first, frames, f->bits, shift);
            break;
        case 3:
            planarToInt<3>(dst, planes, q, channels, first, frames, f->bits, shift);
            break;
        default:
            planarToInt<4>(dst, planes, q, channels, first, frames, f->bits, shift);
            break;
        }
        break;
    }
    case kySampleKind::Float:
        for (uint32_t c = 0; c < channels; ++c) {
            const float* s = planes[c] + first;
            for (uint32_t i = 0; i < frames; ++i) {
                uint8_t* p = dst + i * stride + size_t(c) * f->bytes;
                if (f->bytes == 4) {
                    std::memcpy(p, &s[i], 4);
                } else {
                    const double v = s[i];
                    std::memcpy(p, &v, 8);
                }
            }
        }
        break;
    case kySampleKind::MuLaw:
    case kySampleKind::ALaw: {
        const bool mu = f->kind == kySampleKind::MuLaw;
        const bool plain = !q || q->isPlainRounding();
        for (uint32_t i = 0; i < frames; ++i)
            for (uint32_t c = 0; c < channels; ++c) {
                const float x = planes[c][first + i];
                const int32_t v = plain ? kyRoundSample(x, 16) : q->quantize(c, x);
                dst[size_t(i) * channels + c] = mu ? kyLinearToMuLaw(v) : kyLinearToALaw(v);
            }
        break;
    }
    }
    const size_t n = size_t(frames) * channels;
    if (signFlip) kySignFlip(dst, n, f->bytes);
    if (byteSwap) kyByteSwap(dst, n, f->bytes);
    return KY_OK;
}
