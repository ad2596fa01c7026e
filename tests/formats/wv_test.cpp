// The WavPack writer and reader: every subformat with several channel counts checked by
// wvunpack -v and decoded by wvunpack, the APE tag read by mutagen, the first block
// brought up to date when the stream's length was not what was announced, files made by
// wavpack with their tags, seeking, levels and damaged files.
#include "formats/format_catalog.h"
#include "formats/writer_filter.h"
#include "formats/wv_reader.h"
#include "support/chain_helpers.h"
#include "support/codec_library_files.h"
#include "support/codec_test_files.h"
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

using namespace kytest;

namespace {
const char* const kWv = "WavPack lossless compression";

std::string q(const std::string& s) {
    return shellQuote(s);
}

// The sample count wvunpack reports for a file (its sixth field of "-f6").
long toolSamples(const std::string& path) {
    return std::atol(capture("wvunpack -f6 " + q(path)).c_str());
}
// Keeps the raw bytes a reader hands over.
class RawSink : public kySinkFilter2 {
public:
    RawSink() : kySinkFilter2("Raw sink") {}
    kyError Write(float**, uint32_t) override { return KYERR_SEQUENCE; }
    kyError WriteInterleaved(const void* data, uint32_t n, uint32_t) override {
        bytes.insert(bytes.end(), static_cast<const uint8_t*>(data),
                     static_cast<const uint8_t*>(data) + n);
        return KY_OK;
    }
    std::vector<uint8_t> bytes;
};
} // namespace

TEST(WvWriter, EverySubformatPassesWvunpack) {
    if (!haveTool("wvunpack")) GTEST_SKIP() << "wavpack is not installed";
    struct Case {
        const char* subformat;
        uint32_t bits;
        std::vector<uint32_t> channels;
    } cases[] = {
        {"Lossless 8-bit", 8, {1, 2}},     {"Lossless 16-bit", 16, {1, 2, 6}},
        {"Lossless 24-bit", 24, {2, 6}},   {"Lossless 32-bit", 32, {2}},
        {"Lossless Float", 32, {1, 2, 6}},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        for (uint32_t channels : c.channels) {
            SCOPED_TRACE(std::string(c.subformat) + ", " + std::to_string(channels) + " channels");
            const bool isFloat = std::string(c.subformat) == "Lossless Float";
            const IntSignal signal = intSignal(30000, channels, 48000, isFloat ? 24 : c.bits);
            const std::string wv = dir.path("t.wv"), wav = dir.path("t.wav");
            ASSERT_EQ(writeSignal(wv, kWv, c.subformat, signal), KY_OK);
            EXPECT_TRUE(run("wvunpack -q -v " + q(wv)));
            ASSERT_TRUE(run("wvunpack -q -y -o " + q(wav) + " " + q(wv)));
            std::vector<std::vector<float>> planes;
            kyAudioFormat format;
            kyPropertyTable props;
            ASSERT_EQ(readPlanes(wv, planes, format, &props), KY_OK);
            EXPECT_EQ(format.lengthFrames, signal.frames());
            EXPECT_STREQ(props.getUtf8(KYPROP_DATA_FORMAT), c.subformat);
            if (isFloat) {
                // Floats go through as they are, bit for bit.
                WavFormat f;
                std::vector<uint8_t> data;
                ASSERT_TRUE(parseWav(readFile(wav), f, data));
                const auto expected = signal.planes();
                ASSERT_EQ(data.size(), size_t(signal.frames()) * channels * 4);
                for (size_t i = 0; i < data.size() / 4; ++i) {
                    float v;
                    std::memcpy(&v, &data[i * 4], 4);
                    ASSERT_EQ(v, expected[i % channels][i / channels]) << i;
                }
                EXPECT_TRUE(planes == expected);
            } else {
                // 32-bit samples come from float planes, which hold 24 bits of them.
                const std::vector<int32_t> expected =
                    c.bits == 32 ? planesToInts(signal.planes(), 32) : signal.samples;
                std::vector<int32_t> decoded;
                ASSERT_TRUE(wavInts(wav, c.bits, decoded));
                EXPECT_TRUE(decoded == expected);
                EXPECT_TRUE(planesToInts(planes, c.bits) == expected);
            }
        }
    }
}

