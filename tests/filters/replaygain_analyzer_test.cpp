#include "filters/equal_loudness.h"
#include "filters/itu_bs1770_analyzer.h"
#include "filters/replaygain_album_analyzer.h"
#include "filters/replaygain_analyzer.h"
#include "support/loudness_signals.h"
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace loudness_signals;

namespace {
using RgPtr = kyGainAnalyzerPtr<kyReplayGainAnalyzer>;

RgPtr analyze(Planes& p, uint32_t rate, bool iso = false, float target = 89.0f,
              uint32_t block = 4096) {
    auto a = kyMakeGainAnalyzer<kyReplayGainAnalyzer>(iso, target);
    EXPECT_EQ(a->init(rate, static_cast<uint32_t>(p.size()), 0), KY_OK);
    feed(*a, p, block);
    return a;
}

// Rounds to 16-bit steps, so that our analysis and metaflac's see the same samples.
void to16Bit(Planes& p) {
    for (auto& ch : p)
        for (float& v : ch)
            v = static_cast<float>(std::clamp(std::lround(v * 32768.0), -32768l, 32767l) / 32768.0);
}

class TempDir {
public:
    TempDir() {
        std::string t = (fs::temp_directory_path() / "rgtestXXXXXX").string();
        if (mkdtemp(t.data())) m_path = t;
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty()) fs::remove_all(m_path, ec);
    }
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

// metaflac leaves the last complete 50 ms window of a file out of its histogram (checked
// with a file whose first and last windows differ in level); its copy of the audio gets
// `padFrames` of silence at the end so that both analyses count the same windows.
bool writeWav16(const fs::path& file, const Planes& p, uint32_t rate, uint32_t padFrames = 0) {
    std::ofstream f(file, std::ios::binary);
    const uint32_t ch = static_cast<uint32_t>(p.size());
    const uint32_t audio = static_cast<uint32_t>(p[0].size()), frames = audio + padFrames;
    const uint32_t data = frames * ch * 2;
    auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
    f.write("RIFF", 4), u32(36 + data), f.write("WAVEfmt ", 8), u32(16), u16(1), u16(ch);
    u32(rate), u32(rate * ch * 2), u16(ch * 2), u16(16), f.write("data", 4), u32(data);
    for (uint32_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < ch; ++c)
            u16(i < audio
                    ? static_cast<uint16_t>(static_cast<int16_t>(std::lround(p[c][i] * 32768.0)))
                    : 0);
    return bool(f);
}

bool haveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Encodes each file to FLAC and lets metaflac compute track and album gains.
bool metaflacGains(const std::vector<fs::path>& wavs, std::vector<double>& track, double& album) {
    std::string files;
    for (const auto& w : wavs) {
        const fs::path flac = fs::path(w).replace_extension(".flac");
        const std::string enc = "flac -s -f -o '" + flac.string() + "' '" + w.string() + "'";
        if (std::system(enc.c_str()) != 0) return false;
        files += " '" + flac.string() + "'";
    }
    if (std::system(("metaflac --add-replay-gain" + files).c_str()) != 0) return false;
    track.clear();
    for (const auto& w : wavs) {
        const fs::path flac = fs::path(w).replace_extension(".flac");
        const std::string cmd = "metaflac --show-tag=REPLAYGAIN_TRACK_GAIN "
                                "--show-tag=REPLAYGAIN_ALBUM_GAIN '" +
                                flac.string() + "'";
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) return false;
        char line[256];
        double t = NAN, a = NAN;
        while (std::fgets(line, sizeof line, p)) {
            std::sscanf(line, "REPLAYGAIN_TRACK_GAIN=%lf", &t);
            std::sscanf(line, "REPLAYGAIN_ALBUM_GAIN=%lf", &a);
        }
        pclose(p);
        if (std::isnan(t) || std::isnan(a)) return false;
        track.push_back(t);
        album = a;
    }
    return true;
}
} // namespace

