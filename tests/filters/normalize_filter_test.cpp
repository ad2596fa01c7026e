#include "filters/normalize_filter.h"

#include "core/data_format.h"
#include "core/manager.h"
#include "core/text.h"
#include "filters/itu_bs1770_analyzer.h"
#include "filters/replaygain_analyzer.h"
#include "formats/writer_filter.h"
#include "platform/temp_file.h"
#include "stream_fixture.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include "support/loudness_signals.h"
#include "support/scoped_env.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <sys/resource.h>

#if DSKR_HAVE_EBUR128
#include <ebur128.h>
#endif

using namespace filters_test;
namespace fs = std::filesystem;

namespace {

kyNormalizeSettings settingsFor(uint32_t type, bool meta, float target, bool db = true,
                                bool neverClip = false) {
    kyNormalizeSettings s;
    s.type = type;
    s.storeMeta = meta ? 1 : 0;
    s.target = target;
    s.targetIsDb = db ? 1 : 0;
    s.neverClip = neverClip ? 1 : 0;
    return s;
}

// source -> normalize -> sink; the chain owns all three.
struct NormalizeChain {
    ScriptedSource* source;
    kyNormalizeFilter* normalize;
    RecordingSink* sink;
    NormalizeChain(Planes data, const kyNormalizeSettings& s, BlockPattern pattern = {"588", {588}})
        : source(new ScriptedSource(std::move(data), std::move(pattern))),
          normalize(new kyNormalizeFilter(s)), sink(new RecordingSink) {
        source->Connect(sink);
        sink->InsertBefore(normalize);
    }
    ~NormalizeChain() { source->DestroyChain(); }
    kyError run() { return sink->Run(); }
    std::string property(uint32_t slot) {
        const char* t = normalize->GetPropertyUtf8(slot);
        return t ? t : "";
    }
};

float largest(const Planes& p) {
    float m = 0;
    for (const auto& ch : p)
        for (float v : ch) m = std::max(m, std::fabs(v));
    return m;
}

Planes scaled(Planes p, float k) {
    for (auto& ch : p)
        for (float& v : ch) v *= k;
    return p;
}

float replayGainOf(Planes& p, uint32_t rate = 44100) {
    kyReplayGainAnalyzer a(false, 89.0f);
    EXPECT_EQ(a.init(rate, static_cast<uint32_t>(p.size()), 0), KY_OK);
    loudness_signals::feed(a, p, 4096);
    return a.gain();
}

// Entries of a directory (no "." and "..").
int entriesIn(const std::string& dir) {
    int n = 0;
    for (auto it = fs::directory_iterator(dir); it != fs::directory_iterator(); ++it) ++n;
    return n;
}

int openDescriptors() {
    int n = 0;
    for (auto it = fs::directory_iterator("/proc/self/fd"); it != fs::directory_iterator(); ++it)
        ++n;
    return n;
}

} // namespace

// Peak normalisation: exact full scale, a dB target, a linear target, and a silent track,
// whatever the block pattern.
TEST(NormalizeFilter, PeakLevelTargets) {
    Planes music = scaled(noise(2, 20000, 3), 0.5f);
    const float peak = largest(music);
    for (const BlockPattern& pattern : standardPatterns()) {
        {
            NormalizeChain c(music, settingsFor(KYNORM_PEAK, false, 0.0f), pattern);
            ASSERT_EQ(c.run(), KY_OK) << pattern.name;
            EXPECT_DOUBLE_EQ(c.normalize->gain(), 1.0 / peak);
            EXPECT_EQ(largest(c.sink->got), 1.0f) << pattern.name; // exactly full scale
            EXPECT_EQ(c.sink->frames(), 20000u);
            EXPECT_EQ(c.sink->endCalls, 1);
        }
        {
            NormalizeChain c(music, settingsFor(KYNORM_PEAK, false, -1.0f), pattern);
            ASSERT_EQ(c.run(), KY_OK);
            EXPECT_NEAR(20 * std::log10(largest(c.sink->got)), -1.0, 0.001) << pattern.name;
            EXPECT_EQ(c.property(KYPROP_PEAK).substr(0, 6), "0.8912");
            EXPECT_EQ(c.property(KYPROP_TRACK_GAIN), ""); // "Modify Audio": nothing to store
        }
    }
    NormalizeChain linear(music, settingsFor(KYNORM_PEAK, false, 0.25f, false));
    ASSERT_EQ(linear.run(), KY_OK);
    EXPECT_NEAR(largest(linear.sink->got), 0.25f, 1e-7);

    // Silence: the peak is 0, the gain stays 1 and the samples pass as they are.
    Planes silence(2, std::vector<float>(5000, 0.0f));
    NormalizeChain quiet(silence, settingsFor(KYNORM_PEAK, false, 0.0f));
    ASSERT_EQ(quiet.run(), KY_OK);
    EXPECT_EQ(quiet.normalize->gain(), 1.0);
    EXPECT_EQ(quiet.sink->got, silence);
    EXPECT_EQ(quiet.property(KYPROP_PEAK), "0.000000");
}

