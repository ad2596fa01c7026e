#pragma once
// What the MPEG audio writers, the MPEG reader and the WAV writer and reader share: the
// frame header (layers I-III, MPEG-1, MPEG-2 and MPEG-2.5), the VBR header of a stream's
// first frame (Xing/Info with the LAME extension, VBRI), the layer names and the probe.
#include <cstddef>
#include <cstdint>

namespace mpeg {

// One frame header. `version` is 10 (MPEG-1), 20 (MPEG-2) or 25 (MPEG-2.5).
struct FrameHeader {
    uint32_t version = 0;
    uint32_t layer = 0;   // 1, 2 or 3
    uint32_t bitRate = 0; // bit/s
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    uint32_t channelMode = 0; // 0 stereo, 1 joint stereo, 2 dual channel, 3 mono
    bool padding = false;
    bool crc = false;
    uint32_t frameBytes = 0;      // header included
    uint32_t samplesPerFrame = 0; // per channel
    bool lsf() const { return version != 10; }
};

// Reads the 4 header bytes at `p`; false for anything that is not a frame header this
// program can follow (free-format bit rates, reserved values, emphasis 2).
bool ParseFrameHeader(const uint8_t* p, size_t size, FrameHeader& header);

// The two headers agree on everything that stays fixed within a stream.
bool SameStream(const FrameHeader& a, const FrameHeader& b);

// What the first frame says about the whole stream when it holds a VBR header.
struct VbrHeader {
    bool present = false;
    bool info = false;       // "Info" (a constant bit rate) rather than "Xing" or "VBRI"
    uint32_t frames = 0;     // audio frames, the header's own frame not counted; 0 unknown
    uint32_t bytes = 0;      // 0 unknown
    bool lame = false;       // the LAME extension with the encoder delay and padding
    uint32_t delay = 0;      // samples the encoder put before the audio
    uint32_t padding = 0;    // samples it put after it
    uint32_t lameOffset = 0; // offset of the LAME extension in the frame (0: none)
};

// Looks for a Xing/Info or VBRI header in the frame at `frame` (`size` bytes available,
// `header` its parsed header). False when there is none.
bool ParseVbrHeader(const uint8_t* frame, size_t size, const FrameHeader& header, VbrHeader& vbr);

// The CRC-16 a LAME extension ends with, over the frame's first 190 bytes.
uint16_t LameTagCrc(const uint8_t* data, size_t size);

// Offset of the first of `confirm` frames in a row at or after `from` (each starting where
// the one before ends, the last allowed to run past `size`); `size` when there is none.
size_t FindFrames(const uint8_t* data, size_t size, size_t from, int confirm, FrameHeader* first);

// "MPEG audio layer I", "... II", "... III".
const char* LayerName(uint32_t layer);

// Content score of a file head: after any ID3v2 tag, a frame with a VBR header, or three
// frames in a row, 6; two frames in a row, 4; one frame, or a tag that fills the head, 2.
int Probe(const uint8_t* head, size_t size);

} // namespace mpeg
