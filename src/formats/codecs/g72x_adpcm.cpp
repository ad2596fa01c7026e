#include "formats/codecs/g72x_adpcm.h"
#include <cstdlib>

// The blocks below keep the fixed-point widths and names of the recommendation's block
// diagram (FMULT, QUAN, RECONST, FLOATA/B, UPA1/2, UPB, TRANS, ...), so each step can be
// checked against it one for one.

namespace {

struct Rate {
    const int32_t* quantizerTable; // decision levels of the normalised log difference
    uint32_t quantizerSize;
    const int32_t* dqln; // reconstruction levels by code
    const int32_t* wi;   // scale-factor multipliers by code (units of 1/512)
    const int32_t* fi;   // rate-change weights by code
};

constexpr int32_t kQ24[3] = {8, 218, 331};
constexpr int32_t kDqln24[8] = {-2048, 135, 273, 373, 373, 273, 135, -2048};
constexpr int32_t kW24[8] = {-128, 960, 4384, 18624, 18624, 4384, 960, -128};
constexpr int32_t kF24[8] = {0, 0x200, 0x400, 0xE00, 0xE00, 0x400, 0x200, 0};

constexpr int32_t kQ32[7] = {-124, 80, 178, 246, 300, 349, 400};
constexpr int32_t kDqln32[16] = {-2048, 4,   135, 213, 273, 323, 373, 425,
                                 425,   373, 323, 273, 213, 135, 4,   -2048};
constexpr int32_t kW32[16] = {-384,  576,   1312, 2048, 3584, 6336, 11360, 35904,
                              35904, 11360, 6336, 3584, 2048, 1312, 576,   -384};
constexpr int32_t kF32[16] = {0,     0,     0,     0x200, 0x200, 0x200, 0x600, 0xE00,
                              0xE00, 0x600, 0x200, 0x200, 0x200, 0,     0,     0};

constexpr int32_t kQ40[15] = {-122, -16, 68,  139, 198, 250, 298, 339,
                              378,  413, 445, 475, 502, 528, 553};
constexpr int32_t kDqln40[32] = {-2048, -66, 28,  104, 169, 224, 274, 318, 358, 395,  429,
                                 459,   488, 514, 539, 566, 566, 539, 514, 488, 459,  429,
                                 395,   358, 318, 274, 224, 169, 104, 28,  -66, -2048};
constexpr int32_t kW40[32] = {448,   448,   768,   1248,  1280,  1312,  1856,  3200,
                              4512,  5728,  7008,  8960,  11456, 14080, 16928, 22272,
                              22272, 16928, 14080, 11456, 8960,  7008,  5728,  4512,
                              3200,  1856,  1312,  1280,  1248,  768,   448,   448};
constexpr int32_t kF40[32] = {0,     0,     0,     0,     0,     0x200, 0x200, 0x200,
                              0x200, 0x200, 0x400, 0x600, 0x800, 0xA00, 0xC00, 0xC00,
                              0xC00, 0xC00, 0xA00, 0x800, 0x600, 0x400, 0x200, 0x200,
                              0x200, 0x200, 0x200, 0,     0,     0,     0,     0};

const Rate& rateFor(uint32_t bits) {
    static const Rate r24{kQ24, 3, kDqln24, kW24, kF24};
    static const Rate r32{kQ32, 7, kDqln32, kW32, kF32};
    static const Rate r40{kQ40, 15, kDqln40, kW40, kF40};
    return bits == 3 ? r24 : bits == 5 ? r40 : r32;
}

// Index of the first entry of `table` above `v` (the number of levels v reaches).
int32_t quan(int32_t v, const int32_t* table, uint32_t size) {
    uint32_t i = 0;
    while (i < size && v >= table[i]) ++i;
    return static_cast<int32_t>(i);
}

// Exponent of a magnitude below 2^15: the number of powers of two it reaches.
int32_t exponentOf(int32_t mag) {
    int32_t e = 0;
    while (e < 15 && mag >= (1 << e)) ++e;
    return e;
}

// FMULT: a predictor coefficient times a value in the 11-bit floating form.
int32_t fmult(int32_t an, int32_t srn) {
    int32_t anmag = an > 0 ? an : ((-an) & 0x1FFF);
    int32_t anexp = exponentOf(anmag) - 6;
    int32_t anmant = anmag == 0 ? 32 : anexp >= 0 ? anmag >> anexp : anmag << -anexp;
    int32_t wanexp = anexp + ((srn >> 6) & 0xF) - 13;
    int32_t wanmant = (anmant * (srn & 0x3F) + 0x30) >> 4;
    int32_t r = wanexp >= 0 ? ((wanmant << wanexp) & 0x7FFF) : (wanmant >> -wanexp);
    return (an ^ srn) < 0 ? -r : r;
}

// A linear magnitude in the floating form: 4-bit exponent, 6-bit mantissa, sign as 0x400
// taken off (so negative values stay negative, a negative zero included).
constexpr int32_t kFloatZero = 0x20;
constexpr int32_t kFloatNegativeZero = 0x20 - 0x400;

int32_t toFloat(int32_t mag, bool negative) {
    if (mag == 0) return negative ? kFloatNegativeZero : kFloatZero;
    int32_t e = exponentOf(mag);
    int32_t f = (e << 6) + ((mag << 6) >> e);
    return negative ? f - 0x400 : f;
}

struct Prediction {
    int32_t sez; // zero section, 15 bits
    int32_t se;  // full estimate
    int32_t y;   // quantizer scale factor
};

} // namespace