// Every other type's rule, and the clamp that keeps the output within full scale.
TEST(NormalizeFilter, GainRulesAndClamping) {
    Planes p = scaled(noise(2, 30000, 9), 0.3f);
    double sum = 0, squares = 0;
    for (const auto& ch : p)
        for (float v : ch) sum += v, squares += double(v) * v;
    const double n = 60000, rms = std::sqrt(squares / n);
    const double acRms = std::sqrt(squares / n - (sum / n) * (sum / n));
    struct Case {
        uint32_t type;
        float target;
        bool db;
        double expected;
    } cases[] = {
        {KYNORM_FIXED, 6.0f, true, std::pow(10.0, 0.3)},
        {KYNORM_FIXED, 0.5f, false, 0.5},
        {KYNORM_RMS, -20.0f, true, 0.1 / rms},
        {KYNORM_AC_RMS, -20.0f, true, 0.1 / acRms},
        {KYNORM_FIXED, 40.0f, true, 100.0}, // far past full scale: clamped below
    };
    for (const Case& c : cases) {
        NormalizeChain chain(p, settingsFor(c.type, false, c.target, c.db));
        ASSERT_EQ(chain.run(), KY_OK) << c.type;
        EXPECT_NEAR(chain.normalize->gain(), c.expected, c.expected * 1e-6) << c.type;
        EXPECT_LE(largest(chain.sink->got), 1.0f) << c.type;
        EXPECT_NEAR(chain.sink->got[1][777], std::clamp(p[1][777] * c.expected, -1.0, 1.0), 1e-6)
            << c.type;
    }
}

// Targets that give no usable gain are refused, and so is an option the filter lacks.
TEST(NormalizeFilter, UnusableSettingsAreRefused) {
    Planes p = scaled(noise(2, 4000, 1), 0.5f);
    auto peak = [](float target, bool db) { return settingsFor(KYNORM_PEAK, false, target, db); };
    kyNormalizeSettings truePeak = peak(0, true), unknown = peak(0, true), clip = peak(0, true);
    truePeak.truePeak = 1;
    unknown.type = 5;
    clip.clipLimit = 0.0f;
    const kyNormalizeSettings cases[] = {
        peak(0.0f, false),                          // a linear target of 0
        peak(-1.0f, false),                         // or below
        peak(NAN, true),                            // not a number
        settingsFor(KYNORM_FIXED, false, 10000.0f), // 10^500: no finite gain
        settingsFor(KYNORM_REPLAYGAIN, false, 0.0f, false),
        truePeak,
        unknown,
        clip,
    };
    for (const auto& s : cases) {
        NormalizeChain c(p, s);
        EXPECT_EQ(c.normalize->Analyze(), KYERR_INVALID_PARAMETER) << s.type << " " << s.target;
        EXPECT_FALSE(c.normalize->analysed());
        EXPECT_EQ(c.run(), KYERR_INVALID_PARAMETER);
        EXPECT_EQ(c.sink->writeCalls, 0);
    }
}