TEST(ReplayGainAnalyzer, RatesAndWindows) {
    struct {
        uint32_t rate, index, window;
    } cases[] = {{44100, 4, 2205}, {44000, 4, 2205}, {46050, 3, 2400},  {46049, 4, 2205},
                 {48000, 3, 2400}, {96000, 0, 2400}, {192000, 0, 2400}, {88200, 1, 2205},
                 {64000, 2, 1600}, {32000, 5, 1600}, {22050, 7, 1103},  {9512, 10, 552},
                 {9511, 11, 400},  {8000, 11, 400},  {1, 11, 400}};
    for (auto c : cases) {
        kyReplayGainAnalyzer a(false, 89.0f);
        ASSERT_EQ(a.init(c.rate, 2, 0), KY_OK) << c.rate;
        EXPECT_EQ(a.rateIndex(), c.index) << c.rate;
        // Above 48 kHz the weighting runs at half the rate: windows of half as many frames.
        EXPECT_EQ(a.windowFrames(), c.window) << c.rate;
    }
    kyReplayGainAnalyzer iso(true, 89.0f);
    ASSERT_EQ(iso.init(96000, 2, 0), KY_OK);
    EXPECT_EQ(iso.windowFrames(), 4800u);

    kyReplayGainAnalyzer a(false, 89.0f);
    EXPECT_EQ(a.init(44100, 17, 0), KYERR_INVALID_PARAMETER);
    EXPECT_EQ(a.init(44100, 0, 0), KYERR_INVALID_PARAMETER);
    EXPECT_EQ(a.init(0, 2, 0), KYERR_INVALID_PARAMETER);
    EXPECT_EQ(a.init(44100, 16, 0), KY_OK);
}

TEST(ReplayGainAnalyzer, EdgeCasesOfTheMeasurement) {
    for (bool iso : {false, true}) {
        const float offset = 89.0f - 89.0f - (iso ? 20.51f : 25.49f);
        // Shorter than half a window (2205 / 2 = 1102 frames): nothing is measured.
        auto shortTone = sine(2, 44100, 1101, 1000, -20);
        EXPECT_FLOAT_EQ(analyze(shortTone, 44100, iso)->gain(), offset);
        // Half a window is completed with silence and counts.
        auto halfTone = sine(2, 44100, 1102, 1000, -20);
        EXPECT_GT(std::fabs(analyze(halfTone, 44100, iso)->gain() - offset), 1.0f);

        // Digital silence lands in bin 0: -120 dB.
        Planes silence(2, std::vector<float>(44100, 0.0f));
        auto s = analyze(silence, 44100, iso);
        EXPECT_FLOAT_EQ(s->gain(), offset + 120.0f);
        EXPECT_EQ(s->histogram()[0], 20u);
        // A null block is silence too, and planes missing from a short array are silent.
        kyReplayGainAnalyzer n(iso, 89.0f);
        ASSERT_EQ(n.init(44100, 2, 0), KY_OK);
        n.process(nullptr, 44100);
        n.finish();
        EXPECT_FLOAT_EQ(n.gain(), offset + 120.0f);
        auto mono = sine(1, 44100, 44100, 1000, -20);
        auto stereo = sine(2, 44100, 44100, 1000, -20);
        std::fill(stereo[1].begin(), stereo[1].end(), 0.0f);
        kyReplayGainAnalyzer m(iso, 89.0f);
        ASSERT_EQ(m.init(44100, 2, 0), KY_OK);
        auto ptrs = pointers(mono);
        m.process(ptrs.data(), 44100);
        m.finish();
        EXPECT_FLOAT_EQ(m.gain(), analyze(stereo, 44100, iso)->gain());
    }

    // A window louder than full scale after weighting is counted in the top bin: the ISO
    // filter lifts 3.5 kHz by several dB, and a full-scale square wave has a mean square
    // of 1.
    Planes square(2, std::vector<float>(44100));
    for (uint32_t i = 0; i < 44100; ++i)
        square[0][i] = square[1][i] = (i * 3500 * 2 / 44100) % 2 ? -1.0f : 1.0f;
    auto loud = analyze(square, 44100, true);
    EXPECT_GT(loud->histogram()[kyReplayGainAnalyzer::kBins - 1], 15u);
    EXPECT_FLOAT_EQ(loud->gain(), loud->targetOffset());

    // Non-finite samples do not poison the rest of the track.
    auto tone = sine(2, 44100, 441000, 1000, -20);
    const float clean = analyze(tone, 44100)->gain();
    tone[0][1000] = NAN;
    tone[1][2000] = INFINITY;
    EXPECT_NEAR(analyze(tone, 44100)->gain(), clean, 0.02);
}

