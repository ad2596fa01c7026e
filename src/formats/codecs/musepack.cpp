#include "formats/codecs/musepack.h"
#include <zlib.h>

bool kyMpcReadPacket(const uint8_t* p, size_t avail, kyMpcPacket& packet) {
    if (avail < 3) return false;
    packet.key[0] = static_cast<char>(p[0]);
    packet.key[1] = static_cast<char>(p[1]);
    uint64_t size = 0;
    size_t at = 2;
    for (;;) {
        if (at >= avail || at >= 2 + 9) return false;
        const uint8_t b = p[at++];
        size = (size << 7) | (b & 0x7F);
        if (!(b & 0x80)) break;
    }
    if (size < at) return false;
    packet.size = size;
    packet.headerBytes = static_cast<uint32_t>(at);
    return true;
}

void kyMpcPutSize(std::vector<uint8_t>& out, uint64_t value, uint32_t minBytes) {
    uint32_t n = 1;
    while (n < 9 && (value >> (7 * n)) != 0) ++n;
    if (n < minBytes) n = minBytes;
    for (uint32_t i = n; i-- > 0;)
        out.push_back(static_cast<uint8_t>(((value >> (7 * i)) & 0x7F) | (i ? 0x80 : 0)));
}

void kyMpcPutPacket(std::vector<uint8_t>& out, const char* key,
                    const std::vector<uint8_t>& payload) {
    out.push_back(static_cast<uint8_t>(key[0]));
    out.push_back(static_cast<uint8_t>(key[1]));
    // The size counts its own bytes.
    uint32_t n = 1;
    while (((payload.size() + 2 + n) >> (7 * n)) != 0) ++n;
    kyMpcPutSize(out, payload.size() + 2 + n, n);
    out.insert(out.end(), payload.begin(), payload.end());
}

namespace {
uint64_t getSize(const uint8_t*& p, const uint8_t* end, bool& ok) {
    uint64_t v = 0;
    for (int i = 0; i < 9; ++i) {
        if (p >= end) break;
        const uint8_t b = *p++;
        v = (v << 7) | (b & 0x7F);
        if (!(b & 0x80)) return v;
    }
    ok = false;
    return 0;
}
} // namespace

bool kyMpcParseStreamHeader(const uint8_t* payload, size_t size, kyMpcStreamHeader& h) {
    if (size < 4 + 1 + 1 + 1 + 2) return false;
    const uint32_t crc = (uint32_t(payload[0]) << 24) | (uint32_t(payload[1]) << 16) |
                         (uint32_t(payload[2]) << 8) | payload[3];
    if (crc != static_cast<uint32_t>(::crc32(0L, payload + 4, static_cast<uInt>(size - 4))))
        return false;
    const uint8_t* p = payload + 4;
    const uint8_t* end = payload + size;
    h.version = *p++;
    bool ok = true;
    h.samples = getSize(p, end, ok);
    h.beginSilence = getSize(p, end, ok);
    if (!ok || end - p < 2) return false;
    const uint32_t bits = (uint32_t(p[0]) << 8) | p[1];
    h.sampleRate = KY_MPC_RATES[(bits >> 13) & 3];
    if ((bits >> 13) > 3) return false;
    h.maxBand = ((bits >> 8) & 31) + 1;
    h.channels = ((bits >> 4) & 15) + 1;
    h.midSide = (bits >> 3) & 1;
    h.blockPower = (bits & 7) * 2;
    return h.version == 8 && h.maxBand < 32 && h.channels <= 2 && h.beginSilence <= h.samples;
}

std::vector<uint8_t> kyMpcStreamHeaderPayload(const kyMpcStreamHeader& h, uint32_t sampleBytes) {
    std::vector<uint8_t> body;
    body.push_back(static_cast<uint8_t>(h.version));
    kyMpcPutSize(body, h.samples, sampleBytes);
    kyMpcPutSize(body, h.beginSilence);
    uint32_t rateIndex = 0;
    for (uint32_t i = 0; i < 4; ++i)
        if (KY_MPC_RATES[i] == h.sampleRate) rateIndex = i;
    const uint32_t bits = (rateIndex << 13) | ((h.maxBand - 1) << 8) | ((h.channels - 1) << 4) |
                          (h.midSide ? 8 : 0) | (h.blockPower / 2);
    body.push_back(static_cast<uint8_t>(bits >> 8));
    body.push_back(static_cast<uint8_t>(bits));
    const uint32_t crc =
        static_cast<uint32_t>(::crc32(0L, body.data(), static_cast<uInt>(body.size())));
    std::vector<uint8_t> out = {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8),
                                uint8_t(crc)};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}