// ReplayGain: "Modify Audio" brings the track to the target; "Never raise to clipping"
// cuts a +6 dB gain on a track peaking at 0.9 to 1/0.9 while slot 23 keeps the measured
// gain in "Store Meta data".
TEST(NormalizeFilter, ReplayGainModifyAndNeverClip) {
    loudness_signals::Planes music = loudness_signals::musicLike(2, 44100, 44100 * 4, -20, 4);
    {
        NormalizeChain c(music, settingsFor(KYNORM_REPLAYGAIN, false, 89.0f));
        ASSERT_EQ(c.run(), KY_OK);
        EXPECT_NEAR(replayGainOf(c.sink->got), 0.0, 0.02);
        EXPECT_EQ(c.property(KYPROP_TRACK_GAIN), "0.00 dB");
        EXPECT_EQ(c.property(KYPROP_ALBUM_GAIN), "");
    }
    // Peak 0.9 and a target that asks for +6 dB exactly.
    const float k = 0.9f / largest(music);
    music = scaled(music, k);
    const float measured = replayGainOf(music);
    const float target = 89.0f + 6.0f - measured;
    for (bool meta : {false, true}) {
        NormalizeChain c(music, settingsFor(KYNORM_REPLAYGAIN, meta, target, true, true));
        ASSERT_EQ(c.run(), KY_OK);
        EXPECT_TRUE(c.normalize->gainReduced());
        EXPECT_NEAR(c.normalize->gain(), 1.0 / 0.9, 1e-6);
        if (meta) {
            EXPECT_EQ(c.property(KYPROP_TRACK_GAIN), "6.00 dB");
            EXPECT_EQ(c.sink->got, music); // bit-identical
        } else {
            EXPECT_NEAR(largest(c.sink->got), 1.0f, 1e-6);
        }
    }
    // Without never-clip the +6 dB are applied and the clamp holds the peaks.
    NormalizeChain loud(music, settingsFor(KYNORM_REPLAYGAIN, false, target, true, false));
    ASSERT_EQ(loud.run(), KY_OK);
    EXPECT_FALSE(loud.normalize->gainReduced());
    EXPECT_NEAR(20 * std::log10(loud.normalize->gain()), 6.0, 0.01);
    EXPECT_EQ(largest(loud.sink->got), 1.0f);
}

// "Store Meta data": the samples are untouched and an interleaved source stream reaches
// the sink byte for byte; the gains are answered as text in every encoding.
TEST(NormalizeFilter, StoreMetaPassesTheStreamUnchanged) {
    Planes p = scaled(noise(2, 12345, 5), 0.25f);
    NormalizeChain planar(p, settingsFor(KYNORM_REPLAYGAIN_ISO, true, 89.0f));
    ASSERT_EQ(planar.run(), KY_OK);
    EXPECT_EQ(planar.sink->got, p);

    // The interleaved way: the sink asks for the source's format and runs it.
    NormalizeChain inter(p, settingsFor(KYNORM_REPLAYGAIN, true, 89.0f));
    inter.source->setInterleaved("PCM 16-bit");
    ASSERT_STREQ(inter.normalize->GetInterleavedFormat(2), "PCM 16-bit");
    ASSERT_EQ(inter.normalize->RunInterleaved(), KY_OK);
    ASSERT_EQ(inter.sink->bytes.size(), size_t(12345) * 4);
    for (uint32_t i = 0; i < 12345; i += 1000) {
        int16_t v;
        std::memcpy(&v, &inter.sink->bytes[size_t(i) * 4 + 2], 2);
        EXPECT_EQ(v, inter.source->pcm16(i, 1));
    }
    // The gain measured on the 16-bit samples is the one stored.
    Planes pcm(2, std::vector<float>(12345));
    for (uint32_t c = 0; c < 2; ++c)
        for (uint32_t i = 0; i < 12345; ++i) pcm[c][i] = inter.source->pcm16(i, c) / 32768.0f;
    const std::string gain = kyFormatFixed(replayGainOf(pcm), 2);
    EXPECT_EQ(inter.property(KYPROP_TRACK_GAIN), gain + " dB");
    EXPECT_STREQ(inter.normalize->GetPropertyA(KYPROP_TRACK_GAIN), (gain + " dB").c_str());
    const char16_t* w = inter.normalize->GetPropertyW(KYPROP_TRACK_GAIN);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(std::u16string(w).size(), gain.size() + 3);
    // Slots it does not answer come from upstream.
    inter.source->properties().setUtf8(KYPROP_TITLE, "Title");
    EXPECT_EQ(inter.property(KYPROP_TITLE), "Title");
    EXPECT_EQ(inter.property(KYPROP_LOUDNESS), ""); // R 128 only
    // "Modify Audio" offers no interleaved form: the gain must reach the samples.
    NormalizeChain modify(p, settingsFor(KYNORM_REPLAYGAIN, false, 89.0f));
    modify.source->setInterleaved("PCM 16-bit");
    EXPECT_EQ(modify.normalize->GetInterleavedFormat(2), nullptr);
    EXPECT_EQ(modify.normalize->RunInterleaved(), KYERR_SEQUENCE);
    // ... but the analysis still keeps the 16-bit form, and the replay converts it.
    ASSERT_EQ(modify.run(), KY_OK);
    EXPECT_NEAR(modify.sink->got[0][4321], pcm[0][4321] * modify.normalize->gain(), 1e-6);
}

