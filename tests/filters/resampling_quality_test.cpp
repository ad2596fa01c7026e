// Measures the resampler on float output: THD+N of a 1 kHz sine at -1 dBFS by a
// least-squares sine fit, and, when downsampling, how far a tone just above the new
// Nyquist frequency is pushed down, by an FFT.
#include "resampling_test_support.h"
#include "support/fft.h"
#include <complex>
#include <cstdio>
#include <gtest/gtest.h>
#include <map>

using namespace resampling_test;

namespace {

constexpr double kPi = 3.14159265358979323846;
const double kAmplitude = std::pow(10.0, -1.0 / 20.0); // -1 dBFS

// THD+N in dB: the residual after fitting a sine of the known frequency (plus an offset),
// against the fitted sine, over the output away from both ends.
double thdPlusN(const std::vector<float>& y, double freq, double rate, size_t skip) {
    const double w = 2.0 * kPi * freq / rate;
    double m[3][3] = {}, v[3] = {};
    const size_t end = y.size() - skip;
    for (size_t n = skip; n < end; ++n) {
        const double b[3] = {std::sin(w * double(n)), std::cos(w * double(n)), 1.0};
        for (int i = 0; i < 3; ++i) {
            v[i] += b[i] * y[n];
            for (int j = 0; j < 3; ++j) m[i][j] += b[i] * b[j];
        }
    }
    // Gaussian elimination of the 3x3 normal equations.
    for (int i = 0; i < 3; ++i)
        for (int k = i + 1; k < 3; ++k) {
            const double f = m[k][i] / m[i][i];
            for (int j = i; j < 3; ++j) m[k][j] -= f * m[i][j];
            v[k] -= f * v[i];
        }
    double x[3];
    for (int i = 2; i >= 0; --i) {
        double s = v[i];
        for (int j = i + 1; j < 3; ++j) s -= m[i][j] * x[j];
        x[i] = s / m[i][i];
    }
    double residual = 0, signal = 0;
    for (size_t n = skip; n < end; ++n) {
        const double s = x[0] * std::sin(w * double(n)) + x[1] * std::cos(w * double(n));
        residual += (y[n] - s - x[2]) * (y[n] - s - x[2]);
        signal += s * s;
    }
    return 10.0 * std::log10(residual / signal);
}

double besselI0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; k < 500 && term > sum * 1e-20; ++k) sum += term *= x * x / (4.0 * k * k);
    return sum;
}

// Peak amplitude of the component near `freq`, from the power of the window's main lobe
// around it. A Kaiser window with beta 20 keeps its side lobes far below anything measured.
double toneAmplitude(const std::vector<float>& y, size_t from, double freq, double rate) {
    constexpr size_t n = 32768;
    std::vector<std::complex<double>> a(n);
    double w2 = 0;
    const double i0 = besselI0(20.0);
    for (size_t i = 0; i < n; ++i) {
        const double r = 2.0 * double(i) / double(n - 1) - 1.0;
        const double w = besselI0(20.0 * std::sqrt(std::max(0.0, 1 - r * r))) / i0;
        a[i] = w * y[from + i];
        w2 += w * w;
    }
    kytest::fft(a);
    const long centre = std::lround(freq / rate * n);
    double power = 0;
    for (long k = centre - 12; k <= centre + 12; ++k)
        if (k > 0 && k < long(n / 2)) power += std::norm(a[size_t(k)]);
    return std::sqrt(4.0 * power / (double(n) * w2));
}

struct RatePair {
    uint32_t in, out;
};
const RatePair kPairs[] = {{44100, 48000}, {48000, 44100}, {44100, 22050}, {96000, 44100}};
const uint32_t kCodes[] = {0, 1, 2, 3, 4, 5, 6, 7};

struct Figures {
    double thdn;
    double rejection; // 0 when upsampling
};

Figures measure(RatePair p, uint32_t code) {
    Figures f{0, 0};
    const double ratio = double(p.out) / p.in;
    // About 0.5 s of output for the fit; skip the ends where the context is filling.
    {
        const size_t outFrames = 24000;
        const size_t inFrames = size_t(outFrames / ratio) + 8;
        Result r = resample({sine(1000, p.in, kAmplitude, inFrames)}, p.in, p.out, code);
        EXPECT_EQ(r.error, KY_OK);
        f.thdn = thdPlusN(r.out[0], 1000, p.out, 3000);
    }
    if (ratio < 1.0) {
        const double tone = 1.04 * p.out / 2.0;
        const size_t inFrames = size_t((32768 + 6000) / ratio);
        Result r = resample({sine(tone, p.in, kAmplitude, inFrames)}, p.in, p.out, code);
        EXPECT_EQ(r.error, KY_OK);
        const double alias = p.out - tone;
        f.rejection = 20.0 * std::log10(toneAmplitude(r.out[0], 3000, alias, p.out) / kAmplitude);
    }
    return f;
}

} // namespace

// Upper limits in dB per code. Codes 4, 5 and 6 must keep what their labels promise
// (12, 16 and 20 bits: -72, -96 and -120 dB); the others keep what they were measured to
// reach, less a few dB. The polynomial kernels do not filter, so they reject no alias.
struct Limits {
    double thdn;
    double rejection;
};
const std::map<uint32_t, Limits> kLimits = {
    {0, {-25, 0.5}}, {1, {-60, 0.5}}, {2, {-105, 0.5}},  {3, {-62, -58}},
    {4, {-72, -72}}, {5, {-96, -96}}, {6, {-120, -120}}, {7, {-130, -145}},
};

TEST(ResamplingQuality, ThdPlusNAndAliasRejection) {
    for (RatePair p : kPairs)
        for (uint32_t code : kCodes) {
            const Figures f = measure(p, code);
            std::printf("%6u -> %6u  code %u  THD+N %7.1f dB", p.in, p.out, code, f.thdn);
            if (p.out < p.in) std::printf("  alias %7.1f dB", f.rejection);
            std::printf("\n");
            const Limits& lim = kLimits.at(code);
            EXPECT_LE(f.thdn, lim.thdn) << p.in << " -> " << p.out << " code " << code;
            if (p.out < p.in) {
                EXPECT_LE(f.rejection, lim.rejection)
                    << p.in << " -> " << p.out << " code " << code;
            }
        }
}
