#pragma once
// Shared by the tag fuzz targets: the input as a whole file for the tag scanner.
#include "formats/tags/file_tags.h"
#include <cstring>

inline void scanTagsOf(const uint8_t* data, size_t size) {
    kyPropertyTable props;
    kyTagLayout layout;
    kyReadTags(
        [&](uint64_t offset, void* out, size_t n) {
            if (offset > size || n > size - offset) return false;
            std::memcpy(out, data + offset, n);
            return true;
        },
        size, props, layout);
    if (layout.audioStart > layout.audioEnd || layout.audioEnd > size) __builtin_trap();
    for (uint32_t slot = 0; slot < props.size(); ++slot) props.getW(slot);
}
