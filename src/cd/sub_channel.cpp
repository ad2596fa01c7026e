#include "cd/sub_channel.h"
#include "cd/cd_text.h"
#include <algorithm>
#include <cstring>

namespace {

// MSF of a sector count (no 150-sector offset), as BCD.
void PutMsf(uint8_t* p, uint32_t sectors) {
    p[0] = kyToBcd(std::min<uint32_t>(sectors / 4500, 99));
    p[1] = kyToBcd(sectors / 75 % 60);
    p[2] = kyToBcd(sectors % 75);
}

// A BCD MSF as sectors, or -1.
int32_t GetMsf(const uint8_t* p) {
    const int m = kyFromBcd(p[0]), s = kyFromBcd(p[1]), f = kyFromBcd(p[2]);
    if (m < 0 || s < 0 || f < 0 || s > 59 || f > 74) return -1;
    return (m * 60 + s) * 75 + f;
}

// ISRC characters in Q mode 3: six bits each, "0".."9" as 0..9 and "A".."Z" as 17..42.
uint8_t IsrcCode(char c) {
    if (c >= '0' && c <= '9') return uint8_t(c - '0');
    if (c >= 'A' && c <= 'Z') return uint8_t(c - 'A' + 17);
    return 0;
}
char IsrcChar(uint8_t v) {
    if (v <= 9) return char('0' + v);
    if (v >= 17 && v <= 42) return char('A' + v - 17);
    return 0;
}

} // namespace

void kyEncodeSubQ(const kySubQ& q, uint8_t out[16]) {
    std::memset(out, 0, 16);
    out[0] = uint8_t((q.control & 0x0F) << 4 | (q.adr & 0x0F));
    const uint32_t frame = uint32_t(q.absolute < 0 ? 0 : q.absolute) % 75;
    if (q.adr == 2) {
        // 13 digits, two to a byte, then 4 zero bits, a zero byte and the frame.
        for (size_t i = 0; i < 13; ++i) {
            const uint8_t d = uint8_t(i < q.text.size() ? (q.text[i] - '0') & 0x0F : 0);
            out[1 + i / 2] |= uint8_t(i % 2 ? d : d << 4);
        }
        out[9] = kyToBcd(frame);
    } else if (q.adr == 3) {
        // Five characters of six bits in 30 bits, then 7 digits as BCD, then the frame.
        uint64_t bits = 0;
        for (size_t i = 0; i < 5; ++i)
            bits = bits << 6 | IsrcCode(i < q.text.size() ? q.text[i] : '0');
        bits <<= 2; // 30 bits padded to 32
        for (int i = 0; i < 4; ++i) out[1 + i] = uint8_t(bits >> (24 - 8 * i));
        for (size_t i = 0; i < 7; ++i) {
            const uint8_t d = uint8_t(5 + i < q.text.size() ? (q.text[5 + i] - '0') & 0x0F : 0);
            out[5 + i / 2] |= uint8_t(i % 2 ? d : d << 4);
        }
        out[9] = kyToBcd(frame);
    } else {
        out[1] = q.track == 0xAA ? 0xAA : kyToBcd(q.track);
        out[2] = kyToBcd(q.index);
        PutMsf(out + 3, uint32_t(q.relative < 0 ? -q.relative : q.relative));
        PutMsf(out + 7, uint32_t(q.absolute + 150));
    }
    const uint16_t crc = kyCdTextCrc(out, 10);
    out[10] = uint8_t(crc >> 8);
    out[11] = uint8_t(crc);
}

bool kyDecodeSubQ(const uint8_t in[16], kySubQ& q) {
    q = kySubQ();
    if ((in[10] || in[11]) && uint16_t(in[10] << 8 | in[11]) != kyCdTextCrc(in, 10)) return false;
    q.control = in[0] >> 4;
    q.adr = in[0] & 0x0F;
    if (q.adr == 2) {
        for (size_t i = 0; i < 13; ++i) {
            const uint8_t d = i % 2 ? in[1 + i / 2] & 0x0F : in[1 + i / 2] >> 4;
            if (d > 9) return false;
            q.text += char('0' + d);
        }
        return true;
    }
    if (q.adr == 3) {
        const uint32_t bits =
            uint32_t(in[1]) << 24 | uint32_t(in[2]) << 16 | uint32_t(in[3]) << 8 | in[4];
        for (int i = 0; i < 5; ++i) {
            const char c = IsrcChar(uint8_t(bits >> (26 - 6 * i) & 0x3F));
            if (!c) return false;
            q.text += c;
        }
        for (size_t i = 0; i < 7; ++i) {
            const uint8_t d = i % 2 ? in[5 + i / 2] & 0x0F : in[5 + i / 2] >> 4;
            if (d > 9) return false;
            q.text += char('0' + d);
        }
        return true;
    }
    if (q.adr != 1) return false;
    const int track = in[1] == 0xAA ? 0xAA : kyFromBcd(in[1]);
    const int index = kyFromBcd(in[2]);
    const int32_t relative = GetMsf(in + 3);
    const int32_t absolute = GetMsf(in + 7);
    if (track < 0 || index < 0 || relative < 0 || absolute < 0) return false;
    q.track = uint32_t(track);
    q.index = uint32_t(index);
    q.relative = index == 0 && track != 0xAA ? -relative : relative;
    q.absolute = absolute - 150;
    return true;
}

kySubQLanding kyLandingBySubQ(const uint8_t* frames, uint32_t count, int64_t firstLba) {
    kySubQLanding landing;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* f = frames + size_t(i) * 16;
        kySubQ q;
        // A frame without its CRC cannot be told from a damaged one.
        if ((f[10] == 0 && f[11] == 0) || !kyDecodeSubQ(f, q) || q.adr != 1) continue;
        if (q.track == 0 || (q.track > 99 && q.track != 0xAA)) continue;
        const int64_t offset = int64_t(q.absolute) - (firstLba + i);
        if (landing.frames == 0)
            landing.offset = int32_t(std::clamp<int64_t>(offset, INT32_MIN, INT32_MAX));
        else if (offset != landing.offset)
            landing.consistent = false;
        ++landing.frames;
    }
    return landing;
}

void kySubQBias::Observe(int32_t sectors) {
    if (m_contradicted) return;
    if ((m_agreeing > 0 && sectors != m_value) || sectors < -kLimit || sectors > kLimit) {
        m_contradicted = true;
        return;
    }
    m_value = sectors;
    ++m_agreeing;
}

void kySubQBias::Assume(int32_t sectors) {
    if (m_contradicted || sectors < -kLimit || sectors > kLimit) return;
    if (m_agreeing > 0 && sectors != m_value) {
        m_contradicted = true;
        return;
    }
    m_value = sectors;
    m_agreeing = std::max(m_agreeing, kKnown);
}