// EBU R 128: "Modify Audio" lands on the target as libebur128 measures it, and slot 25
// tells the loudness before ("Store Meta data") or after ("Modify Audio") the change.
TEST(NormalizeFilter, EbuR128AgainstLibebur128) {
#if !DSKR_HAVE_EBUR128
    GTEST_SKIP() << "libebur128 is not installed";
#else
    auto measure = [](const Planes& p, uint32_t rate) {
        ebur128_state* st = ebur128_init(2, rate, EBUR128_MODE_I);
        std::vector<float> inter(p[0].size() * 2);
        for (size_t i = 0; i < p[0].size(); ++i) inter[2 * i] = p[0][i], inter[2 * i + 1] = p[1][i];
        ebur128_add_frames_float(st, inter.data(), p[0].size());
        double l = 0;
        ebur128_loudness_global(st, &l);
        ebur128_destroy(&st);
        return l;
    };
    for (uint32_t rate : {44100u, 48000u}) {
        loudness_signals::Planes music = loudness_signals::musicLike(2, rate, rate * 5, -30, 8);
        const double before = measure(music, rate);
        for (float lu : {0.0f, -5.0f}) {
            NormalizeChain modify(music, settingsFor(KYNORM_EBU_R128, false, lu));
            modify.source->setSampleRate(rate);
            ASSERT_EQ(modify.run(), KY_OK);
            EXPECT_NEAR(measure(modify.sink->got, rate), -23.0 + lu, 0.1) << rate;
            EXPECT_EQ(modify.property(KYPROP_TRACK_GAIN), "0.00 dB");
            EXPECT_NEAR(std::stod(modify.property(KYPROP_LOUDNESS)), -23.0 + lu, 0.01);
            EXPECT_NE(modify.property(KYPROP_LOUDNESS).find(" LUFS"), std::string::npos);
        }
        NormalizeChain meta(music, settingsFor(KYNORM_EBU_R128, true, 0.0f));
        meta.source->setSampleRate(rate);
        ASSERT_EQ(meta.run(), KY_OK);
        EXPECT_EQ(meta.sink->got, music);
        EXPECT_NEAR(std::stod(meta.property(KYPROP_LOUDNESS)), before, 0.05);
        EXPECT_NEAR(std::stod(meta.property(KYPROP_TRACK_GAIN)), -23.0 - before, 0.06);
    }
    // Silence has no loudness: nothing is stored rather than a made-up figure.
    NormalizeChain silent(Planes(2, std::vector<float>(48000)),
                          settingsFor(KYNORM_EBU_R128, true, 0));
    ASSERT_EQ(silent.run(), KY_OK);
    EXPECT_EQ(silent.property(KYPROP_LOUDNESS), "");
#endif
}