namespace {

Prediction predict(const kyG72xState& s) {
    int32_t sezi = 0;
    for (int i = 0; i < 6; ++i) sezi += fmult(s.b[i] >> 2, s.dq[i]);
    int32_t sei = sezi + fmult(s.a[1] >> 2, s.sr[1]) + fmult(s.a[0] >> 2, s.sr[0]);
    // Scale factor: locked and unlocked factors mixed by the speed control.
    int32_t y;
    if (s.ap >= 256) {
        y = s.yu;
    } else {
        y = s.yl >> 6;
        int32_t dif = s.yu - y;
        int32_t al = s.ap >> 2;
        if (dif > 0)
            y += (dif * al) >> 6;
        else if (dif < 0)
            y += (dif * al + 0x3F) >> 6;
    }
    return {sezi >> 1, sei >> 1, y};
}

// RECONST and ANTILOG: quantized difference, sign-magnitude in 16 bits.
int32_t reconstruct(bool sign, int32_t dqln, int32_t y) {
    int32_t dql = dqln + (y >> 2);
    if (dql < 0) return sign ? -0x8000 : 0;
    int32_t dex = (dql >> 7) & 15;
    int32_t dqt = 128 + (dql & 127);
    int32_t dq = (dqt << 7) >> (14 - dex);
    return sign ? dq - 0x8000 : dq;
}

void update(kyG72xState& s, uint32_t bits, int32_t y, int32_t wi, int32_t fi, int32_t dq,
            int32_t sr, int32_t dqsez) {
    int32_t pk0 = dqsez < 0 ? 1 : 0;
    int32_t mag = dq & 0x7FFF;

    // TRANS: a large difference after a tone-like stretch marks a transition.
    int32_t ylint = s.yl >> 15;
    int32_t ylfrac = (s.yl >> 10) & 0x1F;
    int32_t thr1 = (32 + ylfrac) << ylint;
    int32_t thr2 = ylint > 9 ? 31 << 10 : thr1;
    int32_t dqthr = (thr2 + (thr2 >> 1)) >> 1;
    int32_t tr = (s.td != 0 && mag > dqthr) ? 1 : 0;

    // Scale factor adaptation (FILTD, LIMB, FILTE).
    s.yu = y + ((wi - y) >> 5);
    if (s.yu < 544)
        s.yu = 544;
    else if (s.yu > 5120)
        s.yu = 5120;
    s.yl += s.yu + ((-s.yl) >> 6);

    int32_t a2p = 0;
    if (tr == 1) {
        s.a[0] = s.a[1] = 0;
        for (int i = 0; i < 6; ++i) s.b[i] = 0;
    } else {
        int32_t pks1 = pk0 ^ s.pk[0];
        // UPA2 and LIMC
        a2p = s.a[1] - (s.a[1] >> 7);
        if (dqsez != 0) {
            int32_t fa1 = pks1 ? s.a[0] : -s.a[0];
            if (fa1 < -8191)
                a2p -= 0x100;
            else if (fa1 > 8191)
                a2p += 0xFF;
            else
                a2p += fa1 >> 5;
            if (pk0 ^ s.pk[1]) {
                if (a2p <= -12160)
                    a2p = -12288;
                else if (a2p >= 12416)
                    a2p = 12288;
                else
                    a2p -= 0x80;
            } else if (a2p <= -12416) {
                a2p = -12288;
            } else if (a2p >= 12160) {
                a2p = 12288;
            } else {
                a2p += 0x80;
            }
        }
        s.a[1] = a2p;
        // UPA1 and LIMD
        s.a[0] -= s.a[0] >> 8;
        if (dqsez != 0) s.a[0] += pks1 == 0 ? 192 : -192;
        int32_t a1ul = 15360 - a2p;
        if (s.a[0] < -a1ul)
            s.a[0] = -a1ul;
        else if (s.a[0] > a1ul)
            s.a[0] = a1ul;
        // UPB: the 40 kbit/s coder leaks its zero coefficients more slowly.
        for (int i = 0; i < 6; ++i) {
            s.b[i] -= bits == 5 ? s.b[i] >> 9 : s.b[i] >> 8;
            if (mag) s.b[i] += (dq ^ s.dq[i]) >= 0 ? 128 : -128;
        }
    }

    // DELAY, FLOATA, FLOATB
    for (int i = 5; i > 0; --i) s.dq[i] = s.dq[i - 1];
    s.dq[0] = toFloat(mag, dq < 0);
    s.sr[1] = s.sr[0];
    if (sr == 0)
        s.sr[0] = kFloatZero;
    else if (sr > 0)
        s.sr[0] = toFloat(sr, false);
    else if (sr > -32768)
        s.sr[0] = toFloat(-sr, true);
    else
        s.sr[0] = kFloatNegativeZero;
    s.pk[1] = s.pk[0];
    s.pk[0] = pk0;

    // TONE and the adaptation speed control (FILTA, FILTB, SUBTC, FILTC).
    s.td = (tr == 0 && a2p < -11776) ? 1 : 0;
    s.dms += (fi - s.dms) >> 5;
    s.dml += ((fi << 2) - s.dml) >> 7;
    if (tr == 1)
        s.ap = 256;
    else if (y < 1536 || s.td == 1 || std::abs((s.dms << 2) - s.dml) >= (s.dml >> 3))
        s.ap += (0x200 - s.ap) >> 4;
    else
        s.ap += (-s.ap) >> 4;
}

// The shared tail of coding and decoding once the code is known.
int32_t finish(kyG72xState& s, uint32_t bits, const Prediction& p, uint32_t code) {
    const Rate& r = rateFor(bits);
    bool sign = (code >> (bits - 1)) & 1;
    int32_t dq = reconstruct(sign, r.dqln[code], p.y);
    int32_t sr = dq < 0 ? p.se - (dq & 0x3FFF) : p.se + dq;
    int32_t dqsez = sr + p.sez - p.se;
    update(s, bits, p.y, r.wi[code], r.fi[code], dq, sr, dqsez);
    return sr;
}

} // namespace