TEST(ReplayGainAnalyzer, BlockSizeDoesNotMatter) {
    auto music = musicLike(2, 44100, 3 * 44100 + 77, -12, 5);
    auto hi = musicLike(2, 96000, 2 * 96000 + 3, -12, 5);
    for (bool iso : {false, true}) {
        const float whole = analyze(music, 44100, iso, 89.0f, 1u << 30)->gain();
        for (uint32_t block : {1u, 7u, 588u, 2205u, 4096u})
            EXPECT_EQ(analyze(music, 44100, iso, 89.0f, block)->gain(), whole) << block;
        const float wholeHi = analyze(hi, 96000, iso, 89.0f, 1u << 30)->gain();
        for (uint32_t block : {1u, 333u, 4800u})
            EXPECT_EQ(analyze(hi, 96000, iso, 89.0f, block)->gain(), wholeHi) << block;
    }
}

TEST(ReplayGainAnalyzer, ReferenceCounting) {
    static int destroyed = 0;
    struct Counted : kyReplayGainAnalyzer {
        Counted() : kyReplayGainAnalyzer(false, 89.0f) {}
        ~Counted() override { ++destroyed; }
    };
    destroyed = 0;
    {
        auto a = kyMakeGainAnalyzer<Counted>();
        kyGainAnalyzer* raw = a.get();
        raw->AddRef(); // a second holder, e.g. the batch runner's album record
        {
            auto shared = kyGainAnalyzerPtr<kyGainAnalyzer>::share(raw);
            auto copy = shared;
        }
        EXPECT_EQ(destroyed, 0);
        raw->Release();
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 1);
}

TEST(ReplayGainAnalyzer, AlbumGain) {
    kyReplayGainAlbumAnalyzer album;
    auto tone = sine(2, 44100, 441000, 1000, -20);
    auto t = analyze(tone, 44100);
    EXPECT_EQ(album.add(t.get()), KYERR_SEQUENCE);
    ASSERT_EQ(album.init(), KY_OK);
    album.compute();
    EXPECT_EQ(album.gain(), 0.0f); // nothing added yet
    kyITUBS1770Analyzer other(2, 0.0f);
    EXPECT_EQ(album.add(&other), KYERR_INVALID_PARAMETER);
    EXPECT_EQ(album.add(nullptr), KYERR_INVALID_PARAMETER);
    ASSERT_EQ(album.add(t.get()), KY_OK);
    album.compute();
    EXPECT_EQ(album.gain(), t->gain()); // a single track: the album is the track

    // Louder and quieter tracks: the album lands between them.
    auto quiet = sine(2, 44100, 441000, 1000, -30);
    auto q = analyze(quiet, 44100);
    ASSERT_EQ(album.add(q.get()), KY_OK);
    album.compute();
    EXPECT_EQ(album.tracksAdded(), 2u);
    EXPECT_GE(album.gain(), t->gain());
    EXPECT_LE(album.gain(), q->gain());
}

TEST(ReplayGainAnalyzer, IsoVariantFollowsTheContour) {
    kyReplayGainAnalyzer a(true, 89.0f);
    ASSERT_EQ(a.init(44100, 2, 0), KY_OK);
    const auto& h = a.firCoefficients();
    ASSERT_EQ(h.size(), 255u);
    for (uint32_t k = 0; k < 127; ++k) EXPECT_EQ(h[k], h[254 - k]); // linear phase
    kyEqualLoudnessContour c;
    ASSERT_TRUE(c.build(75.0));
    for (double f : {100.0, 300.0, 1000.0, 3000.0, 6000.0, 10000.0}) {
        std::complex<double> H = 0;
        for (uint32_t k = 0; k < 255; ++k)
            H += double(h[k]) * std::polar(1.0, -2 * M_PI * f * k / 44100);
        EXPECT_NEAR(20 * std::log10(std::abs(H)), c.level(1000) - c.level(f), 0.5) << f;
    }
    // A 1 kHz tone passes at its own level: -20 dBFS peak is -23.01 dB mean square.
    auto tone = sine(2, 44100, 441000, 1000, -20);
    EXPECT_NEAR(analyze(tone, 44100, true)->gain(), -20.51 + 23.01, 0.1);
}

