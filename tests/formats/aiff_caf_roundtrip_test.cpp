// Every AIFF, AIFF-C and CAF subformat written by our writers, read back by our readers,
// and checked with independent tools: ffprobe, ffmpeg (sample-exact) and sox decode,
// sndfile-info.
#include "core/quantizer.h"
#include "formats/format_catalog.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include "support/format_round_trip.h"
#include <cctype>
#include <cmath>
#include <gtest/gtest.h>

namespace {

const char* const kAiff = "Audio interchange file format";
const char* const kAif = "Audio interchange format";
const char* const kAifc = "Audio interchange file format - Compressed";
const char* const kCafBig = "Apple CoreAudio format (big-endian)";
const char* const kCafLittle = "Apple CoreAudio format (little-endian)";

struct Case {
    const char* entry;
    const char* extension;
    const char* subformat;
    uint32_t rate;
    const char* ffCodec; // ffprobe's codec name
    bool sox;            // sox decodes it (to the same samples)
    bool sndfile;        // libsndfile reads it
};

// sox reads CAF through libsndfile, which scales float files to full scale: those are
// left to ffmpeg.
const Case kCases[] = {
    {kAiff, "aiff", "PCM 8-bit", 44100, "pcm_s8", true, true},
    {kAiff, "aiff", "PCM 16-bit", 44100, "pcm_s16be", true, true},
    {kAif, "aif", "PCM 16-bit", 22050, "pcm_s16be", true, true},
    {kAiff, "aiff", "PCM 24-bit", 48000, "pcm_s24be", true, true},
    {kAiff, "aiff", "PCM 32-bit", 96000, "pcm_s32be", true, true},
    {kAifc, "aifc", "PCM 8-bit", 8000, "pcm_s8", true, true},
    {kAifc, "aifc", "PCM 16-bit", 44100, "pcm_s16be", true, true},
    {kAifc, "aifc", "PCM 24-bit", 48000, "pcm_s24be", true, true},
    {kAifc, "aifc", "PCM 32-bit", 44100, "pcm_s32be", true, true},
    {kAifc, "aifc", "Float 32-bit", 96000, "pcm_f32be", true, true},
    {kAifc, "aifc", "Float 64-bit", 44100, "pcm_f64be", true, true},
    {kAifc, "aifc", "mu-Law", 8000, "pcm_mulaw", false, true},
    {kAifc, "aifc", "A-Law", 8000, "pcm_alaw", false, true},
    {kAifc, "aifc", "IMA ADPCM 4-bit", 22050, "adpcm_ima_qt", false, true},
    {kCafBig, "caf", "PCM 8-bit", 44100, "pcm_s8", true, true},
    {kCafBig, "caf", "PCM 16-bit", 44100, "pcm_s16be", true, true},
    {kCafBig, "caf", "PCM 24-bit", 48000, "pcm_s24be", true, true},
    {kCafBig, "caf", "PCM 32-bit", 44100, "pcm_s32be", true, true},
    {kCafBig, "caf", "Float 32-bit", 96000, "pcm_f32be", false, true},
    {kCafBig, "caf", "Float 64-bit", 44100, "pcm_f64be", false, true},
    {kCafBig, "caf", "mu-Law", 8000, "pcm_mulaw", true, true},
    {kCafBig, "caf", "A-Law", 8000, "pcm_alaw", true, true},
    {kCafBig, "caf", "IMA ADPCM 4-bit", 22050, "adpcm_ima_qt", false, false},
    {kCafLittle, "caf", "PCM 8-bit", 22050, "pcm_s8", true, true},
    {kCafLittle, "caf", "PCM 16-bit", 44100, "pcm_s16le", true, true},
    {kCafLittle, "caf", "PCM 24-bit", 96000, "pcm_s24le", true, true},
    {kCafLittle, "caf", "PCM 32-bit", 48000, "pcm_s32le", true, true},
    {kCafLittle, "caf", "Float 32-bit", 44100, "pcm_f32le", false, true},
    {kCafLittle, "caf", "Float 64-bit", 48000, "pcm_f64le", false, true},
    {kCafLittle, "caf", "mu-Law", 8000, "pcm_mulaw", true, true},
    {kCafLittle, "caf", "A-Law", 8000, "pcm_alaw", true, true},
    {kCafLittle, "caf", "IMA ADPCM 4-bit", 44100, "adpcm_ima_qt", false, false},
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.entry << " / " << c.subformat;
}

bool isIma(const Case& c) {
    return std::string(c.subformat) == "IMA ADPCM 4-bit";
}

// Frames a tool or reader gives back: AIFF-C cannot say how much of the last "ima4"
// packet counts, CAF can.
uint32_t framesInFile(const Case& c, uint32_t frames) {
    if (isIma(c) && std::string(c.entry) == kAifc) return (frames + 63) / 64 * 64;
    return frames;
}

// The first `frames` frames of channel `k` of interleaved samples, as floats.
std::vector<float> channelOf(const std::vector<double>& s, uint32_t channels, uint32_t k,
                             uint32_t frames) {
    std::vector<float> v(frames);
    for (uint32_t i = 0; i < frames; ++i) v[i] = static_cast<float>(s[size_t(i) * channels + k]);
    return v;
}

// Largest difference, in 16-bit steps, between our samples and a tool's.
int worstStep(const std::vector<std::vector<float>>& ours, const std::vector<int16_t>& theirs,
              uint32_t frames) {
    const uint32_t channels = static_cast<uint32_t>(ours.size());
    int worst = 0;
    for (uint32_t k = 0; k < channels; ++k)
        for (uint32_t i = 0; i < frames; ++i)
            worst = std::max(
                worst, std::abs(kyRoundSample(ours[k][i], 16) - theirs[size_t(i) * channels + k]));
    return worst;
}

} // namespace

