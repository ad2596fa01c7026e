#pragma once
// ADTS, the frame headers of raw AAC streams: parsed by the AAC reader and its probe,
// built by the AAC writer.
#include <cstddef>
#include <cstdint>

namespace adts {

constexpr size_t kHeaderBytes = 7;        // without CRC
constexpr uint32_t kMaxFrameBytes = 8191; // the frame length field has 13 bits

struct Header {
    bool mpeg2 = false;
    uint32_t objectType = 0; // 1 Main, 2 Low Complexity, 3 SSR, 4 LTP
    uint32_t rateIndex = 0;
    uint32_t sampleRate = 0;
    uint32_t channelConfig = 0; // 0: the channels are described inside the stream
    uint32_t frameBytes = 0;    // header included
    uint32_t headerBytes = 0;   // 7, or 9 with a CRC
    uint32_t rawBlocks = 0;     // raw data blocks in the frame (1 to 4)
};

// Reads an ADTS header at `p`; false for anything that is not one.
bool Parse(const uint8_t* p, size_t size, Header& header);

// Writes a 7-byte header without CRC for a frame of `frameBytes` bytes (header included,
// at most kMaxFrameBytes) holding one raw data block.
void Build(uint8_t* out, bool mpeg2, uint32_t objectType, uint32_t rateIndex,
           uint32_t channelConfig, uint32_t frameBytes);

// The sampling frequency index of `rate`, or -1 when the table has no such rate.
int RateIndex(uint32_t rate);
// The rate of an index (0 for a reserved one).
uint32_t RateOf(uint32_t index);

// Content score of a file head: after any leading ID3v2 tag, 4 for an ADTS header, 6 for
// "ADIF", else 2.
int Probe(const uint8_t* head, size_t size);

} // namespace adts