TEST(WvWriter, TheFirstBlockTellsTheRealLength) {
    if (!haveTool("wvunpack")) GTEST_SKIP() << "wavpack is not installed";
    ScratchDir dir;
    const IntSignal signal = intSignal(50000, 2, 44100, 16);
    for (uint32_t announced : {50000u, 80000u, 20000u, KY_NO_LENGTH}) {
        SCOPED_TRACE(announced);
        const std::string wv = dir.path("len.wv");
        ASSERT_EQ(writeAnnounced(wv, kWv, "Lossless 16-bit", signal, announced), KY_OK);
        EXPECT_EQ(toolSamples(wv), 50000);
        EXPECT_TRUE(run("wvunpack -q -v " + q(wv)));
        std::vector<std::vector<float>> planes;
        kyAudioFormat format;
        ASSERT_EQ(readPlanes(wv, planes, format), KY_OK);
        EXPECT_EQ(format.lengthFrames, 50000u);
        EXPECT_TRUE(planesToInts(planes, 16) == signal.samples);
    }
}

TEST(WvWriter, ApeTagLevelsAndPassthrough) {
    ScratchDir dir;
    const IntSignal signal = intSignal(44100, 2, 44100, 16);
    WriteOptions o;
    o.withTags = true;
    o.interleaved = true;
    o.rawId = "PCM 16-bit";
    o.rawWidth = 2;
    bool passthrough = false;
    const std::string tagged = dir.path("tagged.wv");
    ASSERT_EQ(writeSignal(tagged, kWv, "Lossless 16-bit", signal, o, &passthrough), KY_OK);
    EXPECT_TRUE(passthrough);
    if (haveMutagen()) {
        const std::string tags = mutagenApeItems(tagged);
        for (const char* line :
             {"Title=Caf\xC3\xA9 Nocturne", "Artist=The Testers", "Album=Night Pieces", "Track=7",
              "Year=2001", "Genre=Ambient", "Replay Gain (radio)=-6.50 dB", "Peak Level=0.988831"})
            EXPECT_NE(tags.find(line), std::string::npos) << line << "\n" << tags;
    }
    std::vector<std::vector<float>> planes;
    kyAudioFormat format;
    kyPropertyTable props;
    ASSERT_EQ(readPlanes(tagged, planes, format, &props), KY_OK);
    EXPECT_STREQ(props.getUtf8(KYPROP_TITLE), "Caf\xC3\xA9 Nocturne");
    EXPECT_STREQ(props.getUtf8(KYPROP_ALBUM_GAIN), "-5.25 dB");
    EXPECT_TRUE(planesToInts(planes, 16) == signal.samples);

    // 32-bit samples handed over as they are stay exact, beyond what floats hold.
    const IntSignal wide = intSignal(20000, 2, 48000, 32);
    WriteOptions raw32;
    raw32.interleaved = true;
    raw32.rawId = "PCM 32-bit";
    raw32.rawWidth = 4;
    const std::string exact = dir.path("exact32.wv");
    ASSERT_EQ(writeSignal(exact, kWv, "Lossless 32-bit", wide, raw32, &passthrough), KY_OK);
    EXPECT_TRUE(passthrough);
    std::vector<uint8_t> rawBack;
    {
        kyReaderFilter* r = nullptr;
        ASSERT_EQ(kyFormatCatalog::Instance().OpenReader(r, exact.c_str(), -2), KY_OK);
        EXPECT_STREQ(r->GetInterleavedFormat(2), "PCM 32-bit");
        auto* sink = new RawSink;
        r->Connect(sink);
        EXPECT_EQ(r->RunInterleaved(), KY_OK);
        rawBack = sink->bytes;
        sink->DestroyChain();
    }
    EXPECT_TRUE(rawBack == wide.bytes(4));

    std::vector<size_t> sizes;
    for (int32_t level : {1, 2, 4}) {
        WriteOptions l;
        l.level = level;
        const std::string path = dir.path("level.wv");
        ASSERT_EQ(writeSignal(path, kWv, "Lossless 16-bit", signal, l), KY_OK);
        ASSERT_EQ(readPlanes(path, planes, format), KY_OK);
        EXPECT_TRUE(planesToInts(planes, 16) == signal.samples);
        sizes.push_back(readFile(path).size());
    }
    EXPECT_GT(sizes[0], sizes[2]);
}

