#include "formats/codecs/mpc_encoder.h"
#include "formats/codecs/mpc_tables.h"
#include "formats/codecs/musepack.h"
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace {
constexpr uint32_t kFrame = 1152; // samples per frame and channel
constexpr uint32_t kBands = 32;
constexpr uint32_t kPerBand = 36; // subband samples per band and frame
constexpr uint32_t kDelay = 481;  // analysis plus synthesis
constexpr uint32_t kMaxBands = 32;
constexpr uint32_t kMaxRes = 15;
constexpr uint32_t kSeekPower = 5; // a seek table entry every 32 frames
constexpr int kMinScf = -6, kMaxScf = 121;
// Consecutive scale factors differ by this ratio (about 1.58 dB).
constexpr double kScfStep = 0.83298066476582673961;
// Half the steps of each resolution: samples go from -D to +D.
constexpr int32_t kHalfSteps[kMaxRes + 1] = {0,  1,   2,   3,   4,    7,    15,   31,
                                             63, 127, 255, 511, 1023, 2047, 4095, 8191};
// Context thresholds of the resolutions coded with two tables.
constexpr uint32_t kContext[9] = {0, 0, 3, 0, 0, 1, 3, 4, 8};

// One code: its bits, right-justified, and their count.
struct Code {
    uint16_t bits = 0;
    uint8_t length = 0;
};
// A table's codes by symbol (index: the symbol as an unsigned byte).
struct Codes {
    std::array<Code, 256> bySymbol{};
    explicit Codes(const kyMpcTable& t) {
        uint32_t limit = 0x10000;
        for (size_t r = 0; r < t.rangeCount; ++r) {
            const kyMpcCodeRange& range = t.ranges[r];
            if (range.length == 0) continue;
            const uint32_t shift = 16u - range.length;
            const uint32_t from = uint32_t(range.first) >> shift;
            const uint32_t to = limit >> shift; // exclusive
            for (uint32_t c = from; c < to; ++c) {
                const int index = (range.offset - int(c)) & 0xFF;
                if (size_t(index) >= t.symbolCount) continue;
                Code& code = bySymbol[uint8_t(t.symbols[index])];
                if (code.length == 0 || code.length > range.length)
                    code = {static_cast<uint16_t>(c), range.length};
            }
            limit = range.first;
        }
    }
    const Code& operator[](int symbol) const { return bySymbol[uint8_t(symbol)]; }
};

struct Tables {
    Codes scfi[2] = {Codes(kympc::kScfi[0]), Codes(kympc::kScfi[1])};
    Codes dscf{kympc::kDscf};
    Codes res[2] = {Codes(kympc::kRes[0]), Codes(kympc::kRes[1])};
    Codes q2[2] = {Codes(kympc::kQ2[0]), Codes(kympc::kQ2[1])};
    Codes q3{kympc::kQ3};
    Codes q4{kympc::kQ4};
    Codes q5[2] = {Codes(kympc::kQ5[0]), Codes(kympc::kQ5[1])};
    Codes q6[2] = {Codes(kympc::kQ6[0]), Codes(kympc::kQ6[1])};
    Codes q7[2] = {Codes(kympc::kQ7[0]), Codes(kympc::kQ7[1])};
    Codes q8[2] = {Codes(kympc::kQ8[0]), Codes(kympc::kQ8[1])};
    Codes q9up{kympc::kQ9up};
    const Codes* single(uint32_t res, int which) const {
        switch (res) {
        case 5:
            return &q5[which];
        case 6:
            return &q6[which];
        case 7:
            return &q7[which];
        default:
            return &q8[which];
        }
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

// MSB-first bits; counts only when `out` is null.
class BitSink {
public:
    explicit BitSink(std::vector<uint8_t>* out) : m_out(out) {}
    void put(uint32_t value, uint32_t bits) {
        m_count += bits;
        if (!m_out) return;
        for (uint32_t i = bits; i-- > 0;) {
            m_acc = (m_acc << 1) | ((value >> i) & 1);
            if (++m_accBits == 8) {
                m_out->push_back(static_cast<uint8_t>(m_acc));
                m_acc = 0;
                m_accBits = 0;
            }
        }
    }
    void put(const Code& c) { put(c.bits, c.length); }
    void align() {
        if (m_count % 8) put(0, 8 - m_count % 8);
    }
    // A size as the container codes it, inside the bit stream.
    void size(uint64_t value, uint32_t minBytes = 1) {
        std::vector<uint8_t> b;
        kyMpcPutSize(b, value, minBytes);
        for (uint8_t x : b) put(x, 8);
    }
    // Values 0..max (max + 1 of them) in a truncated binary code.
    void logCode(uint32_t value, uint32_t max) {
        if (max == 0) return;
        uint32_t bits = 0;
        while ((1u << bits) < max + 1) ++bits;
        const uint32_t lost = (1u << bits) - (max + 1);
        if (value < lost)
            put(value, bits - 1);
        else
            put(value + lost, bits);
    }
    void golomb(uint32_t value, uint32_t k) {
        for (uint32_t i = 0; i < (value >> k); ++i) put(0, 1);
        put(1, 1);
        put(value & ((1u << k) - 1), k);
    }
    uint64_t count() const { return m_count; }

private:
    std::vector<uint8_t>* m_out;
    uint64_t m_count = 0;
    uint32_t m_acc = 0, m_accBits = 0;
};

// The absolute threshold of hearing (dB SPL) at `hz`.
double hearingThresholdDb(double hz) {
    const double f = std::max(hz, 20.0) / 1000.0;
    return 3.64 * std::pow(f, -0.8) - 6.5 * std::exp(-0.6 * (f - 3.3) * (f - 3.3)) +
           1e-3 * f * f * f * f;
}
} // namespace

struct kyMpcEncoder::Impl {
    uint32_t rate = 44100, channels = 2, bands = 31, quality = 5;
    double frameBits = 0; // the average budget of a frame
    double bank = 0;      // bits saved (positive) or overspent so far
    double offsetDb = 0;  // the last frame's noise offset
    kyMpcGain gain;
    double analysisWindow[512];
    double matrix[kBands][64];
    // Per channel: the analysis input (the newest sample first), and the frame's samples.
    std::vector<std::array<double, 512>> history;
    std::vector<std::vector<float>> pending; // samples not yet framed
    uint32_t pendingFrames = 0;
    uint64_t framesCoded = 0;
    uint64_t bitsCoded = 0;
    std::vector<uint64_t> seekPositions; // bytes since "MPCK" of every 2^kSeekPower-th frame
    uint64_t soPosition = 0;             // of the "SO" packet
    uint64_t stPosition = 0;             // of the "ST" packet
    std::vector<uint8_t> head;           // everything before the first audio packet
    double athPower[kBands];
    double spread[kBands][kBands]; // from a masking band to a masked one

    // One frame's analysis: [channel][band][sample], and what the allocation made of it.
    double sb[2][kBands][kPerBand];
    int scf[2][kBands][3];
    int noiseScf[2][kBands][3]; // the scale factors of a band sent as noise
    double energy[2][kBands];
    double mask[2][kBands];
    double tonality[2][kBands];  // 0 noise-like .. 1 tonal
    uint32_t noiseFrom = kBands; // bands from here on may be replaced by noise
    int res[2][kBands];
    int scfi[2][kBands];
    int32_t q[2][kBands][kPerBand];

    void analyse(uint32_t ch, const float* x);
    void chooseScaleFactors();
    void masking();
    void allocate(double offsetDb);
    void quantize(uint32_t ch, uint32_t band);
    uint64_t codeBits(std::vector<uint8_t>* out);
};

void kyMpcEncoder::Impl::analyse(uint32_t ch, const float* x) {
    std::array<double, 512>& X = history[ch];
    for (uint32_t m = 0; m < kPerBand; ++m) {
        std::memmove(X.data() + 32, X.data(), 480 * sizeof(double));
        for (uint32_t i = 0; i < 32; ++i) X[31 - i] = x[m * 32 + i];
        double y[64];
        for (uint32_t i = 0; i < 64; ++i) {
            double a = 0;
            for (uint32_t j = 0; j < 8; ++j) a += analysisWindow[i + 64 * j] * X[i + 64 * j];
            y[i] = a;
        }
        for (uint32_t k = 0; k < kBands; ++k) {
            double a = 0;
            for (uint32_t i = 0; i < 64; ++i) a += matrix[k][i] * y[i];
            sb[ch][k][m] = a;
        }
    }
}

void kyMpcEncoder::Impl::chooseScaleFactors() {
    for (uint32_t ch = 0; ch < channels; ++ch)
        for (uint32_t b = 0; b < kBands; ++b) {
            double e = 0;
            for (uint32_t part = 0; part < 3; ++part) {
                double peak = 0;
                for (uint32_t i = 0; i < 12; ++i) {
                    const double v = sb[ch][b][part * 12 + i];
                    peak = std::max(peak, std::abs(v));
                    e += v * v;
                }
                // The finest scale that still holds the part's peak.
                int index = kMaxScf;
                if (peak > 1e-12)
                    index = static_cast<int>(std::floor(std::log(peak) / std::log(kScfStep))) + 1;
                scf[ch][b][part] = std::clamp(index, kMinScf, kMaxScf);
            }
            energy[ch][b] = e / kPerBand;
        }
}

void kyMpcEncoder::Impl::masking() {
    // Each band's energy spreads to its neighbours (more towards higher bands, by their
    // distance in Bark). A tonal
    // band hides noise well below itself, a noisy one only a little: a band is as tonal as
    // its samples are predictable (a sine stays one in its band).
    double offset[2][kBands];
    for (uint32_t ch = 0; ch < channels; ++ch)
        for (uint32_t b = 0; b < kBands; ++b) {
            const double* x = sb[ch][b];
            double r0 = 0, r1 = 0, r2 = 0;
            for (uint32_t n = 0; n < kPerBand; ++n) {
                r0 += x[n] * x[n];
                if (n >= 1) r1 += x[n] * x[n - 1];
                if (n >= 2) r2 += x[n] * x[n - 2];
            }
            double tonal = 0;
            const double det = r0 * r0 - r1 * r1;
            if (r0 > 1e-20 && det > 1e-30) {
                const double a1 = (r1 * r0 - r1 * r2) / det;
                const double a2 = (r0 * r2 - r1 * r1) / det;
                const double residual = std::max(r0 - a1 * r1 - a2 * r2, r0 * 1e-6);
                tonal = std::clamp((10 * std::log10(r0 / residual) - 3) / 12, 0.0, 1.0);
            }
            tonality[ch][b] = tonal;
            offset[ch][b] = std::pow(10.0, -(5 + 13 * tonal) / 10);
        }
    for (uint32_t ch = 0; ch < channels; ++ch)
        for (uint32_t b = 0; b < kBands; ++b) {
            double m = 0;
            for (uint32_t j = 0; j < kBands; ++j) m += energy[ch][j] * offset[ch][j] * spread[j][b];
            mask[ch][b] = std::max(m, athPower[b]);
        }
}

void kyMpcEncoder::Impl::allocate(double offset) {
    const double factor = std::pow(10.0, offset / 10.0);
    for (uint32_t ch = 0; ch < 2; ++ch)
        for (uint32_t b = 0; b < kBands; ++b) {
            res[ch][b] = 0;
            if (ch >= channels || b >= bands) continue;
            const double allowed = mask[ch][b] * factor;
            if (energy[ch][b] <= allowed) continue;
            // The mean scale of the band's three parts sets the step of each resolution.
            double s2 = 0;
            for (int part = 0; part < 3; ++part)
                s2 += std::pow(kScfStep, 2.0 * (scf[ch][b][part] - 1));
            s2 /= 3;
            int r = 2;
            for (; r < int(kMaxRes); ++r) {
                const double step2 =
                    4.0 * s2 / double((2 * kHalfSteps[r] + 1) * (2 * kHalfSteps[r] + 1));
                if (step2 / 12.0 <= allowed) break;
            }
            // A noise-like band that would need bits goes as noise of its level: the
            // decoder makes it up from its scale factors.
            res[ch][b] = b >= noiseFrom && tonality[ch][b] < 0.25 && r <= 3 ? -1 : r;
        }
    for (uint32_t ch = 0; ch < channels; ++ch)
        for (uint32_t b = 0; b < bands; ++b)
            if (res[ch][b]) quantize(ch, b);
}

void kyMpcEncoder::Impl::quantize(uint32_t ch, uint32_t b) {
    if (res[ch][b] < 0) {
        // Decoded noise has an RMS of about 0.502 times the scale: match each part's RMS.
        for (uint32_t part = 0; part < 3; ++part) {
            double e = 0;
            for (uint32_t i = 0; i < 12; ++i)
                e += sb[ch][b][part * 12 + i] * sb[ch][b][part * 12 + i];
            const double scale = std::sqrt(e / 12) / 0.502;
            int index = kMaxScf;
            if (scale > 1e-12)
                index = static_cast<int>(std::lround(std::log(scale) / std::log(kScfStep))) + 1;
            noiseScf[ch][b][part] = std::clamp(index, kMinScf, kMaxScf);
        }
        const int* n = noiseScf[ch][b];
        scfi[ch][b] = (n[1] == n[0] ? 2 : 0) | (n[2] == n[1] ? 1 : 0);
        return;
    }
    const int32_t d = kHalfSteps[res[ch][b]];
    for (uint32_t part = 0; part < 3; ++part) {
        const double s = std::pow(kScfStep, scf[ch][b][part] - 1);
        const double f = double(2 * d + 1) / (2.0 * s);
        for (uint32_t i = 0; i < 12; ++i) {
            const uint32_t k = part * 12 + i;
            const long v = std::lround(sb[ch][b][k] * f);
            q[ch][b][k] = static_cast<int32_t>(std::clamp<long>(v, -d, d));
        }
    }
    // A scale factor equal to the one before is sent as a flag.
    const int* s = scf[ch][b];
    scfi[ch][b] = (s[1] == s[0] ? 2 : 0) | (s[2] == s[1] ? 1 : 0);
}

uint64_t kyMpcEncoder::Impl::codeBits(std::vector<uint8_t>* out) {
    const Tables& t = tables();
    BitSink w(out);
    uint32_t used = 0;
    for (uint32_t b = 0; b < bands; ++b)
        if (res[0][b] || res[1][b]) used = b + 1;
    // Every frame starts a packet of its own, so every frame is a key frame.
    w.logCode(used, bands);
    if (used) {
        for (int ch = 0; ch < 2; ++ch) w.put(t.res[0][(res[ch][used - 1] + 17) % 17]);
        for (int b = int(used) - 2; b >= 0; --b)
            for (int ch = 0; ch < 2; ++ch) {
                const int above = res[ch][b + 1];
                w.put(t.res[above > 2 ? 1 : 0][(res[ch][b] - above + 17) % 17]);
            }
    }
    for (uint32_t b = 0; b < used; ++b) {
        if (res[0][b] && res[1][b])
            w.put(t.scfi[1][(scfi[0][b] << 2) | scfi[1][b]]);
        else if (res[0][b])
            w.put(t.scfi[0][scfi[0][b]]);
        else if (res[1][b])
            w.put(t.scfi[0][scfi[1][b]]);
    }
    for (uint32_t b = 0; b < used; ++b)
        for (int ch = 0; ch < 2; ++ch) {
            if (!res[ch][b]) continue;
            const int* s = res[ch][b] < 0 ? noiseScf[ch][b] : scf[ch][b];
            w.put(uint32_t(s[0] + 6), 7);
            for (int m = 0; m < 2; ++m) {
                if ((scfi[ch][b] << m) & 2) continue;
                const int code = ((s[m + 1] - s[m] + 31) % 128 + 128) % 128;
                if (code < 64 && code != 31) {
                    w.put(t.dscf[code]);
                } else {
                    w.put(t.dscf[31]);
                    w.put(uint32_t(code - 64), 6);
                }
            }
        }
    for (uint32_t b = 0; b < used; ++b)
        for (int ch = 0; ch < 2; ++ch) {
            const int r = res[ch][b];
            const int32_t* v = q[ch][b];
            if (r <= 0) continue; // nothing, or noise made up by the decoder
            if (r == 2) {
                uint32_t ctx = 2 * kContext[2];
                for (uint32_t k = 0; k < kPerBand; k += 3) {
                    const int sym = (v[k] + 2) + 5 * (v[k + 1] + 2) + 25 * (v[k + 2] + 2);
                    w.put(t.q2[ctx > kContext[2] ? 1 : 0][sym]);
                    ctx = (ctx >> 1) +
                          uint32_t(std::abs(v[k]) + std::abs(v[k + 1]) + std::abs(v[k + 2]));
                }
            } else if (r <= 4) {
                const Codes& c = r == 3 ? t.q3 : t.q4;
                for (uint32_t k = 0; k < kPerBand; k += 2)
                    w.put(c[int8_t((v[k] & 15) | ((v[k + 1] & 15) << 4))]);
            } else if (r <= 8) {
                uint32_t ctx = 2 * kContext[r];
                for (uint32_t k = 0; k < kPerBand; ++k) {
                    w.put((*t.single(uint32_t(r), ctx > kContext[r] ? 1 : 0))[v[k]]);
                    ctx = (ctx >> 1) + uint32_t(std::abs(v[k]));
                }
            } else {
                const uint32_t low = uint32_t(r) - 9;
                for (uint32_t k = 0; k < kPerBand; ++k) {
                    const uint32_t u = uint32_t(v[k] + kHalfSteps[r]);
                    w.put(t.q9up[int8_t(u >> low)]);
                    if (low) w.put(u & ((1u << low) - 1), low);
                }
            }
        }
    w.align();
    return w.count();
}

kyMpcEncoder::kyMpcEncoder() : m_impl(std::make_unique<Impl>()) {}
kyMpcEncoder::~kyMpcEncoder() = default;

namespace {
uint16_t gainField(bool have, double db) {
    if (!have) return 0;
    return static_cast<uint16_t>(std::clamp(std::lround(256.0 * (64.82 - db)), 1L, 65535L));
}
uint16_t peakField(bool have, double peak) {
    if (!have || !(peak > 0)) return 0;
    return static_cast<uint16_t>(
        std::clamp(std::lround(5120.0 * std::log10(peak * 32768.0)), 1L, 65535L));
}
void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(uint8_t(x >> 8));
    v.push_back(uint8_t(x));
}
// The "SO" payload: the offset from the packet's start to the seek table, in a fixed width.
std::vector<uint8_t> seekOffset(uint64_t offset) {
    std::vector<uint8_t> p;
    kyMpcPutSize(p, offset, 5);
    return p;
}
} // namespace

kyError kyMpcEncoder::start(uint32_t sampleRate, uint32_t channels, uint32_t kbps, uint32_t quality,
                            const kyMpcGain& gain, uint64_t samples) {
    Impl& s = *m_impl;
    if (channels < 1 || channels > 2) return KYERR_CHANNEL_FORMAT;
    if (std::find(std::begin(KY_MPC_RATES), std::end(KY_MPC_RATES), sampleRate) ==
        std::end(KY_MPC_RATES))
        return KYERR_DATA_FORMAT;
    s.rate = sampleRate;
    s.channels = channels;
    s.quality = std::min<uint32_t>(quality, 15);
    s.gain = gain;
    // The bandwidth grows with the rate; mono streams get a little more than half the bits.
    const double hz = kbps <= 20    ? 5500
                      : kbps <= 30  ? 7000
                      : kbps <= 60  ? 11000
                      : kbps <= 90  ? 14000
                      : kbps <= 130 ? 16000
                      : kbps <= 180 ? 18500
                      : kbps <= 210 ? 19500
                                    : 22050;
    const double bandHz = sampleRate / 64.0;
    s.bands = std::clamp<uint32_t>(static_cast<uint32_t>(std::ceil(hz / bandHz)), 2, kMaxBands);
    const double bitsPerSecond = kbps * 1000.0 * (channels == 1 ? 0.6 : 1.0);
    s.frameBits = bitsPerSecond * kFrame / sampleRate;
    s.bank = 0;
    s.offsetDb = 0;
    // Noise substitution of coarse bands above 4 kHz, but at the highest rate.
    const double noiseHz = quality < 10 ? 4000 : 1e9;
    s.noiseFrom =
        static_cast<uint32_t>(std::min<double>(kBands, std::ceil(noiseHz / (sampleRate / 64.0))));
    for (uint32_t i = 0; i < 512; ++i)
        s.analysisWindow[i] = kympc::kSynthesisWindow[i] / 65536.0 / 32.0;
    for (uint32_t k = 0; k < kBands; ++k)
        for (uint32_t i = 0; i < 64; ++i)
            s.matrix[k][i] = std::cos((2.0 * k + 1) * (double(i) - 16) * M_PI / 64.0);
    for (uint32_t b = 0; b < kBands; ++b) {
        // A full-scale sine taken as 96 dB SPL; the lowest threshold across the band.
        double db = 200;
        for (int i = 0; i <= 4; ++i) db = std::min(db, hearingThresholdDb((b + i / 4.0) * bandHz));
        s.athPower[b] = std::pow(10.0, (db - 96.0) / 10.0) * 0.5;
    }
    auto bark = [&](uint32_t b) {
        const double f = (b + 0.5) * bandHz;
        return 13 * std::atan(0.00076 * f) + 3.5 * std::atan((f / 7500) * (f / 7500));
    };
    for (uint32_t j = 0; j < kBands; ++j)
        for (uint32_t b = 0; b < kBands; ++b) {
            const double dz = bark(b) - bark(j);
            // 10 dB per Bark upwards, 27 dB per Bark downwards.
            s.spread[j][b] = dz >= 0 ? std::pow(10.0, -1.0 * dz) : std::pow(10.0, 2.7 * dz);
        }
    s.history.assign(channels, {});
    for (auto& h : s.history) h.fill(0);
    s.pending.assign(channels, std::vector<float>(kFrame, 0.0f));
    s.pendingFrames = 0;
    s.framesCoded = 0;
    s.bitsCoded = 0;
    s.seekPositions.clear();
    m_samples = samples;
    m_emitted = 0;
    m_out.clear();

    // The head: magic, stream header, ReplayGain, encoder information, the seek table's
    // offset (filled in at the end).
    std::vector<uint8_t> h = {'M', 'P', 'C', 'K'};
    kyMpcStreamHeader sh;
    sh.version = 8;
    sh.samples = samples;
    sh.sampleRate = sampleRate;
    sh.maxBand = s.bands - 1;
    sh.channels = channels;
    sh.blockPower = 0;
    std::vector<uint8_t> shPayload = kyMpcStreamHeaderPayload(sh, 5);
    kyMpcPutPacket(h, "SH", shPayload);
    std::vector<uint8_t> rg = {1};
    put16(rg, gainField(gain.haveTrackGain, gain.trackGainDb));
    put16(rg, peakField(gain.haveTrackPeak, gain.trackPeak));
    put16(rg, gainField(gain.haveAlbumGain, gain.albumGainDb));
    put16(rg, peakField(gain.haveAlbumPeak, gain.albumPeak));
    kyMpcPutPacket(h, "RG", rg);
    std::vector<uint8_t> ei = {uint8_t((s.quality * 8) << 1), 1, 0, 0};
    kyMpcPutPacket(h, "EI", ei);
    s.soPosition = h.size();
    kyMpcPutPacket(h, "SO", seekOffset(0));
    s.head = h;
    emit(h);
    return KY_OK;
}

void kyMpcEncoder::emit(const std::vector<uint8_t>& bytes) {
    m_out.insert(m_out.end(), bytes.begin(), bytes.end());
    m_emitted += bytes.size();
}

void kyMpcEncoder::encode(float* const* planes, uint32_t first, uint32_t frames) {
    Impl& s = *m_impl;
    while (frames > 0) {
        const uint32_t n = std::min(frames, kFrame - s.pendingFrames);
        for (uint32_t c = 0; c < s.channels; ++c)
            std::memcpy(s.pending[c].data() + s.pendingFrames, planes[c] + first,
                        n * sizeof(float));
        s.pendingFrames += n;
        first += n;
        frames -= n;
        if (s.pendingFrames == kFrame) codeFrame();
    }
}

void kyMpcEncoder::codeFrame() {
    Impl& s = *m_impl;
    for (uint32_t c = 0; c < s.channels; ++c) s.analyse(c, s.pending[c].data());
    s.pendingFrames = 0;
    s.chooseScaleFactors();
    s.masking();
    // The frame's budget: the average, plus a share of what earlier frames saved.
    const double target = std::clamp(s.frameBits + s.bank / 16.0, s.frameBits * 0.25,
                                     s.frameBits * 3.0) -
                          32; // the packet's key and size
    // The smallest noise offset whose frame fits the budget.
    double lo = -50, hi = 60;
    s.allocate(lo);
    if (double(s.codeBits(nullptr)) > target) {
        for (int i = 0; i < 14; ++i) {
            const double mid = (lo + hi) / 2;
            s.allocate(mid);
            if (double(s.codeBits(nullptr)) > target)
                lo = mid;
            else
                hi = mid;
        }
        s.allocate(hi);
    }
    std::vector<uint8_t> payload;
    s.codeBits(&payload);
    if (s.framesCoded % (1u << kSeekPower) == 0) s.seekPositions.push_back(m_emitted);
    std::vector<uint8_t> packet;
    kyMpcPutPacket(packet, "AP", payload);
    const double spent = double(packet.size()) * 8;
    s.bank = std::clamp(s.bank + s.frameBits - spent, -s.frameBits * 32, s.frameBits * 32);
    s.bitsCoded += packet.size() * 8;
    ++s.framesCoded;
    emit(packet);
}

void kyMpcEncoder::finish() {
    Impl& s = *m_impl;
    // Frames until the decoder, which drops the filter bank's delay, has every sample.
    const uint64_t total = s.framesCoded * kFrame + s.pendingFrames;
    m_samples = total;
    const uint64_t frames = (total + kDelay + kFrame - 1) / kFrame;
    while (s.framesCoded < frames) {
        for (uint32_t c = 0; c < s.channels; ++c)
            std::fill(s.pending[c].begin() + s.pendingFrames, s.pending[c].end(), 0.0f);
        s.pendingFrames = kFrame;
        codeFrame();
    }
    // The seek table: its size, the spacing of its entries, the first two positions, then
    // the second differences of the others (in units of 4 bits, the sign in the low bit).
    const std::vector<uint64_t>& p = s.seekPositions;
    std::vector<uint8_t> st;
    BitSink w(&st);
    w.size(p.size());
    w.put(kSeekPower, 4);
    if (!p.empty()) w.size(p[0]);
    if (p.size() > 1) w.size(p[1]);
    for (size_t i = 2; i < p.size(); ++i) {
        const int64_t d = int64_t(p[i]) - 2 * int64_t(p[i - 1]) + int64_t(p[i - 2]);
        const uint32_t code = static_cast<uint32_t>(2 * std::llabs(d)) | (d < 0 ? 1 : 0);
        w.golomb(code, 12);
    }
    w.align();
    s.stPosition = m_emitted;
    std::vector<uint8_t> packet;
    kyMpcPutPacket(packet, "ST", st);
    kyMpcPutPacket(packet, "SE", {});
    emit(packet);
}

std::vector<uint8_t> kyMpcEncoder::header() const {
    const Impl& s = *m_impl;
    std::vector<uint8_t> h = {'M', 'P', 'C', 'K'};
    kyMpcStreamHeader sh;
    sh.version = 8;
    sh.samples = m_samples;
    sh.sampleRate = s.rate;
    sh.maxBand = s.bands - 1;
    sh.channels = s.channels;
    sh.blockPower = 0;
    kyMpcPutPacket(h, "SH", kyMpcStreamHeaderPayload(sh, 5));
    // The rest as first written, with the seek table's offset in "SO".
    std::vector<uint8_t> rest(s.head.begin() + static_cast<ptrdiff_t>(h.size()), s.head.end());
    h.insert(h.end(), rest.begin(), rest.begin() + static_cast<ptrdiff_t>(s.soPosition - h.size()));
    kyMpcPutPacket(h, "SO", seekOffset(s.stPosition - s.soPosition));
    return h;
}

double kyMpcEncoder::bitRate() const {
    const Impl& s = *m_impl;
    if (s.framesCoded == 0) return 0;
    return double(s.bitsCoded) * s.rate / (double(s.framesCoded) * kFrame);
}
