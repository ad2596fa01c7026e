// Every QuickTime subformat written by mov_Writer and read back by mov_Reader, and the
// files checked with independent tools: ffprobe and mediainfo for what the file says,
// ffmpeg for what it decodes to.
#include "core/g711.h"
#include "core/quantizer.h"
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "formats/writer_filter.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include "support/mp4_files.h"
#include "support/round_trip.h"
#include <cmath>
#include <gtest/gtest.h>

namespace {

constexpr const char* kMov = "Apple QuickTime movie format";

kyFormatCatalog& cat() {
    return kyFormatCatalog::Instance();
}

kyError writeMov(const std::string& path, const char* subformat,
                 std::vector<std::vector<float>> planes, uint32_t rate) {
    kyWriterFilter* w = nullptr;
    kyError err = cat().CreateWriter(w, path.c_str(), subformat, kytest::catalogIndex(kMov, true));
    if (kyFailed(err)) return err;
    auto* src = new kytest::MemorySource(std::move(planes), rate, 1000);
    src->Connect(w);
    err = w->Run();
    w->DestroyChain();
    return err;
}

std::string probe(const std::string& path, const char* entries) {
    return kytest::capture("ffprobe -v error -select_streams a:0 -show_entries stream=" +
                           std::string(entries) + " -of default=nw=1 " + kytest::shellQuote(path));
}

struct Case {
    const char* subformat;
    bool lossless;
    double minSnr; // lossy: our decode against the input
    std::vector<uint32_t> channels;
    uint32_t rate;         // of the input
    const char* entry;     // sample entry type (stereo or the first channel count)
    const char* ffCodec;   // ffprobe's codec name
    uint32_t fileRate = 0; // when the writer converts
    uint32_t ffMaxChannels = 1000;
};

const Case kCases[] = {
    {"PCM 8-bit", true, 0, {1, 2}, 44100, "twos", "pcm_s8"},
    {"PCM 16-bit", true, 0, {1, 2}, 44100, "twos", "pcm_s16be"},
    {"PCM 24-bit", true, 0, {1, 2}, 48000, "in24", "pcm_s24be"},
    {"PCM 32-bit", true, 0, {2}, 44100, "in32", "pcm_s32be"},
    {"Float 32-bit", true, 0, {1, 2}, 44100, "fl32", "pcm_f32be"},
    {"Float 64-bit", true, 0, {2}, 32000, "fl64", "pcm_f64be"},
    {"mu-Law", true, 0, {1, 2}, 8000, "ulaw", "pcm_mulaw"},
    {"A-Law", true, 0, {2}, 8000, "alaw", "pcm_alaw"},
    {"IMA ADPCM 4-bit", false, 20, {1, 2}, 22050, "ima4", "adpcm_ima_qt"},
    // AMR is mono at 8000 Hz: a CD track goes through a channel broker and a resampler.
    {"AMR 12.2 kbit/s", false, 3, {1, 2}, 44100, "samr", "amr_nb", 8000},
    {"AMR 4.75 kbit/s", false, 1, {1}, 8000, "samr", "amr_nb", 8000},
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.subformat;
}

} // namespace

class MovRoundTrip : public ::testing::TestWithParam<Case> {};

