// Every WAV subformat written by wav_Writer and read back by wav_Reader, and the files
// checked with independent tools (ffprobe, ffmpeg, sox).
#include "core/quantizer.h"
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "formats/wav_common.h"
#include "formats/writer_filter.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include "support/format_round_trip.h"
#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>

namespace {

kyFormatCatalog& cat() {
    return kyFormatCatalog::Instance();
}

int32_t wavWriterIndex() {
    return kytest::catalogIndex("Microsoft wave format", true);
}

using kytest::CollectSink;

kyError writeFile(const std::string& path, const char* subformat,
                  std::vector<std::vector<float>> planes, uint32_t rate) {
    return kytest::writeThroughCatalog(path, wavWriterIndex(), subformat, std::move(planes), rate);
}

using kytest::readThroughCatalog;
using kytest::snrDb;
using kytest::storedValue;

struct Case {
    const char* subformat;
    bool lossless;
    double minSnr; // lossy: against the input
    std::vector<uint32_t> channels;
    uint32_t rate;
    const char* ffCodec; // ffprobe's codec name, null when ffmpeg cannot decode it
    uint32_t ffMaxChannels = 1000;
};

const Case kCases[] = {
    {"PCM 8-bit", true, 0, {1, 2, 6}, 44100, "pcm_u8"},
    {"PCM 16-bit", true, 0, {1, 2, 6}, 44100, "pcm_s16le"},
    {"PCM 24-bit", true, 0, {1, 2, 6}, 48000, "pcm_s24le"},
    {"PCM 32-bit", true, 0, {1, 2, 6}, 44100, "pcm_s32le"},
    {"Float 32-bit", true, 0, {1, 2, 6}, 96000, "pcm_f32le"},
    {"Float 64-bit", true, 0, {1, 2, 6}, 44100, "pcm_f64le"},
    {"mu-Law", true, 0, {1, 2, 6}, 8000, "pcm_mulaw"},
    {"A-Law", true, 0, {1, 2, 6}, 8000, "pcm_alaw"},
    {"IMA ADPCM 4-bit", false, 20, {1, 2, 6}, 22050, "adpcm_ima_wav", 2},
    {"MS ADPCM 4-bit", false, 20, {1, 2}, 22050, "adpcm_ms"},
    {"G.723 ADPCM 3-bit", false, 8, {1}, 8000, nullptr},
    {"G.721 ADPCM 4-bit", false, 14, {1}, 8000, nullptr},
    {"G.723 ADPCM 5-bit", false, 20, {1}, 8000, nullptr},
    {"GSM 06.10", false, 5, {1}, 8000, "gsm_ms"},
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.subformat;
}

} // namespace

class WavRoundTrip : public ::testing::TestWithParam<Case> {};

