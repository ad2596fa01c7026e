#include "filters/equal_loudness.h"
#include <algorithm>
#include <cmath>

namespace {
// ISO 226:2003, table 1: frequency, exponent af, magnitude Lu of the transfer function
// normalised at 1 kHz, and the threshold of hearing Tf.
struct IsoRow {
    double f, af, Lu, Tf;
};
constexpr IsoRow kIso226[29] = {
    {20, 0.532, -31.6, 78.5},    {25, 0.506, -27.2, 68.7},   {31.5, 0.480, -23.0, 59.5},
    {40, 0.455, -19.1, 51.1},    {50, 0.432, -15.9, 44.0},   {63, 0.409, -13.0, 37.5},
    {80, 0.387, -10.3, 31.5},    {100, 0.367, -8.1, 26.5},   {125, 0.349, -6.2, 22.1},
    {160, 0.330, -4.5, 17.9},    {200, 0.315, -3.1, 14.4},   {250, 0.301, -2.0, 11.4},
    {315, 0.288, -1.1, 8.6},     {400, 0.276, -0.4, 6.2},    {500, 0.267, 0.0, 4.4},
    {630, 0.259, 0.3, 3.0},      {800, 0.253, 0.5, 2.2},     {1000, 0.250, 0.0, 2.4},
    {1250, 0.246, -2.7, 3.5},    {1600, 0.244, -4.1, 1.7},   {2000, 0.243, -1.0, -1.3},
    {2500, 0.243, 1.7, -4.2},    {3150, 0.243, 2.5, -6.0},   {4000, 0.242, 1.2, -5.4},
    {5000, 0.242, -2.1, -1.5},   {6300, 0.245, -7.1, 6.0},   {8000, 0.254, -11.2, 12.6},
    {10000, 0.271, -10.7, 13.9}, {12500, 0.301, -3.1, 12.3},
};
} // namespace

bool kyEqualLoudnessContour::build(double phon) {
    m_valid = false;
    m_points = {};
    if (!(phon >= 0.0 && phon <= 90.0)) return false;

    for (int i = 0; i < 29; ++i) {
        const IsoRow& r = kIso226[i];
        const double Af = 4.47e-3 * (std::pow(10.0, 0.025 * phon) - 1.15) +
                          std::pow(0.4 * std::pow(10.0, (r.Tf + r.Lu) / 10.0 - 9.0), r.af);
        // Af stays positive over the whole range of the table; guard the logarithm anyway.
        const double Lp = 10.0 / r.af * std::log10(std::max(Af, 1e-30)) - r.Lu + 94.0;
        m_points[i + 1] = {r.f, Lp};
    }
    // Beyond the table the ear's sensitivity keeps falling: extend below 20 Hz along the
    // slope of the first interval, and above 12.5 kHz towards the steep upper limit.
    const double L20 = m_points[1].level, L25 = m_points[2].level;
    const double L12500 = m_points[29].level;
    m_points[0] = {10.0, L20 + 1.2 * (L20 - L25)};
    m_points[30] = {15000.0, L12500 - 1.8};
    m_points[31] = {18000.0, L12500 + 6.2};
    m_points[32] = {20000.0, L12500 + 54.2};
    m_valid = true;
    return true;
}

double kyEqualLoudnessContour::level(double f) const {
    if (!m_valid) return 0.0;
    const auto& p = m_points;
    constexpr uint32_t last = kPointCount - 1;
    if (!(f > p[0].frequency)) return p[0].level; // also NaN
    if (f >= p[last].frequency) return p[last].level;
    uint32_t j = 0; // p[j].frequency <= f < p[j + 1].frequency
    while (j + 1 < last && p[j + 1].frequency <= f) ++j;
    const double t = (f - p[j].frequency) / (p[j + 1].frequency - p[j].frequency);
    if (j == 0 || j + 1 == last) return p[j].level + (p[j + 1].level - p[j].level) * t;
    const double p0 = p[j - 1].level, p1 = p[j].level, p2 = p[j + 1].level, p3 = p[j + 2].level;
    return 0.5 * (2.0 * p1 + (p2 - p0) * t + (2.0 * p0 - 5.0 * p1 + 4.0 * p2 - p3) * t * t +
                  (3.0 * p1 - p0 - 3.0 * p2 + p3) * t * t * t);
}
