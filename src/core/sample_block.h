#pragma once
// Sample blocks: a null-terminated array of per-channel float planes plus a frame count.
// Nominal full scale is [-1.0, +1.0).
#include "core/error.h"
#include <cstdint>
#include <memory>
#include <vector>

// Owns the planes of a block. planes() is the null-terminated array filters pass around.
class kyPlaneBuffer {
public:
    kyPlaneBuffer() = default;
    kyPlaneBuffer(const kyPlaneBuffer&) = delete;
    kyPlaneBuffer& operator=(const kyPlaneBuffer&) = delete;
    kyPlaneBuffer(kyPlaneBuffer&&) noexcept = default;
    kyPlaneBuffer& operator=(kyPlaneBuffer&&) noexcept = default;

    // Allocates `channels` planes of `frames` floats each, zeroed. On failure the
    // buffer is left as it was and "Out of memory" is returned.
    kyError allocate(uint32_t channels, uint32_t frames);
    void free();

    float** planes() { return m_ptrs.empty() ? nullptr : m_ptrs.data(); }
    float* plane(uint32_t ch) { return m_ptrs[ch]; }
    uint32_t channels() const { return m_channels; }
    uint32_t frames() const { return m_frames; }
    bool empty() const { return m_ptrs.empty(); }

private:
    std::unique_ptr<float[]> m_storage;
    std::vector<float*> m_ptrs;
    uint32_t m_channels = 0;
    uint32_t m_frames = 0;
};

// Number of planes in a null-terminated array.
uint32_t kyPlaneCount(float* const* planes);

// Zeroes `frames` floats of every plane from `offset`.
void kyClearPlanes(float* const* planes, uint32_t offset, uint32_t frames);

// Copies `frames` floats channel by channel while both arrays have planes (an overlapping
// move when they are the same array); destination planes beyond the source's count are
// zeroed over the same range.
void kyCopyPlanes(float* const* dst, uint32_t dstOffset, float* const* src, uint32_t srcOffset,
                  uint32_t frames);