TEST_P(MovRoundTrip, WritesReadsAndDecodesElsewhere) {
    const Case& c = GetParam();
    kytest::ScratchDir dir;
    const uint32_t frames = 7003; // a whole number of no packet or chunk
    for (uint32_t ch : c.channels) {
        SCOPED_TRACE(std::string(c.subformat) + " x" + std::to_string(ch));
        const std::string path = dir.path("out" + std::to_string(ch) + ".mov");
        const bool speech = std::string(c.entry) == "samr";
        auto in = speech ? kytest::toPlanes(kytest::testSignal(frames, ch, c.rate), ch)
                         : kytest::sinePlanes(ch, frames, c.rate, 0.4f);
        ASSERT_EQ(writeMov(path, c.subformat, in, c.rate), KY_OK);
        const uint32_t fileCh = speech ? 1 : ch;
        const uint32_t fileRate = c.fileRate ? c.fileRate : c.rate;
        const uint32_t fileFrames =
            static_cast<uint32_t>((uint64_t(frames) * fileRate + c.rate - 1) / c.rate);

        // The sample entry.
        const std::vector<uint8_t> bytes = kytest::readFile(path);
        kytest::Mp4Box entry;
        ASSERT_TRUE(kytest::mp4Find(bytes, "moov/trak/mdia/minf/stbl/stsd/*", entry));
        EXPECT_EQ(entry.type, c.entry);
        EXPECT_EQ(kytest::be16(bytes, entry.payload() + 8), 1u); // version 1 (QuickTime)

        // Our reader.
        std::vector<std::vector<float>> out;
        kyAudioFormat fmt{};
        std::string sub;
        ASSERT_EQ(kytest::readWhole(path, out, fmt, &sub), KY_OK);
        EXPECT_EQ(sub, c.subformat);
        EXPECT_EQ(fmt.sampleRate, fileRate);
        ASSERT_EQ(fmt.channels, fileCh);
        ASSERT_EQ(out.size(), fileCh);
        if (!c.fileRate) {
            EXPECT_EQ(fmt.lengthFrames, frames);
            for (uint32_t k = 0; k < fileCh; ++k) {
                ASSERT_EQ(out[k].size(), frames);
                if (c.lossless) {
                    for (uint32_t i = 0; i < frames; ++i)
                        ASSERT_EQ(out[k][i], kytest::storedValue(c.subformat, in[k][i]))
                            << "frame " << i;
                } else {
                    EXPECT_GT(kytest::snrDb(in[k], out[k], 16), c.minSnr) << "channel " << k;
                }
            }
        } else {
            // Resampled: the length to within a frame.
            EXPECT_NEAR(double(fmt.lengthFrames), double(fileFrames), 1.0);
        }

        if (!kytest::haveTool("ffprobe")) continue;
        const std::string info = probe(path, "codec_name,channels,sample_rate,duration");
        EXPECT_NE(info.find("codec_name=" + std::string(c.ffCodec)), std::string::npos) << info;
        EXPECT_NE(info.find("channels=" + std::to_string(fileCh)), std::string::npos) << info;
        EXPECT_NE(info.find("sample_rate=" + std::to_string(fileRate)), std::string::npos) << info;
        const size_t d = info.find("duration=");
        ASSERT_NE(d, std::string::npos) << info;
        EXPECT_NEAR(std::stod(info.substr(d + 9)), double(fmt.lengthFrames) / fileRate, 0.0015)
            << info;

        // ffmpeg decodes what we decode: PCM to the last 16-bit step; the codecs closely.
        std::vector<int16_t> ff;
        ASSERT_TRUE(kytest::ffmpegDecode(path, "", fileCh, ff));
        const uint32_t n = fmt.lengthFrames;
        ASSERT_GE(ff.size(), size_t(n) * fileCh); // ffmpeg may decode the padding too
        int worst = 0;
        for (uint32_t k = 0; k < fileCh; ++k) {
            std::vector<float> theirs(n);
            for (uint32_t i = 0; i < n; ++i) {
                theirs[i] = ff[size_t(i) * fileCh + k] / 32768.0f;
                worst = std::max(
                    worst, std::abs(kyRoundSample(out[k][i], 16) - ff[size_t(i) * fileCh + k]));
            }
            if (!c.lossless) {
                EXPECT_GT(kytest::snrDb(out[k], theirs, 0), 25.0) << "channel " << k;
            }
        }
        if (c.lossless) {
            EXPECT_LE(worst, 1);
        }

        if (kytest::haveTool("mediainfo")) {
            const std::string mi = kytest::capture(
                "mediainfo --Inform='Audio;%Channel(s)% %SamplingRate% %Duration%' " +
                kytest::shellQuote(path));
            EXPECT_EQ(mi.substr(0, mi.find(' ')), std::to_string(fileCh)) << mi;
            EXPECT_NE(mi.find(" " + std::to_string(fileRate) + " "), std::string::npos) << mi;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllSubformats, MovRoundTrip, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) {
                             std::string n;
                             for (const char* p = i.param.subformat; *p; ++p)
                                 if (std::isalnum(static_cast<unsigned char>(*p))) n += *p;
                             return n;
                         });
