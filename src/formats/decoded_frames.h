#pragma once
// What the readers of compressed data share: frames decoded ahead of the reader's pulls,
// the frames still to drop after a seek (compressed data is decoded from its start and the
// frames before the seek point are dropped), and the loop that feeds a stream decoder from
// the file until it gives frames.
#include "core/error.h"
#include "core/sample_block.h"
#include <cstdint>
#include <functional>
#include <vector>

class kyStreamDecoder;

class kyDecodedFrames {
public:
    // Decodes up to `capacity` frames into `planes`; `frames` 0 with KY_NOTHING_DONE at the
    // end of the stream.
    using RefillFn = std::function<kyError(float** planes, uint32_t capacity, uint32_t& frames)>;

    // Room for `frames` decoded frames of `channels` channels.
    kyError allocate(uint32_t channels, uint32_t frames);
    // Forgets what is held; the next `skip` frames decoded are dropped.
    void reset(uint32_t skip);
    // Fills up to `frames` frames of `planes` from offset 0; `got` < frames only at the end
    // of the stream.
    kyError take(float** planes, uint32_t frames, uint32_t& got, const RefillFn& refill);

private:
    kyPlaneBuffer m_decoded;
    uint32_t m_count = 0; // frames held
    uint32_t m_pos = 0;   // the next one to hand out
    uint32_t m_skip = 0;
};

// Reads up to `size` bytes of the stream into `data`: the count read, 0 at its end, -1 on
// a read error.
using kyStreamReadFn = std::function<long(uint8_t* data, size_t size)>;

// The bytes of a stream still to be fed to its decoder, and the buffer they pass through.
struct kyStreamInput {
    uint64_t bytesLeft = 0;
    std::vector<uint8_t> buffer;
    bool endSignalled = false;
    // For a stream of `bytes` bytes fed `chunk` bytes at a time. "Out of memory".
    kyError start(uint64_t bytes, size_t chunk);
};

// Decodes the next frames of a stream whose bytes come from `read`: they are fed until the
// decoder gives frames, and the end of the input is signalled once they run out.
// KY_NOTHING_DONE at the end of the stream.
kyError kyPullStream(kyStreamDecoder& decoder, const kyStreamReadFn& read, kyStreamInput& input,
                     float** planes, uint32_t capacity, uint32_t& frames);