// Our standard analysis against metaflac's, on the same 16-bit audio at 44.1 kHz.
TEST(ReplayGainAnalyzer, MatchesMetaflac) {
    if (!haveTool("metaflac") || !haveTool("flac")) GTEST_SKIP() << "metaflac not installed";
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    constexpr uint32_t rate = 44100, frames = 160 * 2205; // 8 s of whole windows
    struct Item {
        const char* name;
        Planes audio;
    };
    std::vector<Item> items;
    items.push_back({"sine1k-20", sine(2, rate, frames, 1000, -20)});
    items.push_back({"sine100-6", sine(2, rate, frames, 100, -6)});
    items.push_back({"sine3k-30", sine(2, rate, frames, 3000, -30, 0.3)});
    items.push_back({"sine10k-12", sine(2, rate, frames, 10000, -12)});
    items.push_back({"sine40-3", sine(2, rate, frames, 40, -3)});
    items.push_back({"pink-20", pinkNoisePlanes(2, frames, -20, 11)});
    items.push_back({"pink-35", pinkNoisePlanes(2, frames, -35, 21)});
    items.push_back({"music-10", musicLike(2, rate, frames, -10, 1)});
    items.push_back({"music-25", musicLike(2, rate, frames, -25, 2)});
    std::vector<fs::path> wavs;
    for (auto& it : items) {
        to16Bit(it.audio);
        wavs.push_back(dir.path() / (std::string(it.name) + ".wav"));
        ASSERT_TRUE(writeWav16(wavs.back(), it.audio, rate, 2205));
    }
    std::vector<double> theirs;
    double theirAlbum = 0;
    // Track gains, one metaflac run per file.
    for (size_t i = 0; i < items.size(); ++i) {
        std::vector<double> t;
        double a;
        ASSERT_TRUE(metaflacGains({wavs[i]}, t, a)) << items[i].name;
        const float ours = analyze(items[i].audio, rate)->gain();
        std::printf("  %-11s ours %+7.3f dB, metaflac %+6.2f dB\n", items[i].name, ours, t[0]);
        EXPECT_NEAR(ours, t[0], 0.02) << items[i].name;
    }
    // An album of three.
    const size_t pick[] = {0, 5, 7};
    ASSERT_TRUE(metaflacGains({wavs[pick[0]], wavs[pick[1]], wavs[pick[2]]}, theirs, theirAlbum));
    kyReplayGainAlbumAnalyzer album;
    ASSERT_EQ(album.init(), KY_OK);
    for (size_t i : pick) {
        auto t = analyze(items[i].audio, rate);
        ASSERT_EQ(album.add(t.get()), KY_OK);
    }
    album.compute();
    std::printf("  album       ours %+7.3f dB, metaflac %+6.2f dB\n", album.gain(), theirAlbum);
    EXPECT_NEAR(album.gain(), theirAlbum, 0.02);
}

