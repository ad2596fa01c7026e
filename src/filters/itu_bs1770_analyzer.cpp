#include "filters/itu_bs1770_analyzer.h"
#include "core/audio_format.h"
#include <algorithm>
#include <cmath>
#include <new>

namespace {
// -70 LUFS as a mean square: loudness = 10 log10(energy) - 0.691.
const double kAbsoluteGate = std::pow(10.0, -6.9309);
constexpr size_t kBlockGrowth = 3000;
constexpr double kShelfOmega = 5284.158843338032;     // pi x 1681.97 Hz
constexpr double kHighPassOmega = 169.64600329384882; // pi x 54 Hz

double weightOfSpeaker(uint32_t bit) {
    if (bit <= 0x4) return 1.0; // front left, right, centre
    if (bit == 0x8) return 0.0; // low-frequency effects
    return 1.41;                // surround and the rest
}
} // namespace

kyITUBS1770Analyzer::kyITUBS1770Analyzer(uint32_t mode, float targetDb)
    : m_mode(mode > 2 ? 2 : mode), m_target(m_mode == 2 ? targetDb - 23.0f : targetDb) {}

kyError kyITUBS1770Analyzer::init(uint32_t rate, uint32_t channels, uint32_t mask) {
    m_ready = false;
    // Below ~3.4 kHz the shelf's corner (1.68 kHz) lies beyond half the rate and the
    // prewarped design breaks down.
    if (channels == 0 || rate < 3365) return KYERR_INVALID_PARAMETER;
    if (mask == 0) mask = kyDefaultChannelMask(channels);
    m_channels = std::min(channels, kMaxChannels);

    // The published coefficients are for 48 kHz. Other rates use the same analog
    // prototypes, recovered from those coefficients by inverting the bilinear transform and
    // mapped again with the new rate's prewarping, so that every rate weights like 48 kHz
    // (to well within 0.01 dB) and 48 kHz itself comes out as the published values.
    const Biquad shelf48 = {1.53512485958697, -2.69169618940638, 1.19839281085285,
                            -1.69065929318241, 0.73248077421585};
    const Biquad hp48 = {1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621};
    Biquad shelf = shelf48, hp = hp48;
    if (rate != 48000) {
        // For a biquad made with K = tan(w / rate): 1 + a1 + a2 = 4 K^2 / a0 and
        // 1 - a1 + a2 = 4 / a0, 1 - a2 = 2 (K / Q) / a0.
        struct Prototype {
            double omega, invQ; // corner (rad/s, as in tan(omega / rate)) and 1 / Q
        };
        auto prototype = [](const Biquad& b) {
            const double a0 = 4.0 / (1.0 - b.a1 + b.a2);
            const double K = std::sqrt((1.0 + b.a1 + b.a2) / (1.0 - b.a1 + b.a2));
            return Prototype{std::atan(K) * 48000.0, a0 * (1.0 - b.a2) / (2.0 * K)};
        };
        const Prototype ps = prototype(shelf48), ph = prototype(hp48);
        const double a0s = 4.0 / (1.0 - shelf48.a1 + shelf48.a2);
        const double Ks = std::tan(ps.omega / 48000.0);
        const double Vh = (shelf48.b0 - shelf48.b1 + shelf48.b2) * a0s / 4.0;
        const double Vb = (shelf48.b0 - shelf48.b2) * a0s / (2.0 * Ks * ps.invQ);
        const double hpGain = hp48.b0 * 4.0 / (1.0 - hp48.a1 + hp48.a2);

        double K = std::tan(ps.omega / rate);
        double a0 = 1.0 + K * ps.invQ + K * K;
        shelf = {(Vh + Vb * K * ps.invQ + K * K) / a0, 2.0 * (K * K - Vh) / a0,
                 (Vh - Vb * K * ps.invQ + K * K) / a0, 2.0 * (K * K - 1.0) / a0,
                 (1.0 - K * ps.invQ + K * K) / a0};
        K = std::tan(ph.omega / rate);
        a0 = 1.0 + K * ph.invQ + K * K;
        hp = {hpGain / a0, -2.0 * hpGain / a0, hpGain / a0, 2.0 * (K * K - 1.0) / a0,
              (1.0 - K * ph.invQ + K * K) / a0};
    }
    if (m_mode == 0) shelf = Biquad{};

    uint32_t c = 0;
    for (uint32_t bit = 0; bit < 32 && c < m_channels; ++bit)
        if (mask & (1u << bit)) m_ch[c++].weight = weightOfSpeaker(1u << bit);
    for (; c < m_channels; ++c) m_ch[c].weight = c < 2 ? 1.0 : 1.41;
    for (c = 0; c < m_channels; ++c) {
        Channel& ch = m_ch[c];
        ch.shelf = shelf;
        ch.highPass = hp;
        ch.sx1 = ch.sx2 = ch.sy1 = ch.sy2 = ch.hy1 = ch.hy2 = 0.0;
    }

    m_accumulator = 0.0;
    m_frames = 0;
    m_step = (rate + 5) / 10;
    m_subBlocks = 0;
    m_previous = {};
    m_blocks.clear();
    m_gain = 0.0f;
    m_hasLoudness = false;
    m_ready = true;
    return KY_OK;
}