// The album's gain replaces the track's, also in a filter that has finished its analysis,
// and the analyzers handed out are shared, not copied.
TEST(NormalizeFilter, AlbumGainAndAnalyzers) {
    loudness_signals::Planes music = loudness_signals::musicLike(2, 44100, 44100 * 2, -25, 2);
    for (bool meta : {false, true}) {
        NormalizeChain c(music, settingsFor(KYNORM_REPLAYGAIN, meta, 89.0f));
        kyGainAnalyzer* a = nullptr;
        ASSERT_EQ(c.normalize->GetAnalyzer(a), KY_OK);
        ASSERT_NE(a, nullptr);
        const float track = a->gain();
        a->Release();
        EXPECT_NEAR(20 * std::log10(c.normalize->gain()), track, 1e-4);
        c.normalize->SetAlbumGain(-3.5f);
        EXPECT_NEAR(20 * std::log10(c.normalize->gain()), -3.5, 1e-4);
        ASSERT_EQ(c.run(), KY_OK);
        if (meta) {
            EXPECT_EQ(c.sink->got, music);
            EXPECT_EQ(c.property(KYPROP_TRACK_GAIN), kyFormatFixed(track, 2) + " dB");
            EXPECT_EQ(c.property(KYPROP_ALBUM_GAIN), "-3.50 dB");
        } else {
            EXPECT_NEAR(c.sink->got[0][5000], music[0][5000] * std::pow(10.0, -3.5 / 20), 1e-6);
            EXPECT_EQ(c.property(KYPROP_ALBUM_GAIN), "");
        }
    }
    struct {
        uint32_t type;
        kyError result;
    } kinds[] = {{KYNORM_PEAK, KYERR_SEQUENCE},
                 {KYNORM_FIXED, KYERR_SEQUENCE},
                 {KYNORM_REPLAYGAIN_ISO, KY_OK},
                 {KYNORM_EBU_R128, KY_OK},
                 {KYNORM_BS1770, KY_OK}};
    for (auto k : kinds) {
        NormalizeChain c(music,
                         settingsFor(k.type, true, k.type == KYNORM_BS1770 ? -20.0f : 89.0f));
        kyGainAnalyzer* a = nullptr;
        EXPECT_EQ(c.normalize->GetAnalyzer(a), k.result) << k.type;
        EXPECT_EQ(a != nullptr, k.result == KY_OK);
        if (a) {
            const bool rg = dynamic_cast<kyReplayGainAnalyzer*>(a) != nullptr;
            EXPECT_EQ(rg, k.type == KYNORM_REPLAYGAIN_ISO);
            a->Release();
            // A second request analyses nothing again.
            const int calls = c.source->processCalls;
            ASSERT_EQ(c.normalize->GetAnalyzer(a), KY_OK);
            a->Release();
            EXPECT_EQ(c.source->processCalls, calls);
        }
    }
}

