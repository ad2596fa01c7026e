#pragma once
// Hand-built tag blocks and MPEG audio for the tag tests: ID3v2 frames and tags in each
// version's layout, unsynchronisation, APE items, and silent MPEG-1 layer III frames.
#include "core/property_table.h"
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kytest {

using Bytes = std::vector<uint8_t>;

// Property texts by slot.
using Texts = std::map<uint32_t, std::string>;
inline void setTexts(kyPropertyTable& props, const Texts& texts) {
    for (const auto& [slot, text] : texts) props.setUtf8(slot, text);
}

inline Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}
inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline std::string textOf(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

inline Bytes be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}
inline Bytes le32(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
inline Bytes synchsafe(uint32_t v) {
    return {uint8_t((v >> 21) & 0x7F), uint8_t((v >> 14) & 0x7F), uint8_t((v >> 7) & 0x7F),
            uint8_t(v & 0x7F)};
}

// A frame of ID3v2.`major`: three-character id and 24-bit size in 2.2, 32-bit size and two
// flag bytes in 2.3, synchsafe size in 2.4 (plain when `plainSize`).
inline Bytes id3Frame(int major, std::string_view id, const Bytes& body, uint8_t formatFlags = 0,
                      bool plainSize = false) {
    Bytes f = bytesOf(id);
    const uint32_t n = static_cast<uint32_t>(body.size());
    if (major == 2) {
        f.push_back(uint8_t(n >> 16));
        f.push_back(uint8_t(n >> 8));
        f.push_back(uint8_t(n));
    } else {
        f = f + (major == 4 && !plainSize ? synchsafe(n) : be32(n));
        f.push_back(0);
        f.push_back(formatFlags);
    }
    return f + body;
}

// A text frame body: encoding byte, then the text as given (already encoded).
inline Bytes id3Text(uint8_t encoding, const Bytes& text) {
    return Bytes{encoding} + text;
}

// UTF-16 bytes of a UTF-16 string, little-endian with the mark FF FE, or big-endian.
inline Bytes utf16(std::u16string_view s, bool bigEndian = false, bool mark = true) {
    Bytes b;
    if (mark) {
        b.push_back(bigEndian ? 0xFE : 0xFF);
        b.push_back(bigEndian ? 0xFF : 0xFE);
    }
    for (char16_t c : s) {
        if (bigEndian) b.push_back(uint8_t(c >> 8));
        b.push_back(uint8_t(c));
        if (!bigEndian) b.push_back(uint8_t(c >> 8));
    }
    return b;
}

// Stuffs a 0x00 after every 0xFF that is followed by a byte of 0xE0 or more or by 0x00,
// and after a final 0xFF.
inline Bytes unsynchronise(const Bytes& in) {
    Bytes out;
    for (size_t i = 0; i < in.size(); ++i) {
        out.push_back(in[i]);
        if (in[i] == 0xFF && (i + 1 == in.size() || in[i + 1] >= 0xE0 || in[i + 1] == 0))
            out.push_back(0);
    }
    return out;
}

// "ID3", version, flags, synchsafe size of `body` (extended header, frames, padding), body.
inline Bytes id3Tag(int major, uint8_t flags, const Bytes& body) {
    return bytesOf("ID3") + Bytes{uint8_t(major), 0, flags} +
           synchsafe(static_cast<uint32_t>(body.size())) + body;
}
// The ID3v2.4 footer for a tag made by id3Tag.
inline Bytes id3Footer(const Bytes& tag) {
    Bytes f = tag;
    f.resize(10);
    f[0] = '3';
    f[1] = 'D';
    f[2] = 'I';
    return f;
}

// An APE item: value size, flags, key, NUL, value.
inline Bytes apeItem(std::string_view key, const Bytes& value, uint32_t flags = 0) {
    return le32(static_cast<uint32_t>(value.size())) + le32(flags) + bytesOf(key) + Bytes{0} +
           value;
}
// An APE header or footer.
inline Bytes apeHeader(uint32_t version, uint32_t size, uint32_t count, uint32_t flags) {
    return bytesOf("APETAGEX") + le32(version) + le32(size) + le32(count) + le32(flags) +
           Bytes(8, 0);
}
// A whole APEv2 tag (header, items, footer) or, for version 1000, items and footer.
inline Bytes apeTag(uint32_t version, const std::vector<Bytes>& items) {
    Bytes body;
    for (const Bytes& i : items) body = body + i;
    const uint32_t size = static_cast<uint32_t>(body.size() + 32);
    const uint32_t count = static_cast<uint32_t>(items.size());
    if (version == 1000) return body + apeHeader(1000, size, count, 0);
    return apeHeader(version, size, count, 0xA0000000u) + body +
           apeHeader(version, size, count, 0x80000000u);
}

// `count` silent MPEG-1 layer III frames, 128 kbit/s, 44100 Hz, joint stereo (417 bytes
// each, 1152 frames of audio).
inline Bytes mpegFrames(int count) {
    Bytes frame(417, 0);
    frame[0] = 0xFF;
    frame[1] = 0xFB;
    frame[2] = 0x90;
    frame[3] = 0x64;
    Bytes out;
    for (int i = 0; i < count; ++i) out = out + frame;
    return out;
}

} // namespace kytest
