#pragma once
// The tags around the audio of a compressed file, read in one call: ID3v2 tags at the
// start; at the end an ID3v1 tag and, before it in any order, APE tags, Lyrics3 blocks
// (skipped) and ID3v2 tags with a footer. Readers of MPEG, AAC, Monkey's Audio, WavPack
// and Musepack files call kyReadFileTags and decode between audioStart and audioEnd.
#include "core/error.h"
#include "core/property_table.h"
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

enum kyTagKind : uint32_t {
    KY_TAG_ID3V2 = 1,
    KY_TAG_ID3V1 = 2,
    KY_TAG_APE = 4,
    KY_TAG_LYRICS3 = 8,
};

struct kyTagLayout {
    uint64_t audioStart = 0; // first byte after the leading tags
    uint64_t audioEnd = 0;   // first byte of the trailing tags
    uint32_t found = 0;      // kyTagKind bits
};

// Reads exactly `size` bytes at `offset`; false when it cannot.
using kyTagReadFn = std::function<bool(uint64_t offset, void* data, size_t size)>;

// Finds the tags of a file of `fileSize` bytes and sets the properties they carry. Where
// tags disagree, ID3v2 wins over APE and APE over ID3v1. A block that is damaged or does
// not fit the file is not a tag: it stays part of the audio. "Couldn't read from file" or
// "Out of memory" on failure.
kyError kyReadTags(const kyTagReadFn& read, uint64_t fileSize, kyPropertyTable& props,
                   kyTagLayout& layout);
kyError kyReadFileTags(int fd, uint64_t fileSize, kyPropertyTable& props, kyTagLayout& layout);

// Writes a built tag block at `offset` (kyCurrentPosition: at the file position). KY_OK
// with `written` set, KY_NOTHING_DONE for an empty block, "Couldn't write to file" when
// not every byte was written.
kyError kyWriteTagBlock(int fd, uint64_t offset, const uint8_t* data, size_t size,
                        uint64_t* written);
inline kyError kyWriteTagBlock(int fd, uint64_t offset, const std::vector<uint8_t>& block,
                               uint64_t* written) {
    return kyWriteTagBlock(fd, offset, block.data(), block.size(), written);
}