// The temporary file has no name from the start and is gone with the filter; a full disk
// fails the run with "Couldn't write to file", every time.
TEST(NormalizeFilter, TemporaryFileLeavesNothingBehind) {
    kytest::ScratchDir tmp;
    kytest::ScopedEnv env({"TMPDIR"});
    setenv("TMPDIR", tmp.dir().c_str(), 1);
    const int fds = openDescriptors();
    Planes p = scaled(noise(2, 100000, 2), 0.5f);
    {
        NormalizeChain c(p, settingsFor(KYNORM_PEAK, false, 0.0f));
        EXPECT_EQ(entriesIn(tmp.dir()), 0);
        const uint64_t before = kyTempFile::bytesInUse();
        ASSERT_EQ(c.normalize->Analyze(), KY_OK);
        // 800 kB of float planes, and their record headers.
        EXPECT_GE(kyTempFile::bytesInUse() - before, 800000u);
        EXPECT_EQ(entriesIn(tmp.dir()), 0);
        EXPECT_EQ(openDescriptors(), fds + 1);
        ASSERT_EQ(c.run(), KY_OK);
    }
    EXPECT_EQ(openDescriptors(), fds);

    // A file-size limit stands in for a full disk; SIGXFSZ must not end the test.
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 300000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        NormalizeChain c(p, settingsFor(KYNORM_REPLAYGAIN, false, 89.0f));
        EXPECT_EQ(c.normalize->Analyze(), KYERR_WRITE_FILE);
        EXPECT_EQ(c.run(), KYERR_WRITE_FILE);
        EXPECT_EQ(c.sink->writeCalls, 0);
        EXPECT_EQ(entriesIn(tmp.dir()), 0);
    }
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(openDescriptors(), fds);

    // No temporary directory to write in: the filter says so and runs nothing.
    setenv("TMPDIR", (tmp.dir() + "/missing").c_str(), 1);
    chmod(tmp.dir().c_str(), 0500);
    if (geteuid() != 0) {
        NormalizeChain c(p, settingsFor(KYNORM_PEAK, false, 0.0f));
        EXPECT_EQ(c.run(), KYERR_CREATE_FILE);
        EXPECT_EQ(c.source->processCalls, 0);
    }
    chmod(tmp.dir().c_str(), 0700);
}

// Blocks larger than the source announced are kept in records that fit the replay buffer,
// an empty stream makes an empty second pass, and an upstream failure comes back as it
// is with nothing analysed.
TEST(NormalizeFilter, OddStreams) {
    Planes p = scaled(noise(3, 30000, 4), 0.5f);
    NormalizeChain big(p, settingsFor(KYNORM_PEAK, false, 0.0f), {"9000", {9000}});
    big.source->setInterleaved(nullptr);
    ASSERT_EQ(big.run(), KY_OK); // announced 588 frames, delivers 9000
    ASSERT_EQ(big.sink->frames(), 30000u);
    for (uint32_t b : big.sink->blockSizes) EXPECT_LE(b, 588u);
    EXPECT_NEAR(big.sink->got[2][29999], p[2][29999] * big.normalize->gain(), 1e-6);

    NormalizeChain empty(Planes(2), settingsFor(KYNORM_REPLAYGAIN, false, 89.0f));
    ASSERT_EQ(empty.run(), KY_OK);
    EXPECT_EQ(empty.sink->frames(), 0u);
    EXPECT_EQ(empty.sink->endCalls, 1);

    NormalizeChain broken(p, settingsFor(KYNORM_PEAK, false, 0.0f));
    broken.source->setPrepareResult(KYERR_READ_FILE);
    EXPECT_EQ(broken.normalize->Analyze(), KYERR_READ_FILE);
    EXPECT_FALSE(broken.normalize->analysed());
    EXPECT_EQ(broken.property(KYPROP_PEAK), "");
    broken.source->setPrepareResult(KY_OK);
    EXPECT_EQ(broken.run(), KY_OK); // a later attempt reads the stream anew
    EXPECT_EQ(broken.sink->frames(), 30000u);
}