class AiffCafRoundTrip : public ::testing::TestWithParam<Case> {};

TEST_P(AiffCafRoundTrip, WritesReadsAndDecodesElsewhere) {
    const Case& c = GetParam();
    const int32_t index = kytest::catalogIndex(c.entry, true);
    ASSERT_GE(index, 0);
    kytest::ScratchDir dir;
    const uint32_t frames = 5003; // not a multiple of any packet
    for (uint32_t ch : {1u, 2u, 6u}) {
        SCOPED_TRACE(std::to_string(ch) + " channels");
        const std::string path = dir.path("out" + std::to_string(ch) + "." + c.extension);
        auto in = kytest::sinePlanes(ch, frames, c.rate, 0.4f);
        ASSERT_EQ(kytest::writeThroughCatalog(path, index, c.subformat, in, c.rate), KY_OK);

        // Our reader, by detection.
        std::vector<std::vector<float>> out;
        kyAudioFormat fmt{};
        std::string sub;
        ASSERT_EQ(kytest::readThroughCatalog(path, out, fmt, &sub), KY_OK);
        EXPECT_EQ(sub, c.subformat);
        EXPECT_EQ(fmt.sampleRate, c.rate);
        ASSERT_EQ(fmt.channels, ch);
        ASSERT_EQ(out.size(), ch);
        EXPECT_EQ(fmt.lengthFrames, framesInFile(c, frames));
        for (uint32_t k = 0; k < ch; ++k) {
            ASSERT_EQ(out[k].size(), framesInFile(c, frames));
            if (isIma(c)) {
                EXPECT_GT(kytest::snrDb(in[k], out[k], 16), 20.0) << "channel " << k;
                continue;
            }
            for (uint32_t i = 0; i < frames; ++i)
                ASSERT_EQ(out[k][i], kytest::storedValue(c.subformat, in[k][i])) << "frame " << i;
        }

        // ffprobe and ffmpeg (whose "ima4" decoder takes at most two channels).
        if (kytest::haveTool("ffprobe") && !(isIma(c) && ch > 2)) {
            std::string info = kytest::probeStream(path, "codec_name,channels,sample_rate");
            EXPECT_NE(info.find("codec_name=" + std::string(c.ffCodec)), std::string::npos) << info;
            EXPECT_NE(info.find("channels=" + std::to_string(ch)), std::string::npos) << info;
            EXPECT_NE(info.find("sample_rate=" + std::to_string(c.rate)), std::string::npos)
                << info;
            std::vector<double> ff;
            ASSERT_TRUE(kytest::ffmpegDecode(path, ch, ff));
            if (isIma(c)) {
                // ffmpeg decodes the padding of the last "ima4" packet too.
                ASSERT_GE(ff.size(), size_t(frames) * ch);
                for (uint32_t k = 0; k < ch; ++k)
                    EXPECT_GT(kytest::snrDb(out[k], channelOf(ff, ch, k, frames), 0), 30.0);
            } else {
                // Every sample exactly, at full precision.
                ASSERT_EQ(ff.size(), size_t(frames) * ch);
                for (uint32_t k = 0; k < ch; ++k)
                    for (uint32_t i = 0; i < frames; ++i)
                        ASSERT_EQ(static_cast<float>(ff[size_t(i) * ch + k]), out[k][i])
                            << "channel " << k << ", frame " << i;
            }
        }
        // sox as a second decoder, on stereo.
        if (c.sox && ch == 2 && kytest::haveTool("sox")) {
            std::vector<int16_t> sx;
            ASSERT_TRUE(kytest::soxDecode(path, sx));
            ASSERT_EQ(sx.size(), size_t(frames) * ch);
            EXPECT_LE(worstStep(out, sx, frames), 1);
        }
        if (c.sndfile && kytest::haveTool("sndfile-info")) {
            std::string s = kytest::capture("sndfile-info " + kytest::shellQuote(path));
            EXPECT_NE(s.find("Frames      : " + std::to_string(framesInFile(c, frames))),
                      std::string::npos)
                << s;
            EXPECT_NE(s.find("Channels    : " + std::to_string(ch)), std::string::npos) << s;
            EXPECT_NE(s.find("Sample Rate : " + std::to_string(c.rate)), std::string::npos) << s;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllSubformats, AiffCafRoundTrip, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) {
                             std::string n = i.param.extension;
                             n += std::string(i.param.entry) == kCafLittle ? "le" : "";
                             for (const char* p = i.param.subformat; *p; ++p)
                                 if (std::isalnum(static_cast<unsigned char>(*p))) n += *p;
                             return n;
                         });