// The other rates' weighting filters, against metaflac on the same music-like material.
TEST(ReplayGainAnalyzer, MatchesMetaflacAtEveryRate) {
    if (!haveTool("metaflac") || !haveTool("flac")) GTEST_SKIP() << "metaflac not installed";
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    // 96, 88.2 and 64 kHz weight at half the rate with the 48, 44.1 and 32 kHz filters:
    // that agrees on material like music, but metaflac's own filters for those rates let
    // more of the band above 20 kHz through, and pink noise, as loud there as in any other
    // octave, measures 0.2 to 0.4 dB louder with them.
    struct {
        uint32_t rate;
        double tolerance, pinkTolerance = 0.0; // dB (pink noise only above 48 kHz)
    } rates[] = {{96000, 0.05, 0.5}, {88200, 0.05, 0.5}, {64000, 0.05, 0.5}, {48000, 0.02},
                 {32000, 0.02},      {24000, 0.02},      {22050, 0.02},      {16000, 0.02},
                 {12000, 0.02},      {11025, 0.02},      {8000, 0.02}};
    for (auto r : rates) {
        const uint32_t window = (r.rate * 5 + 99) / 100;
        // Pink noise reaches up to half the rate: above 48 kHz that tests the half-rate
        // weighting on content that would alias.
        for (int kind = 0; kind < (r.rate > 48000 ? 2 : 1); ++kind) {
            auto audio = kind == 0 ? musicLike(2, r.rate, 80 * window, -14, r.rate)
                                   : pinkNoisePlanes(2, 80 * window, -20, r.rate);
            to16Bit(audio);
            const fs::path wav = dir.path() / ("m" + std::to_string(r.rate) + ".wav");
            ASSERT_TRUE(writeWav16(wav, audio, r.rate, window));
            std::vector<double> t;
            double a;
            ASSERT_TRUE(metaflacGains({wav}, t, a)) << r.rate;
            const float ours = analyze(audio, r.rate)->gain();
            std::printf("  %6u Hz %-5s ours %+7.3f dB, metaflac %+6.2f dB\n", r.rate,
                        kind ? "pink" : "music", ours, t[0]);
            EXPECT_NEAR(ours, t[0], kind ? r.pinkTolerance : r.tolerance) << r.rate << " " << kind;
        }
    }
}

// Very quiet low-frequency material: brown noise, high-passed, at -60 dBFS RMS. The
// weighting takes out most of its energy, so what is left is within 20 dB of the 16-bit
// rounding noise of the file metaflac reads: measured on the same 16-bit samples both
// analyses agree to the 0.01 dB step, while the unrounded signal reads 0.02 to 0.03 dB
// quieter (a higher gain).
TEST(ReplayGainAnalyzer, MatchesMetaflacOnQuietLowFrequencyNoise) {
    if (!haveTool("metaflac") || !haveTool("flac")) GTEST_SKIP() << "metaflac not installed";
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    constexpr uint32_t rate = 44100, frames = 160 * 2205;
    auto brown = [&](double highPassHz, uint32_t seed) {
        std::mt19937 rng(seed);
        std::normal_distribution<double> n(0.0, 1.0);
        std::vector<std::vector<double>> d(2, std::vector<double>(frames));
        const double a = std::exp(-2 * M_PI * highPassHz / rate);
        double squares = 0;
        for (auto& ch : d) {
            double b = 0, x1 = 0, y1 = 0;
            for (double& v : ch) {
                b = 0.99999 * b + n(rng);
                v = y1 = a * (y1 + b - x1);
                x1 = b;
                squares += v * v;
            }
        }
        const double k = std::pow(10.0, -60.0 / 20) / std::sqrt(squares / (2.0 * frames));
        Planes p(2, std::vector<float>(frames));
        for (uint32_t c = 0; c < 2; ++c)
            for (uint32_t i = 0; i < frames; ++i) p[c][i] = static_cast<float>(d[c][i] * k);
        return p;
    };
    double largestRounding = 0;
    for (double hp : {2.0, 5.0, 20.0}) {
        Planes exact = brown(hp, 17), rounded = exact;
        to16Bit(rounded);
        const fs::path wav = dir.path() / "brown.wav";
        ASSERT_TRUE(writeWav16(wav, rounded, rate, 2205));
        std::vector<double> t;
        double a;
        ASSERT_TRUE(metaflacGains({wav}, t, a));
        const float ours = analyze(rounded, rate)->gain();
        const float unrounded = analyze(exact, rate)->gain();
        std::printf("  high-pass %4.0f Hz: ours %+7.3f dB, metaflac %+6.2f dB, unrounded %+7.3f dB\n",
                    hp, ours, t[0], unrounded);
        EXPECT_LE(std::fabs(ours - t[0]), 0.0101) << hp;
        largestRounding = std::max(largestRounding, double(unrounded - ours));
    }
    EXPECT_GE(largestRounding, 0.015);
}