TEST_P(WavRoundTrip, WritesReadsAndDecodesElsewhere) {
    const Case& c = GetParam();
    kytest::ScratchDir dir;
    const uint32_t frames = 5003; // not a multiple of any block size
    for (uint32_t ch : c.channels) {
        SCOPED_TRACE(std::string(c.subformat) + " x" + std::to_string(ch));
        std::string path = dir.path("out" + std::to_string(ch) + ".wav");
        auto in = kytest::sinePlanes(ch, frames, c.rate, 0.4f);
        ASSERT_EQ(writeFile(path, c.subformat, in, c.rate), KY_OK);

        std::vector<std::vector<float>> out;
        kyAudioFormat fmt{};
        std::string sub;
        ASSERT_EQ(readThroughCatalog(path, out, fmt, &sub), KY_OK);
        EXPECT_EQ(sub, c.subformat);
        EXPECT_EQ(fmt.sampleRate, c.rate);
        uint32_t fileCh = std::string(c.subformat) == "MS ADPCM 4-bit" ? std::min(ch, 2u) : ch;
        ASSERT_EQ(fmt.channels, fileCh);
        ASSERT_EQ(out.size(), fileCh);
        EXPECT_EQ(fmt.lengthFrames, frames);
        for (uint32_t k = 0; k < fileCh; ++k) {
            ASSERT_EQ(out[k].size(), frames);
            if (c.lossless) {
                for (uint32_t i = 0; i < frames; ++i)
                    ASSERT_EQ(out[k][i], storedValue(c.subformat, in[k][i])) << "frame " << i;
            } else {
                EXPECT_GT(snrDb(in[k], out[k], 16), c.minSnr) << "channel " << k;
            }
        }

        if (!c.ffCodec || !kytest::haveTool("ffprobe")) continue;
        // ffmpeg's IMA ADPCM decoder takes at most two channels.
        if (fileCh > c.ffMaxChannels) continue;
        std::string info = kytest::probeStream(path, "codec_name,channels,sample_rate");
        EXPECT_NE(info.find("codec_name=" + std::string(c.ffCodec)), std::string::npos) << info;
        EXPECT_NE(info.find("channels=" + std::to_string(fileCh)), std::string::npos) << info;
        EXPECT_NE(info.find("sample_rate=" + std::to_string(c.rate)), std::string::npos) << info;
        // ffmpeg's decode agrees with ours (16-bit steps; ADPCM decoders are exact too).
        std::vector<int16_t> ff;
        ASSERT_TRUE(kytest::ffmpegDecode(path, "", fileCh, ff));
        // ffmpeg ignores "fact" and decodes the padding of the last block too.
        ASSERT_GE(ff.size(), size_t(frames) * fileCh);
        int worst = 0;
        for (uint32_t k = 0; k < fileCh; ++k) {
            std::vector<float> theirs(frames);
            for (uint32_t i = 0; i < frames; ++i) {
                theirs[i] = ff[size_t(i) * fileCh + k] / 32768.0f;
                int ours = kyRoundSample(out[k][i], 16);
                worst = std::max(worst, std::abs(ours - ff[size_t(i) * fileCh + k]));
            }
            // Decoders of the lossy codecs may round their reconstruction differently.
            if (!c.lossless) EXPECT_GT(snrDb(out[k], theirs, 0), 30.0);
        }
        // PCM, float and G.711 agree to the last 16-bit step.
        if (c.lossless) EXPECT_LE(worst, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(AllSubformats, WavRoundTrip, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) {
                             std::string n;
                             for (const char* p = i.param.subformat; *p; ++p)
                                 if (std::isalnum(static_cast<unsigned char>(*p))) n += *p;
                             return n;
                         });

TEST(WavWriter, GsmFromStereoCdAudioIsMono8000With65ByteBlocks) {
    kytest::ScratchDir dir;
    std::string path = dir.path("gsm.wav");
    ASSERT_EQ(writeFile(path, "GSM 06.10", kytest::sinePlanes(2, 44100, 44100, 0.3f), 44100),
              KY_OK);
    std::vector<uint8_t> bytes = kytest::readFile(path);
    kytest::WavFormat f;
    std::vector<uint8_t> data;
    ASSERT_TRUE(kytest::parseWav(bytes, f, data));
    EXPECT_EQ(f.tag, 0x31);
    EXPECT_EQ(f.channels, 1);
    EXPECT_EQ(f.rate, 8000u);
    EXPECT_EQ(f.blockAlign, 65);
    EXPECT_EQ(f.bytesPerSecond, 1625u);
    ASSERT_GE(f.extra.size(), 2u);
    EXPECT_EQ(f.extra[0] | (f.extra[1] << 8), 320);
    EXPECT_EQ(data.size() % 65, 0u);
    EXPECT_EQ(data.size() / 65, (8000u + 319) / 320);
    if (kytest::haveTool("sox")) {
        std::vector<int16_t> s;
        ASSERT_TRUE(kytest::soxDecode(path, s));
        EXPECT_GE(s.size(), 8000u);
    }
}

TEST(WavWriter, PassthroughStoresTheSourceBytes) {
    kytest::ScratchDir dir;
    std::string path = dir.path("pass.wav");
    // A source that offers its 16-bit stream as bytes: the writer stores them unchanged.
    std::vector<uint8_t> bytes(4000 * 4);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    auto* src = new kytest::MemorySource(kytest::sinePlanes(2, 4000, 44100), 44100, 1000);
    src->setInterleaved("PCM 16-bit", bytes, 4);
    kyWriterFilter* w = nullptr;
    ASSERT_EQ(cat().CreateWriter(w, path.c_str(), "<Auto select>", wavWriterIndex()), KY_OK);
    src->Connect(w);
    ASSERT_EQ(w->Run(), KY_OK);
    EXPECT_TRUE(w->passthrough());
    EXPECT_EQ(src->processCalls(), 0u);
    EXPECT_EQ(w->framesWritten(), 4000u);
    w->DestroyChain();
    kytest::WavFormat f;
    std::vector<uint8_t> data;
    ASSERT_TRUE(kytest::parseWav(kytest::readFile(path), f, data));
    EXPECT_EQ(data, bytes);

    // 8-bit passthrough: the signed bytes of the stream become unsigned in the file.
    std::vector<uint8_t> s8 = {0x00, 0x7F, 0x80, 0xFF};
    auto* src8 = new kytest::MemorySource(kytest::sinePlanes(1, 4, 8000), 8000, 4);
    src8->setInterleaved("PCM 8-bit", s8, 1);
    ASSERT_EQ(cat().CreateWriter(w, path.c_str(), "PCM 8-bit", wavWriterIndex()), KY_OK);
    src8->Connect(w);
    ASSERT_EQ(w->Run(), KY_OK);
    w->DestroyChain();
    ASSERT_TRUE(kytest::parseWav(kytest::readFile(path), f, data));
    EXPECT_EQ(data, (std::vector<uint8_t>{0x80, 0xFF, 0x00, 0x7F}));
}

TEST(WavReader, InterleavedRunFeedsAWriterUnchanged) {
    // WAV to WAV through the interleaved path: the data bytes come out identical.
    kytest::ScratchDir dir;
    std::string a = dir.path("a.wav"), b = dir.path("b.wav");
    ASSERT_EQ(writeFile(a, "PCM 24-bit", kytest::sinePlanes(2, 3000, 48000), 48000), KY_OK);
    kyReaderFilter* r = nullptr;
    ASSERT_EQ(cat().OpenReader(r, a.c_str(), -2), KY_OK);
    kyWriterFilter* w = nullptr;
    ASSERT_EQ(cat().CreateWriter(w, b.c_str(), "<Auto select>", wavWriterIndex()), KY_OK);
    r->Connect(w);
    ASSERT_EQ(w->Run(), KY_OK);
    EXPECT_TRUE(w->passthrough());
    w->DestroyChain();
    kytest::WavFormat fa, fb;
    std::vector<uint8_t> da, db;
    ASSERT_TRUE(kytest::parseWav(kytest::readFile(a), fa, da));
    ASSERT_TRUE(kytest::parseWav(kytest::readFile(b), fb, db));
    EXPECT_EQ(da, db);
    EXPECT_EQ(fb.bits, 24);
}

TEST(WavWriter, CompressedStreamsAreStoredUnchanged) {
    // MPEG-1 layer III frame headers at 128 kbit/s, 44100 Hz; AC3 as opaque bytes.
    std::vector<uint8_t> mp3(417 * 10, 0);
    for (size_t i = 0; i < mp3.size(); i += 417) {
        mp3[i] = 0xFF;
        mp3[i + 1] = 0xFB;
        mp3[i + 2] = 0x90;
    }
    std::vector<uint8_t> ac3(6000, 0x0B);
    struct Case {
        const char* id;
        const std::vector<uint8_t>* bytes;
        uint32_t bytesPerFrame; // as the source counts frames
        uint16_t tag;
        uint32_t bytesPerSecond;
        uint16_t blockAlign;
        uint32_t fmtSize;
    } cases[] = {
        {"MPEG audio layer III", &mp3, 1, 0x50, 16000, 417, 40},
        {"AC3", &ac3, 2, 0x2000, 88200, 1, 18},
    };
    kytest::ScratchDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        std::string path = dir.path("c.wav");
        auto* src = new kytest::MemorySource(kytest::sinePlanes(2, 10, 44100), 44100, 1000);
        src->setInterleaved(c.id, *c.bytes, c.bytesPerFrame);
        kyWriterFilter* w = nullptr;
        ASSERT_EQ(cat().CreateWriter(w, path.c_str(), "<Auto select>", wavWriterIndex()), KY_OK);
        src->Connect(w);
        ASSERT_EQ(w->Run(), KY_OK);
        EXPECT_TRUE(w->passthrough());
        EXPECT_STREQ(w->Subformat(), c.id);
        w->DestroyChain();
        kytest::WavFormat f;
        std::vector<uint8_t> data;
        auto bytes = kytest::readFile(path);
        ASSERT_TRUE(kytest::parseWav(bytes, f, data));
        EXPECT_EQ(data, *c.bytes);
        EXPECT_EQ(f.tag, c.tag);
        EXPECT_EQ(f.channels, 2);
        EXPECT_EQ(f.bytesPerSecond, c.bytesPerSecond);
        EXPECT_EQ(f.blockAlign, c.blockAlign);
        EXPECT_EQ(wav::get32(&bytes[16]), c.fmtSize);
    }
}

TEST(WavWriter, Ac3CannotBeEncoded) {
    // MPEG layers II and III are encoded (see the compressed WAV tests); AC3 is only ever
    // passed through.
    kytest::ScratchDir dir;
    EXPECT_EQ(writeFile(dir.path("m.wav"), "AC3", kytest::sinePlanes(2, 100, 44100), 44100),
              KYERR_DATA_FORMAT);
}
