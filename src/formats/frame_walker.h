#pragma once
// Walks the frames of a framed compressed stream (MPEG audio, ADTS) in a file range, from
// header to header, reading the file in large pieces. Bytes between frames (damage, junk)
// are handed out as such, and the walk finds the next frame past them, so a count of the
// frames or a copy of the stream is exact whatever the stream holds.
#include "core/error.h"
#include <cstddef>
#include <cstdint>
#include <functional>

struct kyWalkedFrame {
    uint32_t bytes = 0;   // header included
    uint32_t samples = 0; // frames of audio it decodes to
};

// True when a frame of the stream starts at `p` (`avail` bytes there, at least 4).
using kyFrameParseFn = std::function<bool(const uint8_t* p, size_t avail, kyWalkedFrame& frame)>;
// Reads up to `size` bytes at `offset`: the count read, -1 on an error.
using kyWalkReadFn = std::function<long(uint64_t offset, uint8_t* data, size_t size)>;
// Receives each frame (`frame` set) or run of other bytes (`frame` null), in file order.
using kyWalkFn =
    std::function<kyError(const uint8_t* data, uint32_t size, const kyWalkedFrame* frame)>;

// Walks [from, to). A frame counts when another one starts where it ends, or the range
// does; a frame cut off by the end of the range is handed out as other bytes. "Couldn't read from
// file", or the first failure of `fn`.
kyError kyWalkFrames(const kyWalkReadFn& read, uint64_t from, uint64_t to,
                     const kyFrameParseFn& parse, const kyWalkFn& fn);
