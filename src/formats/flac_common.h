#pragma once
// What the FLAC writer and reader share: the catalogue's subformats, the probe and the
// walk over a file's metadata blocks.
#include "core/error.h"
#include "core/property_table.h"
#include <cstddef>
#include <cstdint>
#include <functional>

namespace flac {

// After any leading ID3v2 tag: 6 for "fLaC", else 0; 2 when the tag leaves nothing to test.
int Probe(const uint8_t* head, size_t size);

struct StreamInfo {
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    uint32_t bitsPerSample = 0;
    uint64_t totalSamples = 0; // 0: not known
};

// Reads exactly `size` bytes at `offset`; false when it cannot.
using ReadFn = std::function<bool(uint64_t offset, void* data, size_t size)>;

// Walks the metadata blocks of a FLAC file of `fileSize` bytes (after any leading ID3v2
// tag): STREAMINFO into `info`, the comment block into `props`; pictures and other blocks
// are skipped. `audioOffset` is set to the first byte after the metadata. "File is corrupt
// or not of the expected format" for a file without a valid STREAMINFO, a block that runs
// past the end or values no stream can have; "Couldn't read from file" on a read failure.
kyError ReadMetadata(const ReadFn& read, uint64_t fileSize, StreamInfo& info,
                     kyPropertyTable& props, uint64_t& audioOffset);

} // namespace flac
