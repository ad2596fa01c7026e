#include "formats/mpeg_audio_common.h"
#include "formats/tags/id3v2.h"
#include <cstring>

namespace mpeg {

namespace {

// kbit/s by [MPEG-1 or not][layer - 1][index].
const uint16_t kBitRates[2][3][16] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}},
};
const uint32_t kSampleRates[3] = {44100, 48000, 32000};

uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Bytes of layer III side information, where a Xing header follows it.
uint32_t sideInfoBytes(const FrameHeader& h) {
    if (h.version == 10) return h.channels == 1 ? 17 : 32;
    return h.channels == 1 ? 9 : 17;
}

} // namespace

bool ParseFrameHeader(const uint8_t* p, size_t size, FrameHeader& h) {
    if (size < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
    const uint32_t versionBits = (p[1] >> 3) & 3; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    const uint32_t layerBits = (p[1] >> 1) & 3;   // 3 layer I, 2 layer II, 1 layer III
    const uint32_t rateIndex = p[2] >> 4;
    const uint32_t srIndex = (p[2] >> 2) & 3;
    if (versionBits == 1 || layerBits == 0 || rateIndex == 0 || rateIndex == 15 || srIndex == 3 ||
        (p[3] & 3) == 2)
        return false;
    FrameHeader r;
    r.version = versionBits == 3 ? 10 : (versionBits == 2 ? 20 : 25);
    r.layer = 4 - layerBits;
    r.bitRate = uint32_t(kBitRates[r.version == 10 ? 0 : 1][r.layer - 1][rateIndex]) * 1000;
    r.sampleRate = kSampleRates[srIndex] >> (r.version == 10 ? 0 : (r.version == 20 ? 1 : 2));
    r.padding = (p[2] >> 1) & 1;
    r.crc = (p[1] & 1) == 0;
    r.channelMode = p[3] >> 6;
    r.channels = r.channelMode == 3 ? 1 : 2;
    if (r.layer == 1) {
        r.samplesPerFrame = 384;
        r.frameBytes = (12 * r.bitRate / r.sampleRate + (r.padding ? 1 : 0)) * 4;
    } else {
        const bool half = r.layer == 3 && r.lsf();
        r.samplesPerFrame = half ? 576 : 1152;
        r.frameBytes = (half ? 72 : 144) * r.bitRate / r.sampleRate + (r.padding ? 1 : 0);
    }
    if (r.frameBytes < 4) return false;
    h = r;
    return true;
}

bool SameStream(const FrameHeader& a, const FrameHeader& b) {
    return a.version == b.version && a.layer == b.layer && a.sampleRate == b.sampleRate &&
           a.channels == b.channels;
}

bool ParseVbrHeader(const uint8_t* f, size_t size, const FrameHeader& h, VbrHeader& vbr) {
    vbr = VbrHeader{};
    if (h.layer != 3) return false;
    const size_t avail = size < h.frameBytes ? size : h.frameBytes;
    size_t x = 4 + sideInfoBytes(h);
    if (x + 8 <= avail && (!std::memcmp(f + x, "Xing", 4) || !std::memcmp(f + x, "Info", 4))) {
        vbr.present = true;
        vbr.info = f[x] == 'I';
        const uint32_t flags = be32(f + x + 4);
        size_t pos = x + 8;
        if (flags & 1) {
            if (pos + 4 > avail) return true;
            vbr.frames = be32(f + pos);
            pos += 4;
        }
        if (flags & 2) {
            if (pos + 4 > avail) return true;
            vbr.bytes = be32(f + pos);
            pos += 4;
        }
        if (flags & 4) pos += 100;
        if (flags & 8) pos += 4;
        // The LAME extension: encoder name (9), revision and method, lowpass, peak (4),
        // two gains (2 each), flags, bit rate, then 12 bits of delay and 12 of padding.
        if (pos + 24 <= avail &&
            (!std::memcmp(f + pos, "LAME", 4) || !std::memcmp(f + pos, "Lavf", 4) ||
             !std::memcmp(f + pos, "Lavc", 4))) {
            const uint8_t* l = f + pos;
            vbr.lame = true;
            vbr.lameOffset = static_cast<uint32_t>(pos);
            vbr.delay = (uint32_t(l[21]) << 4) | (l[22] >> 4);
            vbr.padding = (uint32_t(l[22] & 0x0F) << 8) | l[23];
        }
        return true;
    }
    // VBRI sits 32 bytes after the side information's start, whatever the mode.
    x = 4 + 32;
    if (x + 18 <= avail && !std::memcmp(f + x, "VBRI", 4)) {
        vbr.present = true;
        vbr.bytes = be32(f + x + 10);
        vbr.frames = be32(f + x + 14);
        return true;
    }
    return false;
}

uint16_t LameTagCrc(const uint8_t* data, size_t size) {
    uint16_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        uint32_t v = data[i];
        for (int b = 0; b < 8; ++b) {
            const bool mix = ((crc ^ v) & 1) != 0;
            crc >>= 1;
            v >>= 1;
            if (mix) crc ^= 0xA001;
        }
    }
    return crc;
}

size_t FindFrames(const uint8_t* data, size_t size, size_t from, int confirm, FrameHeader* first) {
    for (size_t pos = from; pos + 4 <= size; ++pos) {
        if (data[pos] != 0xFF) continue;
        FrameHeader h0;
        if (!ParseFrameHeader(data + pos, size - pos, h0)) continue;
        size_t next = pos + h0.frameBytes;
        int found = 1;
        bool ok = true;
        while (found < confirm && next + 4 <= size) {
            FrameHeader h;
            if (!ParseFrameHeader(data + next, size - next, h) || !SameStream(h0, h)) {
                ok = false;
                break;
            }
            next += h.frameBytes;
            ++found;
        }
        // Frames that run past the end of the data are given the benefit of the doubt.
        if (ok && (found >= confirm || next + 4 > size)) {
            if (first) *first = h0;
            return pos;
        }
    }
    return size;
}

const char* LayerName(uint32_t layer) {
    switch (layer) {
    case 1:
        return "MPEG audio layer I";
    case 2:
        return "MPEG audio layer II";
    case 3:
        return "MPEG audio layer III";
    default:
        return "MPEG audio";
    }
}

int Probe(const uint8_t* head, size_t size) {
    size_t pos = 0;
    for (size_t tag; pos < size && (tag = kyId3v2TagSize(head + pos, size - pos)) != 0;) pos += tag;
    const bool tagged = pos > 0;
    if (pos >= size) return 2;                  // a tag as large as the head hides the audio
    while (pos < size && head[pos] == 0) ++pos; // padding after a tag
    if (pos >= size) return tagged ? 2 : 0;
    FrameHeader h;
    if (ParseFrameHeader(head + pos, size - pos, h)) {
        VbrHeader vbr;
        if (ParseVbrHeader(head + pos, size - pos, h, vbr)) return 6;
        size_t next = pos + h.frameBytes;
        int run = 1;
        FrameHeader n;
        while (run < 3 && next + 4 <= size && ParseFrameHeader(head + next, size - next, n) &&
               SameStream(h, n)) {
            next += n.frameBytes;
            ++run;
        }
        if (run >= 3) return 6;
        if (run == 2) return 4;
        return 2;
    }
    // Something else first: frames further in are a guess at best.
    return FindFrames(head, size, pos, 3, nullptr) < size ? 2 : 0;
}

} // namespace mpeg
