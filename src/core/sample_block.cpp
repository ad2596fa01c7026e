#include "core/sample_block.h"
#include <cstring>
#include <new>

kyError kyPlaneBuffer::allocate(uint32_t channels, uint32_t frames) {
    try {
        const size_t stride = (static_cast<size_t>(frames) + 3) & ~size_t(3); // 16-byte planes
        std::unique_ptr<float[]> storage(new float[stride * channels + 1]());
        std::vector<float*> ptrs(channels + 1, nullptr);
        for (uint32_t c = 0; c < channels; ++c) ptrs[c] = storage.get() + stride * c;
        m_storage = std::move(storage);
        m_ptrs = std::move(ptrs);
        m_channels = channels;
        m_frames = frames;
        return KY_OK;
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    } catch (const std::length_error&) {
        return KYERR_OUT_OF_MEMORY;
    }
}

void kyPlaneBuffer::free() {
    m_storage.reset();
    m_ptrs.clear();
    m_channels = 0;
    m_frames = 0;
}

uint32_t kyPlaneCount(float* const* planes) {
    uint32_t n = 0;
    if (planes)
        while (planes[n]) ++n;
    return n;
}

void kyClearPlanes(float* const* planes, uint32_t offset, uint32_t frames) {
    if (!planes || frames == 0) return;
    for (; *planes; ++planes) std::memset(*planes + offset, 0, sizeof(float) * frames);
}

void kyCopyPlanes(float* const* dst, uint32_t dstOffset, float* const* src, uint32_t srcOffset,
                  uint32_t frames) {
    if (!dst || frames == 0) return;
    while (*dst) {
        if (src && *src) {
            std::memmove(*dst + dstOffset, *src + srcOffset, sizeof(float) * frames);
            ++src;
        } else {
            std::memset(*dst + dstOffset, 0, sizeof(float) * frames);
        }
        ++dst;
    }
}