// Compressed streams from upstream (MPEG audio from lame, ADTS AAC from ffmpeg): stored and
// passed on unchanged in "Store Meta data", decoded for measuring and for "Modify Audio".
TEST(NormalizeFilter, CompressedStreamsFromUpstream) {
    kytest::ScratchDir dir;
    const uint32_t frames = 44100 * 2;
    auto tone = kytest::sinePlanes(2, frames, 44100, 0.5f);
    // Faded in: an abrupt start makes AAC overshoot.
    for (auto& plane : tone)
        for (uint32_t i = 0; i < 4410; ++i) plane[i] *= i / 4410.0f;
    std::vector<uint8_t> pcm(size_t(frames) * 4);
    for (uint32_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < 2; ++c) {
            const int16_t v = static_cast<int16_t>(std::lround(tone[c][i] * 32767));
            std::memcpy(&pcm[(size_t(i) * 2 + c) * 2], &v, 2);
        }
    ASSERT_TRUE(kytest::writeFile(dir.path("in.raw"), pcm));
    const std::string in = kytest::shellQuote(dir.path("in.raw"));
    const struct {
        const char* id;
        const char* tool;
        std::string command;
    } cases[] = {
        {"MPEG audio layer III", "lame",
         "lame --quiet -r -s 44.1 --bitwidth 16 --signed --little-endian -b 192 " + in + " " +
             kytest::shellQuote(dir.path("out.mp3"))},
        {"MPEG AAC", "ffmpeg",
         "ffmpeg -v error -y -f s16le -ar 44100 -ac 2 -i " + in + " -c:a aac -b:a 192k -f adts " +
             kytest::shellQuote(dir.path("out.aac"))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        if (!kytest::haveTool(c.tool)) {
            std::printf("%s is not installed: %s skipped\n", c.tool, c.id);
            continue;
        }
        ASSERT_TRUE(kytest::run(c.command));
        const std::string file = dir.path(std::string(c.id) == "MPEG AAC" ? "out.aac" : "out.mp3");
        const std::vector<uint8_t> stream = kytest::readFile(file);
        ASSERT_GT(stream.size(), 1000u);
        for (bool meta : {true, false}) {
            auto* source = new kytest::MemorySource(tone, 44100, 1152);
            source->setInterleaved(c.id, stream, 1);
            auto* normalize = new kyNormalizeFilter(settingsFor(KYNORM_PEAK, meta, 0.0f));
            auto* sink = new RecordingSink;
            source->Connect(sink);
            sink->InsertBefore(normalize);
            if (meta) {
                ASSERT_STREQ(normalize->GetInterleavedFormat(2), c.id);
                ASSERT_EQ(normalize->RunInterleaved(), KY_OK);
                EXPECT_EQ(sink->bytes, stream);
                EXPECT_NEAR(normalize->peak(), 0.5f, 0.05f); // measured on the decoded stream
            } else {
                ASSERT_EQ(sink->Run(), KY_OK);
                EXPECT_GE(sink->frames(), frames - 1024);
                EXPECT_NEAR(largest(sink->got), 1.0f, 1e-6);
            }
            source->DestroyChain();
        }
    }
    // A stream that is no AAC at all decodes to nothing: no level to measure, no gain.
    auto* source = new kytest::MemorySource(tone, 44100, 1024);
    source->setInterleaved("MPEG AAC", std::vector<uint8_t>(100, 0), 1);
    auto* normalize = new kyNormalizeFilter(settingsFor(KYNORM_PEAK, true, 0.0f));
    auto* sink = new RecordingSink;
    source->Connect(sink);
    sink->InsertBefore(normalize);
    EXPECT_EQ(normalize->Analyze(), KY_OK);
    EXPECT_EQ(normalize->peak(), 0.0f);
    source->DestroyChain();
}

// Gains reach a WAV file's "rgad" chunk as numbers, also under a locale whose decimal
// separator is a comma.
TEST(NormalizeFilter, GainsReachTheWriterInEveryLocale) {
    kytest::ScratchDir dir;
    kytest::ScopedEnv env({"LOCPATH"});
    const bool german =
        kytest::run("localedef -i de_DE -f UTF-8 " + kytest::shellQuote(dir.path("de_DE.UTF-8"))) &&
        setenv("LOCPATH", dir.dir().c_str(), 1) == 0 && std::setlocale(LC_ALL, "de_DE.UTF-8");
    if (german) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%.1f", 1.5);
        EXPECT_STREQ(buf, "1,5");
    }
    loudness_signals::Planes music = loudness_signals::musicLike(2, 44100, 44100 * 2, -30, 3);
    auto* source = new kytest::MemorySource(music, 44100);
    auto* normalize = new kyNormalizeFilter(settingsFor(KYNORM_REPLAYGAIN, true, 89.0f));
    kyWriterFilter* writer = nullptr;
    const std::string path = dir.path("out.wav");
    ASSERT_EQ(kyManager::Instance().CreateWriter(writer, path.c_str(), "PCM 16-bit", -2), KY_OK);
    source->Connect(writer);
    writer->InsertBefore(normalize);
    normalize->SetAlbumGain(-4.25f);
    ASSERT_EQ(writer->Run(), KY_OK);
    const std::string track = normalize->GetPropertyUtf8(KYPROP_TRACK_GAIN);
    const std::string peak = normalize->GetPropertyUtf8(KYPROP_PEAK);
    writer->DestroyChain();
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(track.find(','), std::string::npos) << track;
    EXPECT_EQ(peak.find(','), std::string::npos) << peak;

    const std::vector<uint8_t> file = kytest::readFile(path);
    const std::string text(file.begin(), file.end());
    const size_t at = text.find("rgad");
    ASSERT_NE(at, std::string::npos);
    float storedPeak;
    uint16_t radio, audiophile;
    std::memcpy(&storedPeak, &file[at + 8], 4);
    std::memcpy(&radio, &file[at + 12], 2);
    std::memcpy(&audiophile, &file[at + 14], 2);
    EXPECT_FLOAT_EQ(storedPeak, std::stof(peak));
    const double gain = std::stod(track);
    EXPECT_EQ(radio & 0x1FF, static_cast<int>(std::fabs(gain) * 10 + 0.5));
    EXPECT_EQ((radio >> 9) & 1, gain < 0 ? 1 : 0);
    EXPECT_EQ(audiophile & 0x1FF, 43); // 4.3 dB (4.25 rounded), negative
    EXPECT_EQ((audiophile >> 9) & 1, 1);
    if (!german) GTEST_SKIP() << "no German locale could be made: checked in the C locale only";
}