void kyITUBS1770Analyzer::accumulate(float* const* planes, uint32_t nplanes, uint32_t offset,
                                     uint32_t frames) {
    for (uint32_t c = 0; c < m_channels; ++c) {
        Channel& ch = m_ch[c];
        if (ch.weight == 0.0) continue;
        const Biquad s = ch.shelf, h = ch.highPass;
        double sx1 = ch.sx1, sx2 = ch.sx2, sy1 = ch.sy1, sy2 = ch.sy2, hy1 = ch.hy1, hy2 = ch.hy2;
        double sum = 0.0;
        const float* x = c < nplanes ? planes[c] + offset : nullptr;
        for (uint32_t i = 0; i < frames; ++i) {
            const double in = x ? x[i] : 0.0;
            const double sy = s.b0 * in + s.b1 * sx1 + s.b2 * sx2 - s.a1 * sy1 - s.a2 * sy2;
            const double hy = h.b0 * sy + h.b1 * sy1 + h.b2 * sy2 - h.a1 * hy1 - h.a2 * hy2;
            sx2 = sx1;
            sx1 = in;
            sy2 = sy1;
            sy1 = sy;
            hy2 = hy1;
            hy1 = hy;
            sum += hy * hy;
        }
        if (!std::isfinite(sy1) || !std::isfinite(hy1)) {
            // A non-finite sample would ring in the recursive filters for good.
            sx1 = sx2 = sy1 = sy2 = hy1 = hy2 = 0.0;
            sum = 0.0;
        }
        ch.sx1 = sx1, ch.sx2 = sx2, ch.sy1 = sy1, ch.sy2 = sy2, ch.hy1 = hy1, ch.hy2 = hy2;
        m_accumulator += sum * ch.weight;
    }
    m_frames += frames;
}

void kyITUBS1770Analyzer::storeBlock(double energy) {
    if (!(energy > kAbsoluteGate)) return;
    if (m_blocks.size() == m_blocks.capacity()) m_blocks.reserve(m_blocks.size() + kBlockGrowth);
    m_blocks.push_back(energy);
}

void kyITUBS1770Analyzer::closeSubBlock() {
    // A block spans four sub-blocks: the first is formed once four exist, so that no block
    // counts time before the start of the stream as silence.
    if (m_subBlocks == 3)
        storeBlock((m_accumulator + m_previous[0] + m_previous[1] + m_previous[2]) /
                   (4.0 * m_step));
    else
        ++m_subBlocks;
    m_previous = {m_accumulator, m_previous[0], m_previous[1]};
    m_accumulator = 0.0;
    m_frames = 0;
}

void kyITUBS1770Analyzer::process(float* const* planes, uint32_t frames) {
    if (!m_ready) return;
    // Planes missing from a short array (or a null array) are silence.
    const uint32_t nplanes = presentPlanes(planes, m_channels);
    if (m_mode != 2) {
        accumulate(planes, nplanes, 0, frames);
        return;
    }
    uint32_t offset = 0;
    try {
        while (offset < frames) {
            const uint32_t n =
                static_cast<uint32_t>(std::min<uint64_t>(frames - offset, m_step - m_frames));
            accumulate(planes, nplanes, offset, n);
            offset += n;
            if (m_frames == m_step) closeSubBlock();
        }
    } catch (const std::bad_alloc&) {
        // No room for another block: what is stored so far still gives a measurement.
    }
}

void kyITUBS1770Analyzer::finish() {
    if (!m_ready) return;
    double loudness;
    if (m_mode != 2) {
        // Digital silence has no loudness to bring anywhere: no measurement.
        if (m_frames == 0 || !(m_accumulator > 0.0)) return;
        loudness = 10.0 * std::log10(m_accumulator / double(m_frames)) - 0.691;
    } else {
        if (m_blocks.empty()) return;
        if (m_subBlocks == 3 && m_frames >= m_step / 2) {
            try {
                storeBlock((m_accumulator + m_previous[0] + m_previous[1] + m_previous[2]) /
                           (double(m_frames) + 3.0 * m_step));
            } catch (const std::bad_alloc&) {
            }
        }
        double mean = 0.0;
        for (double e : m_blocks) mean += e;
        const double relativeGate = 0.1 * mean / double(m_blocks.size());
        double sum = 0.0;
        size_t n = 0;
        for (double e : m_blocks)
            if (e > relativeGate) sum += e, ++n;
        if (n == 0) return;
        loudness = 10.0 * std::log10(sum / double(n)) - 0.691;
        m_frames = 0;
        m_accumulator = 0.0;
    }
    m_loudness = loudness;
    m_hasLoudness = true;
    m_gain = static_cast<float>(m_target - loudness);
}
