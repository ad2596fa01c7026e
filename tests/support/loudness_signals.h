#pragma once
// Deterministic test material for the loudness analyzers and their benchmark: sines, pink
// noise and a music-like mix of tones, noise and a varying envelope. Header-only so that
// the benchmark can share it.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace loudness_signals {

// Planar stereo (or more) material, one vector per channel.
using Planes = std::vector<std::vector<float>>;

inline Planes sine(uint32_t channels, uint32_t rate, uint32_t frames, double hz, double dbfs,
                   double phase = 0.0) {
    Planes p(channels, std::vector<float>(frames));
    const double a = std::pow(10.0, dbfs / 20.0);
    for (uint32_t i = 0; i < frames; ++i) {
        const float v = static_cast<float>(a * std::sin(2.0 * M_PI * hz * i / rate + phase));
        for (auto& ch : p) ch[i] = v;
    }
    return p;
}

// Pink noise (Kellet's filter on white noise), scaled to `rmsDbfs` RMS.
inline std::vector<float> pinkNoise(uint32_t frames, double rmsDbfs, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> v(frames);
    double b0 = 0, b1 = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0, b6 = 0, sq = 0;
    for (uint32_t i = 0; i < frames; ++i) {
        const double w = u(rng);
        b0 = 0.99886 * b0 + w * 0.0555179;
        b1 = 0.99332 * b1 + w * 0.0750759;
        b2 = 0.96900 * b2 + w * 0.1538520;
        b3 = 0.86650 * b3 + w * 0.3104856;
        b4 = 0.55000 * b4 + w * 0.5329522;
        b5 = -0.7616 * b5 - w * 0.0168980;
        v[i] = b0 + b1 + b2 + b3 + b4 + b5 + b6 + w * 0.5362;
        b6 = w * 0.115926;
        sq += v[i] * v[i];
    }
    const double k = std::pow(10.0, rmsDbfs / 20.0) / std::sqrt(sq / std::max(frames, 1u));
    std::vector<float> out(frames);
    for (uint32_t i = 0; i < frames; ++i) out[i] = static_cast<float>(v[i] * k);
    return out;
}

inline Planes pinkNoisePlanes(uint32_t channels, uint32_t frames, double rmsDbfs, uint32_t seed) {
    Planes p;
    for (uint32_t c = 0; c < channels; ++c) p.push_back(pinkNoise(frames, rmsDbfs, seed + c));
    return p;
}

// Something like music: a bass line and chords of harmonic tones that change every half
// second, a noisy "drum" on every beat, and a slow swell, different on each channel.
inline Planes musicLike(uint32_t channels, uint32_t rate, uint32_t frames, double gainDb,
                        uint32_t seed) {
    Planes p(channels, std::vector<float>(frames));
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const double notes[] = {110.0, 146.83, 164.81, 196.0, 220.0, 261.63, 329.63, 392.0};
    const double g = std::pow(10.0, gainDb / 20.0);
    const uint32_t beat = rate / 2;
    double hp = 0.0;
    for (uint32_t i = 0; i < frames; ++i) {
        const uint32_t bar = i / beat;
        const double t = double(i) / rate;
        const double f0 = notes[(bar * 3) % 8], f1 = notes[(bar * 5 + 2) % 8] * 2.0;
        const double swell = 0.6 + 0.4 * std::sin(2.0 * M_PI * 0.13 * t);
        const double decay = std::exp(-double(i % beat) / (0.06 * rate));
        const double noise = u(rng);
        hp = 0.7 * hp + 0.3 * noise; // a darker noise for the drum body
        for (uint32_t c = 0; c < channels; ++c) {
            double s = 0.0;
            for (int h = 1; h <= 4; ++h) {
                s += 0.25 / h * std::sin(2.0 * M_PI * f0 * h * t + c);
                s += 0.12 / h * std::sin(2.0 * M_PI * f1 * h * t * (1.0 + 0.002 * c));
            }
            s += decay * (0.5 * hp + 0.15 * noise * (c + 1) / channels);
            s += 0.02 * u(rng); // a little hiss
            p[c][i] = static_cast<float>(g * swell * s);
        }
    }
    return p;
}

// Null-terminated plane pointers for the analyzers.
inline std::vector<float*> pointers(Planes& p, uint32_t offset = 0) {
    std::vector<float*> v;
    for (auto& ch : p) v.push_back(ch.data() + offset);
    v.push_back(nullptr);
    return v;
}

// Feeds `p` to an initialised analyzer in blocks of `block` frames and finishes it.
template <class Analyzer> void feed(Analyzer& a, Planes& p, uint32_t block) {
    const uint32_t frames = static_cast<uint32_t>(p[0].size());
    for (uint32_t pos = 0; pos < frames; pos += block) {
        auto ptrs = pointers(p, pos);
        a.process(ptrs.data(), std::min(block, frames - pos));
    }
    a.finish();
}

} // namespace loudness_signals
