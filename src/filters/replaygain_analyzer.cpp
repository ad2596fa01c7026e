#include "filters/replaygain_analyzer.h"
#include "filters/equal_loudness.h"
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <new>

namespace {
constexpr uint32_t kOrder = 10;   // Yule-Walker section
constexpr uint32_t kHistory = 10; // samples of filter memory carried between windows
constexpr uint32_t kFirHistory = kyReplayGainAnalyzer::kFirTaps - 1;

// The ReplayGain reference weighting: a 10th-order Yule-Walker fit of the inverted 80-phon
// equal-loudness curve, then a 2nd-order Butterworth high-pass that takes out what the fit
// leaves below ~150 Hz. Denominators without their leading 1.
struct WeightingRow {
    double yb[kOrder + 1];
    double ya[kOrder];
    double bb[3];
    double ba[2];
};

// 48000 Hz down to 8000 Hz; the rates above 48 kHz weight at half their rate with the
// row of that rate (see kyReplayGainAnalyzer::init).
constexpr WeightingRow kWeighting[9] = {
    // 48000
    {{0.03857599435200, -0.02160367184185, -0.00123395316851, -0.00009291677959, -0.01655260341619,
      0.02161526843274, -0.02074045215285, 0.00594298065125, 0.00306428023191, 0.00012025322027,
      0.00288463683916},
     {-3.84664617118067, 7.81501653005538, -11.34170355132042, 13.05504219327545,
      -12.28759895145294, 9.48293806319790, -5.87257861775999, 2.75465861874613, -0.86984376593551,
      0.13919314567432},
     {0.98621192462708, -1.97242384925416, 0.98621192462708},
     {-1.97223372919527, 0.97261396931306}},
    // 44100
    {{0.05418656406430, -0.02911007808948, -0.00848709379851, -0.00851165645469, -0.00834990904936,
      0.02245293253339, -0.02596338512915, 0.01624864962975, -0.00240879051584, 0.00674613682247,
      -0.00187763777362},
     {-3.47845948550071, 6.36317777566148, -8.54751527471874, 9.47693607801280, -8.81498681370155,
      6.85401540936998, -4.39470996079559, 2.19611684890774, -0.75104302451432, 0.13149317958808},
     {0.98500175787242, -1.97000351574484, 0.98500175787242},
     {-1.96977855582618, 0.97022847566350}},
    // 32000
    {{0.15457299681924, -0.09331049056315, -0.06247880153653, 0.02163541888798, -0.05588393329856,
      0.04781476674921, 0.00222312597743, 0.03174092540049, -0.01390589421898, 0.00651420667831,
      -0.00881362733839},
     {-2.37898834973084, 2.84868151156327, -2.64577170229825, 2.23697657451713, -1.67148153367602,
      1.00595954808547, -0.45953458054983, 0.16378164858596, -0.05032077717131, 0.02347897407020},
     {0.97938932735214, -1.95877865470428, 0.97938932735214},
     {-1.95835380975398, 0.95920349965459}},
    // 24000
    {{0.30296907319327, -0.22613988682123, -0.08587323730772, 0.03282930172664, -0.00915702933434,
      -0.02364141202522, -0.00584456039913, 0.06276101321749, -0.00000828086748, 0.00205861885564,
      -0.02950134983287},
     {-1.61273165137247, 1.07977492259970, -0.25656257754070, -0.16276719120440, -0.22638893773906,
      0.39120800788284, -0.22138138954925, 0.04500235387352, 0.02005851806501, 0.00302439095741},
     {0.97531843204928, -1.95063686409857, 0.97531843204928},
     {-1.95002759149878, 0.95124613669835}},
    // 22050
    {{0.33642304856132, -0.25572241425570, -0.11828570177555, 0.11921148675203, -0.07834489609479,
      -0.00469977914380, -0.00589500224440, 0.05724228140351, 0.00832043980773, -0.01635381384540,
      -0.01760176568150},
     {-1.49858979367799, 0.87350271418188, 0.12205022308084, -0.80774944671438, 0.47854794562326,
      -0.12453458140019, -0.04067510197014, 0.08333755284107, -0.04237348025746, 0.02977207319925},
     {0.97316523498161, -1.94633046996323, 0.97316523498161},
     {-1.94561023566527, 0.94705070426118}},
    // 16000
    {{0.44915256608450, -0.14351757464547, -0.22784394429749, -0.01419140100551, 0.04078262797139,
      -0.12398163381748, 0.04097565135648, 0.10478503600251, -0.01863887810927, -0.03193428438915,
      0.00541907748707},
     {-0.62820619233671, 0.29661783706366, -0.37256372942400, 0.00213767857124, -0.42029820170918,
      0.22199650564824, 0.00613424350682, 0.06747620744683, 0.05784820375801, 0.03222754072173},
     {0.96454515552826, -1.92909031105652, 0.96454515552826},
     {-1.92783286977036, 0.93034775234268}},
    // 12000
    {{0.56619470757641, -0.75464456939302, 0.16242137742230, 0.16744243493672, -0.18901604199609,
      0.30931782841830, -0.27562961986224, 0.00647310677246, 0.08647503780351, -0.03788984554840,
      -0.00588215443421},
     {-1.04800335126349, 0.29156311971249, -0.26806001042947, 0.00819999645858, 0.45054734505008,
      -0.33032403314006, 0.06739368333110, -0.04784254229033, 0.01639907836189, 0.01807364323573},
     {0.96009142950541, -1.92018285901082, 0.96009142950541},
     {-1.91858953033784, 0.92177618768381}},
    // 11025
    {{0.58100494960553, -0.53174909058578, -0.14289799034253, 0.17520704835522, 0.02377945217615,
      0.15558449135573, -0.25344790059353, 0.01628462406333, 0.06920467763959, -0.03721611395801,
      -0.00749618797172},
     {-0.51035327095184, -0.31863563325245, -0.20256413484477, 0.14728154134330, 0.38952639978999,
      -0.23313271880868, -0.05246019024463, -0.02505961724053, 0.02442357316099, 0.01818801111503},
     {0.95856916599601, -1.91713833199203, 0.95856916599601},
     {-1.91542108074780, 0.91885558323625}},
    // 8000
    {{0.53648789255105, -0.42163034350696, -0.00275953611929, 0.04267842219415, -0.10214864179676,
      0.14590772289388, -0.02459864859345, -0.11202315195388, -0.04060034127000, 0.04788665548180,
      -0.02217936801134},
     {-0.25049871956020, -0.43193942311114, -0.03424681017675, -0.04678328784242, 0.26408300200955,
      0.15113130533216, -0.17556493366449, -0.18823009262115, 0.05477720428674, 0.04704409688120},
     {0.94597685600279, -1.89195371200558, 0.94597685600279},
     {-1.88903307939452, 0.89487434461664}},
};

// Row of kWeighting for a rate index: 96000, 88200 and 64000 use the rows of 48000, 44100
// and 32000 on the stream decimated by two.
const WeightingRow& weightingRow(uint32_t rateIndex) {
    return kWeighting[rateIndex < 3 ? rateIndex : rateIndex - 3];
}

// Ten past samples before x[0] and y[0] are in the buffers, as the window history. The
// newest output enters the sum last: everything else is ready before it is, so the
// recursion costs one multiply-subtract per sample instead of a chain of ten additions.
void yuleWalker(const float* x, float* y, uint32_t n, const WeightingRow& r) {
    const double* b = r.yb;
    const double* a = r.ya;
    double y1 = y[-1];
    for (ptrdiff_t i = 0; i < ptrdiff_t(n); ++i) {
        const double ff =
            ((b[0] * x[i] + b[1] * x[i - 1]) + (b[2] * x[i - 2] + b[3] * x[i - 3])) +
            ((b[4] * x[i - 4] + b[5] * x[i - 5]) + (b[6] * x[i - 6] + b[7] * x[i - 7])) +
            ((b[8] * x[i - 8] + b[9] * x[i - 9]) + b[10] * x[i - 10]);
        const double fb =
            ((a[1] * y[i - 2] + a[2] * y[i - 3]) + (a[3] * y[i - 4] + a[4] * y[i - 5])) +
            ((a[5] * y[i - 6] + a[6] * y[i - 7]) + (a[7] * y[i - 8] + a[8] * y[i - 9])) +
            a[9] * y[i - 10];
        const float v = static_cast<float>((ff - fb) - a[0] * y1);
        y[i] = v;
        y1 = v;
    }
}

double butterworthSquares(const float* x, float* y, uint32_t n, const WeightingRow& r) {
    const double b0 = r.bb[0], b1 = r.bb[1], b2 = r.bb[2], a1 = r.ba[0], a2 = r.ba[1];
    double sum = 0.0;
    double y1 = y[-1], y2 = y[-2];
    for (ptrdiff_t i = 0; i < ptrdiff_t(n); ++i) {
        const double rest = b0 * x[i] + b1 * x[i - 1] + b2 * x[i - 2] - a2 * y2;
        const float v = static_cast<float>(rest - a1 * y1);
        y[i] = v;
        y2 = y1;
        y1 = v;
        sum += static_cast<double>(v) * v;
    }
    return sum;
}

// Symmetric FIR: pairs of taps share one multiplication; four partial sums keep the
// additions from waiting on each other.
double firSquares(const float* x, uint32_t n, const float* h) {
    constexpr int taps = kyReplayGainAnalyzer::kFirTaps, mid = taps / 2;
    double sum = 0.0;
    for (uint32_t i = 0; i < n; ++i) {
        const float* c = x + i - (taps - 1); // c[0] oldest, c[taps - 1] newest
        double acc[4] = {static_cast<double>(h[mid]) * c[mid], 0.0, 0.0, 0.0};
        int k = 0;
        for (; k + 4 <= mid; k += 4)
            for (int j = 0; j < 4; ++j)
                acc[j] += static_cast<double>(h[k + j]) *
                          (static_cast<double>(c[k + j]) + c[taps - 1 - (k + j)]);
        for (; k < mid; ++k)
            acc[0] += static_cast<double>(h[k]) * (static_cast<double>(c[k]) + c[taps - 1 - k]);
        const float v = static_cast<float>((acc[0] + acc[1]) + (acc[2] + acc[3]));
        sum += static_cast<double>(v) * v;
    }
    return sum;
}

// Weighted least squares for the cosine series c0 + sum ck cos(k w) of a 255-tap
// linear-phase filter. Householder QR on the weighted design matrix: the normal equations
// would square its condition number, and the contour spans more than 100 dB.
bool designIsoFir(uint32_t rate, std::vector<float>& taps) {
    constexpr uint32_t kPoints = 512, kCoefs = 128;
    kyEqualLoudnessContour contour;
    if (!contour.build(75.0)) return false;
    const double reference = contour.level(1000.0);
    std::vector<double> A, rhs;
    try {
        A.assign(size_t(kPoints) * kCoefs, 0.0); // row-major, row i = point i
        rhs.assign(kPoints, 0.0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const double lowEdge = rate / 275.0, logEdge = std::log(lowEdge);
    for (uint32_t i = 0; i < kPoints; ++i) {
        const double f = i * (rate / 2.0) / 511.0;
        const double m = std::pow(10.0, (reference - contour.level(f)) * 0.05);
        // Extra weight towards DC, where the wanted response is deepest.
        double w = f < lowEdge ? 512.0 * (logEdge - std::log(f + 1.0)) / logEdge : 1.0;
        const double sw = std::sqrt(std::max(w, 0.0));
        const double omega = 2.0 * M_PI * i / 1023.0;
        for (uint32_t k = 0; k < kCoefs; ++k) A[size_t(i) * kCoefs + k] = sw * std::cos(k * omega);
        rhs[i] = sw * m;
    }
    // Householder triangularisation, applied to the right-hand side as it goes.
    for (uint32_t k = 0; k < kCoefs; ++k) {
        double norm = 0.0;
        for (uint32_t i = k; i < kPoints; ++i)
            norm += A[size_t(i) * kCoefs + k] * A[size_t(i) * kCoefs + k];
        norm = std::sqrt(norm);
        if (norm == 0.0) continue;
        const double akk = A[size_t(k) * kCoefs + k];
        const double alpha = akk > 0 ? -norm : norm;
        // v = x - alpha e1, stored in column k from row k
        A[size_t(k) * kCoefs + k] = akk - alpha;
        double vnorm2 = 0.0;
        for (uint32_t i = k; i < kPoints; ++i)
            vnorm2 += A[size_t(i) * kCoefs + k] * A[size_t(i) * kCoefs + k];
        if (vnorm2 == 0.0) {
            A[size_t(k) * kCoefs + k] = alpha;
            continue;
        }
        for (uint32_t j = k + 1; j < kCoefs; ++j) {
            double s = 0.0;
            for (uint32_t i = k; i < kPoints; ++i)
                s += A[size_t(i) * kCoefs + k] * A[size_t(i) * kCoefs + j];
            s = 2.0 * s / vnorm2;
            for (uint32_t i = k; i < kPoints; ++i)
                A[size_t(i) * kCoefs + j] -= s * A[size_t(i) * kCoefs + k];
        }
        double s = 0.0;
        for (uint32_t i = k; i < kPoints; ++i) s += A[size_t(i) * kCoefs + k] * rhs[i];
        s = 2.0 * s / vnorm2;
        for (uint32_t i = k; i < kPoints; ++i) rhs[i] -= s * A[size_t(i) * kCoefs + k];
        A[size_t(k) * kCoefs + k] = alpha; // R's diagonal; below it is scratch from here on
    }
    // Back substitution on R c = Q^T m.
    std::array<double, kCoefs> c{};
    for (int k = kCoefs - 1; k >= 0; --k) {
        double s = rhs[k];
        for (uint32_t j = k + 1; j < kCoefs; ++j) s -= A[size_t(k) * kCoefs + j] * c[j];
        const double d = A[size_t(k) * kCoefs + k];
        c[k] = d != 0.0 ? s / d : 0.0;
    }
    try {
        taps.assign(kyReplayGainAnalyzer::kFirTaps, 0.0f);
    } catch (const std::bad_alloc&) {
        return false;
    }
    constexpr uint32_t mid = kyReplayGainAnalyzer::kFirTaps / 2;
    taps[mid] = static_cast<float>(c[0]);
    for (uint32_t k = 1; k < kCoefs; ++k)
        taps[mid - k] = taps[mid + k] = static_cast<float>(c[k] / 2.0);
    return true;
}
} // namespace

kyReplayGainAnalyzer::kyReplayGainAnalyzer(bool isoVariant, float targetDb)
    : m_iso(isoVariant), m_targetOffset(targetDb - 89.0f - (isoVariant ? 20.51f : 25.49f)) {}

uint32_t kyReplayGainAnalyzer::rateIndexFor(uint32_t rate) {
    for (uint32_t i = 0; i + 1 < kRates.size(); ++i)
        if (rate >= (kRates[i] + kRates[i + 1]) / 2) return i;
    return kRates.size() - 1;
}

kyError kyReplayGainAnalyzer::init(uint32_t rate, uint32_t channels, uint32_t) {
    m_ready = false;
    if (channels == 0 || channels > kMaxChannels || rate == 0) return KYERR_INVALID_PARAMETER;
    m_channels = channels;
    m_rateIndex = rateIndexFor(rate);
    m_decimate = !m_iso && m_rateIndex < 3;
    const uint32_t filterRate = m_decimate ? kRates[m_rateIndex] / 2 : kRates[m_rateIndex];
    m_window = (filterRate * 5 + 99) / 100; // ceil(rate x 0.05)
    m_history = m_iso ? kFirHistory : kHistory;
    const size_t per = size_t(m_history) + m_window;
    try {
        m_in.assign(per * channels, 0.0f);
        if (m_iso) {
            m_mid.clear();
            m_out.clear();
        } else {
            m_mid.assign(per * channels, 0.0f);
            m_out.assign(per * channels, 0.0f);
        }
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    if (m_iso && !designIsoFir(rate, m_fir)) return KYERR_OUT_OF_MEMORY;
    m_histogram.fill(0);
    m_fill = 0;
    m_gain = 0.0f;
    try {
        m_halfBandLine.assign(m_decimate ? size_t(channels) * 2 * kHalfBandTaps : 0, 0.0f);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    m_halfBandPos = 0;
    m_halfBandOdd = false;
    m_ready = true;
    return KY_OK;
}

void kyReplayGainAnalyzer::appendFrames(float* const* planes, uint32_t nplanes, uint32_t offset,
                                        uint32_t frames) {
    const size_t per = size_t(m_history) + m_window;
    while (frames > 0) {
        const uint32_t n = std::min(frames, m_window - m_fill);
        for (uint32_t c = 0; c < m_channels; ++c) {
            float* dst = &m_in[c * per + m_history + m_fill];
            if (c < nplanes)
                std::copy_n(planes[c] + offset, n, dst);
            else
                std::fill_n(dst, n, 0.0f);
        }
        m_fill += n;
        offset += n;
        frames -= n;
        if (m_fill == m_window) filterWindow();
    }
}

// Above 48 kHz the stream is low-passed at a quarter of its rate and every second frame is
// weighted with the table of half the rate: the weighting curve is practically closed
// above 20 kHz anyway. Half-band FIR, Kaiser window (beta 8): flat within 0.01 dB to 0.22
// of the input rate, below -75 dB from 0.28.
void kyReplayGainAnalyzer::appendDecimated(float* const* planes, uint32_t nplanes,
                                           uint32_t frames) {
    struct HalfBand {
        // Non-zero taps only: the centre and every odd distance from it.
        std::array<double, kHalfBandTaps / 4 + 1> side{};
        double centre = 0.5;
        HalfBand() {
            constexpr double beta = 8.0;
            auto i0 = [](double x) {
                double sum = 1.0, term = 1.0;
                for (int k = 1; k < 40; ++k) term *= (x / (2.0 * k)) * (x / (2.0 * k)), sum += term;
                return sum;
            };
            constexpr int M = kHalfBandTaps / 2;
            for (size_t j = 0; j < side.size(); ++j) {
                const int d = 2 * int(j) + 1; // distance from the centre
                const double r = double(d) / M;
                const double w = i0(beta * std::sqrt(1.0 - r * r)) / i0(beta);
                side[j] = std::sin(M_PI * d / 2.0) / (M_PI * d) * w;
            }
        }
    };
    static const HalfBand hb;
    constexpr uint32_t T = kHalfBandTaps, M = T / 2;
    constexpr uint32_t kChunk = 1024;
    std::array<std::array<float, kChunk>, kMaxChannels> half;
    std::array<float*, kMaxChannels + 1> ptrs{};
    for (uint32_t c = 0; c < m_channels; ++c) ptrs[c] = half[c].data();
    uint32_t pos = 0;
    while (pos < frames) {
        uint32_t out = 0;
        while (out < kChunk && pos < frames) {
            m_halfBandPos = m_halfBandPos == 0 ? T - 1 : m_halfBandPos - 1;
            for (uint32_t c = 0; c < m_channels; ++c) {
                float* line = &m_halfBandLine[size_t(c) * 2 * T];
                const float x = c < nplanes ? planes[c][pos] : 0.0f;
                line[m_halfBandPos] = line[m_halfBandPos + T] = x;
            }
            m_halfBandOdd = !m_halfBandOdd;
            if (!m_halfBandOdd) {
                for (uint32_t c = 0; c < m_channels; ++c) {
                    const float* x = &m_halfBandLine[size_t(c) * 2 * T + m_halfBandPos];
                    double acc = hb.centre * x[M];
                    for (uint32_t j = 0; j < hb.side.size(); ++j)
                        acc += hb.side[j] * (double(x[M - 1 - 2 * j]) + x[M + 1 + 2 * j]);
                    half[c][out] = static_cast<float>(acc);
                }
                ++out;
            }
            ++pos;
        }
        appendFrames(ptrs.data(), m_channels, 0, out);
    }
}

void kyReplayGainAnalyzer::process(float* const* planes, uint32_t frames) {
    if (!m_ready) return;
    // Planes missing from a short array (or a null array) are silence.
    const uint32_t nplanes = presentPlanes(planes, m_channels);
    if (m_decimate)
        appendDecimated(planes, nplanes, frames);
    else
        appendFrames(planes, nplanes, 0, frames);
}

void kyReplayGainAnalyzer::filterWindow() {
    const size_t per = size_t(m_history) + m_window;
    double sum = 0.0;
    for (uint32_t c = 0; c < m_channels; ++c) {
        float* in = &m_in[c * per];
        if (m_iso) {
            sum += firSquares(in + m_history, m_window, m_fir.data());
        } else {
            const WeightingRow& r = weightingRow(m_rateIndex);
            float* mid = &m_mid[c * per];
            float* out = &m_out[c * per];
            yuleWalker(in + m_history, mid + m_history, m_window, r);
            sum += butterworthSquares(mid + m_history, out + m_history, m_window, r);
            std::copy_n(mid + m_window, m_history, mid);
            std::copy_n(out + m_window, m_history, out);
        }
        std::copy_n(in + m_window, m_history, in);
    }
    if (!std::isfinite(sum)) {
        // A non-finite sample would stay in the recursive filters for good: forget it and
        // the window it came in.
        std::fill(m_in.begin(), m_in.end(), 0.0f);
        std::fill(m_mid.begin(), m_mid.end(), 0.0f);
        std::fill(m_out.begin(), m_out.end(), 0.0f);
    } else {
        countWindow(sum);
    }
    m_fill = 0;
}

void kyReplayGainAnalyzer::countWindow(double sum) {
    const double level = 10.0 * std::log10(sum / (double(m_channels) * m_window) + 1e-37) + 120.0;
    // Above 0 dBFS is possible once the weighting lifts a full-scale signal: count it in
    // the top bin.
    const double scaled = level * 100.0;
    uint32_t bin = 0;
    if (scaled >= double(kBins - 1))
        bin = kBins - 1;
    else if (scaled > 0.0)
        bin = static_cast<uint32_t>(scaled);
    ++m_histogram[bin];
}

void kyReplayGainAnalyzer::finish() {
    if (!m_ready) return;
    if (m_fill > 0 && m_fill >= m_window / 2) appendFrames(nullptr, 0, 0, m_window - m_fill);
    m_fill = 0;
    m_gain = m_targetOffset - kyReplayGainStatistic(m_histogram);
}

float kyReplayGainStatistic(const std::array<uint32_t, kyReplayGainAnalyzer::kBins>& bins) {
    uint64_t total = 0;
    for (uint32_t v : bins) total += v;
    if (total == 0) return 0.0f;
    int64_t upper = static_cast<int64_t>(std::ceil(double(total) * double(1.0f - 0.95f)));
    int32_t i = kyReplayGainAnalyzer::kBins - 1;
    for (; i > 0; --i)
        if ((upper -= bins[i]) <= 0) break;
    return static_cast<float>(i * 0.01 - 120.0);
}
