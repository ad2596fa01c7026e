#pragma once
// Appending an encoder's output to the caller's buffer.
#include "core/error.h"
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

// Appends `size` bytes of `data` to `out`: "Out of memory" when it cannot grow.
inline kyError kyAppendBytes(std::vector<uint8_t>& out, const uint8_t* data, size_t size) {
    try {
        out.insert(out.end(), data, data + size);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    return KY_OK;
}