// Peak normalisation into a float WAV file: 0 dBFS makes the loudest sample exactly 1.0,
// -1 dBFS lands within 0.001 dB; sox reads the file back as we wrote it.
TEST(NormalizeFilter, PeakLevelInAFloatWavFile) {
    kytest::ScratchDir dir;
    const Planes music = scaled(noise(2, 44100, 12), 0.37f);
    for (float target : {0.0f, -1.0f}) {
        auto* source = new kytest::MemorySource(music, 44100);
        auto* normalize = new kyNormalizeFilter(settingsFor(KYNORM_PEAK, false, target));
        kyWriterFilter* writer = nullptr;
        const std::string path = dir.path("peak.wav");
        ASSERT_EQ(
            kyManager::Instance().CreateWriter(writer, path.c_str(), "Float 32-bit",
                                               kytest::catalogIndex("Microsoft wave format", true)),
            KY_OK);
        source->Connect(writer);
        writer->InsertBefore(normalize);
        ASSERT_EQ(writer->Run(), KY_OK);
        writer->DestroyChain();
        kytest::WavFormat f;
        std::vector<uint8_t> data;
        ASSERT_TRUE(kytest::parseWav(kytest::readFile(path), f, data));
        ASSERT_EQ(f.tag, 3);
        float peak = 0;
        for (size_t i = 0; i + 4 <= data.size(); i += 4) {
            float v;
            std::memcpy(&v, &data[i], 4);
            peak = std::max(peak, std::fabs(v));
        }
        if (target == 0.0f)
            EXPECT_EQ(peak, 1.0f);
        else
            EXPECT_NEAR(20 * std::log10(peak), -1.0, 0.001);
        if (kytest::haveTool("sox")) {
            const std::string stat =
                kytest::capture("sox " + kytest::shellQuote(path) + " -n stat");
            const size_t hi = stat.find("Maximum amplitude:"), lo = stat.find("Minimum amplitude:");
            ASSERT_TRUE(hi != std::string::npos && lo != std::string::npos) << stat;
            const double theirs = std::max(std::fabs(std::stod(stat.substr(hi + 18))),
                                           std::fabs(std::stod(stat.substr(lo + 18))));
            EXPECT_NEAR(theirs, peak, 1e-6);
        }
    }
}