uint32_t kyG72xState::encode(int32_t sample, uint32_t bits) {
    const Rate& r = rateFor(bits);
    Prediction p = predict(*this);
    int32_t d = (sample >> 2) - p.se; // the coder works on 14-bit samples

    // LOG and SUBTA, then QUAN.
    int32_t dqm = std::abs(d);
    int32_t e = exponentOf(dqm >> 1);
    int32_t mant = ((dqm << 7) >> e) & 0x7F;
    int32_t dln = (e << 7) + mant - (p.y >> 2);
    int32_t i = quan(dln, r.quantizerTable, r.quantizerSize);
    int32_t size = static_cast<int32_t>(r.quantizerSize);
    uint32_t code;
    if (d < 0)
        code = static_cast<uint32_t>((size << 1) + 1 - i);
    else if (i == 0)
        code = static_cast<uint32_t>((size << 1) + 1); // no positive zero code
    else
        code = static_cast<uint32_t>(i);
    finish(*this, bits, p, code);
    return code;
}

int32_t kyG72xState::decode(uint32_t code, uint32_t bits) {
    code &= (1u << bits) - 1;
    Prediction p = predict(*this);
    int32_t sr = finish(*this, bits, p, code);
    // Back to 16 bits; sr is a 14-bit value here, but keep damaged streams in range.
    int32_t out = sr * 4;
    return out < -32768 ? -32768 : out > 32767 ? 32767 : out;
}