TEST(WvReader, ReadsWhatWavpackWroteAndSeeks) {
    if (!haveTool("wavpack")) GTEST_SKIP() << "wavpack is not installed";
    ScratchDir dir;
    const IntSignal signal = intSignal(100000, 2, 44100, 24);
    const std::string raw = dir.path("in.raw"), wv = dir.path("in.wv");
    ASSERT_TRUE(writeFile(raw, signal.bytes(3)));
    ASSERT_TRUE(run("wavpack -q -y --raw-pcm=44100,24,2 -h -w Title=Tool -w Artist=Someone "
                    "-w Track=3 " +
                    q(raw) + " -o " + q(wv)));
    std::vector<std::vector<float>> planes;
    kyAudioFormat format;
    kyPropertyTable props;
    ASSERT_EQ(readPlanes(wv, planes, format, &props), KY_OK);
    EXPECT_TRUE(planesToInts(planes, 24) == signal.samples);
    EXPECT_STREQ(props.getUtf8(KYPROP_TITLE), "Tool");
    EXPECT_STREQ(props.getUtf8(KYPROP_ARTIST), "Someone");
    EXPECT_STREQ(props.getUtf8(KYPROP_TRACK_NUMBER), "3");
    for (uint32_t start : {1u, 22050u, 77777u, 99999u}) {
        SCOPED_TRACE(start);
        ASSERT_EQ(readPlanes(wv, planes, format, nullptr, start), KY_OK);
        const std::vector<int32_t> part = planesToInts(planes, 24);
        ASSERT_EQ(part.size(), size_t(signal.frames() - start) * 2);
        EXPECT_TRUE(std::equal(part.begin(), part.end(), signal.samples.begin() + 2 * start));
    }
}

TEST(WvReader, RefusesDamagedFiles) {
    ScratchDir dir;
    const std::string good = dir.path("good.wv");
    ASSERT_EQ(writeSignal(good, kWv, "Lossless 16-bit", intSignal(60000, 2, 44100, 16)), KY_OK);
    const std::vector<uint8_t> bytes = readFile(good);
    std::vector<uint8_t> header(KY_PROBE_BYTES, 0);
    std::memcpy(header.data(), bytes.data(), std::min<size_t>(bytes.size(), header.size()));
    EXPECT_EQ(wv_Reader::Probe(header.data(), header.size()), KY_PROBE_CERTAIN);
    header[8] = 0x01; // a stream version no library reads
    EXPECT_EQ(wv_Reader::Probe(header.data(), header.size()), KY_PROBE_NO);

    struct Case {
        const char* name;
        std::vector<uint8_t> file;
    };
    auto flipped = bytes;
    flipped[bytes.size() / 2] ^= 0x5A;
    const Case cases[] = {
        {"damaged block", flipped},
        {"cut after the first header", {bytes.begin(), bytes.begin() + 40}},
        {"not WavPack", std::vector<uint8_t>(5000, 0x11)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.path("bad.wv");
        ASSERT_TRUE(writeFile(path, c.file));
        std::vector<std::vector<float>> planes;
        kyAudioFormat format;
        kyReaderFilter* r = nullptr;
        kyError err =
            kyFormatCatalog::Instance().OpenReader(r, path.c_str(), catalogIndex(kWv, false));
        if (kySucceeded(err)) {
            r->DestroyChain();
            err = readPlanes(path, planes, format);
        }
        EXPECT_TRUE(kyFailed(err)) << c.name;
    }
}