// ---- encoder ----

kyError kyG72xEncoder::configure(uint32_t bits, uint32_t channels) {
    if (bits < 3 || bits > 5) return KYERR_INVALID_PARAMETER;
    if (channels != 1) return KYERR_CHANNEL_FORMAT;
    m_framesPerBlock = 8;
    m_bytesPerBlock = bits;
    return KY_OK;
}

namespace {

// Packs `n` codes of `bits` bits most significant bit first; the last byte is padded with
// zero bits. Returns the bytes written.
size_t packCodes(const uint32_t* codes, uint32_t n, uint32_t bits, uint8_t* out) {
    uint32_t acc = 0, pending = 0;
    size_t k = 0;
    for (uint32_t i = 0; i < n; ++i) {
        acc = (acc << bits) | codes[i];
        pending += bits;
        while (pending >= 8) {
            pending -= 8;
            out[k++] = static_cast<uint8_t>(acc >> pending);
        }
        acc &= (1u << pending) - 1;
    }
    if (pending) out[k++] = static_cast<uint8_t>(acc << (8 - pending));
    return k;
}

} // namespace

void kyG72xEncoder::encodeBlock(uint8_t* out) {
    uint32_t codes[8];
    const int16_t* s = blockPlane(0);
    for (uint32_t i = 0; i < 8; ++i) codes[i] = m_state.encode(s[i], m_bits);
    packCodes(codes, 8, m_bits, out);
}

void kyG72xEncoder::encodeLast(uint32_t frames, std::vector<uint8_t>& out) {
    uint32_t codes[8];
    const int16_t* s = blockPlane(0);
    for (uint32_t i = 0; i < frames; ++i) codes[i] = m_state.encode(s[i], m_bits);
    size_t at = out.size();
    out.resize(at + (frames * m_bits + 7) / 8);
    packCodes(codes, frames, m_bits, out.data() + at);
}

// ---- decoder ----

kyError kyG72xDecoder::start(uint32_t bits, uint32_t channels, uint32_t blockAlign) {
    m_channels = 0;
    if (bits < 3 || bits > 5) return KYERR_INVALID_PARAMETER;
    if (channels != 1) return KYERR_CHANNEL_FORMAT;
    m_bits = bits;
    m_state = kyG72xState();
    m_acc = 0;
    m_pending = 0;
    m_framesPerBlock = 8;
    m_bytesPerBlock = bits;
    m_channels = 1;
    return KY_OK;
}

uint32_t kyG72xDecoder::maxFrames(size_t bytes) const {
    if (m_channels == 0) return 0;
    return static_cast<uint32_t>((bytes * 8 + m_pending) / m_bits);
}

uint32_t kyG72xDecoder::decodeBlock(const uint8_t* data, size_t bytes, uint32_t,
                                    float* const* planes, uint32_t firstFrame) {
    float* dst = planes[0] + firstFrame;
    uint32_t n = 0;
    for (size_t k = 0; k < bytes; ++k) {
        m_acc = (m_acc << 8) | data[k];
        m_pending += 8;
        while (m_pending >= m_bits) {
            m_pending -= m_bits;
            uint32_t code = (m_acc >> m_pending) & ((1u << m_bits) - 1);
            dst[n++] = m_state.decode(code, m_bits) * kySample16Scale;
        }
        m_acc &= (1u << m_pending) - 1;
    }
    return n;
}
