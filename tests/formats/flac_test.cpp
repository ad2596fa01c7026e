// The FLAC writer and reader: every width and several channel counts round-tripped through
// our writer, `flac -t` and `flac -d`; files made by `flac` read bit for bit with their
// tags; the comment table checked with metaflac; passthrough, levels, seeking and damaged
// files.
#include "formats/flac_common.h"
#include "formats/format_catalog.h"
#include "support/chain_helpers.h"
#include "support/codec_library_files.h"
#include "support/codec_test_files.h"
#include <cstring>
#include <gtest/gtest.h>

using namespace kytest;

namespace {
const char* const kFlac = "Free lossless audio codec";

std::string q(const std::string& s) {
    return shellQuote(s);
}

// A 1x1 PNG image.
const std::vector<uint8_t> kPng = {
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
    0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
    0x00, 0x1F, 0x15, 0xC4, 0x89, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x44, 0x41, 0x54, 0x78,
    0x9C, 0x63, 0xF8, 0xCF, 0xC0, 0xF0, 0x1F, 0x00, 0x05, 0x00, 0x01, 0xFF, 0x89, 0x99,
    0x3D, 0x1D, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

struct Shape {
    uint32_t bits;
    uint32_t channels;
    uint32_t rate;
    const char* subformat;
};
} // namespace

TEST(FlacWriter, EveryWidthRoundTripsThroughFlacAndOurReader) {
    if (!haveTool("flac")) GTEST_SKIP() << "flac is not installed";
    const Shape shapes[] = {
        {8, 1, 22050, "Lossless 8-bit"},
        {8, 2, 44100, "Lossless 8-bit  (maximum compression)"},
        {12, 2, 32000, "Lossless 12-bit"},
        {16, 1, 44100, "Lossless 16-bit"},
        {16, 2, 44100, "Lossless 16-bit (maximum compression)"},
        {16, 6, 48000, "Lossless 16-bit"},
        {20, 2, 96000, "Lossless 20-bit"},
        {24, 2, 96000, "Lossless 24-bit"},
        {24, 8, 48000, "Lossless 24-bit (maximum compression)"},
    };
    ScratchDir dir;
    for (const Shape& s : shapes) {
        SCOPED_TRACE(std::string(s.subformat) + ", " + std::to_string(s.channels) + " channels");
        const IntSignal signal = intSignal(s.rate / 3, s.channels, s.rate, s.bits);
        const std::string flac = dir.path("t.flac"), wav = dir.path("t.wav");
        ASSERT_EQ(writeSignal(flac, kFlac, s.subformat, signal), KY_OK);
        EXPECT_TRUE(run("flac -s -t " + q(flac)));
        ASSERT_TRUE(run("flac -s -d -f -o " + q(wav) + " " + q(flac)));
        std::vector<int32_t> decoded;
        uint32_t channels = 0, rate = 0;
        ASSERT_TRUE(wavInts(wav, s.bits, decoded, &channels, &rate));
        EXPECT_EQ(channels, s.channels);
        EXPECT_EQ(rate, s.rate);
        EXPECT_TRUE(decoded == signal.samples);

        std::vector<std::vector<float>> planes;
        kyAudioFormat format;
        kyPropertyTable props;
        ASSERT_EQ(readPlanes(flac, planes, format, &props), KY_OK);
        EXPECT_EQ(format.lengthFrames, signal.frames());
        EXPECT_STREQ(props.getUtf8(KYPROP_DATA_FORMAT),
                     ("Lossless " + std::to_string(s.bits) + "-bit").c_str());
        EXPECT_TRUE(planesToInts(planes, s.bits) == signal.samples);
    }
}

TEST(FlacWriter, CommentsAreTheTableAndComeBack) {
    if (!haveTool("metaflac")) GTEST_SKIP() << "metaflac is not installed";
    ScratchDir dir;
    const std::string flac = dir.path("tags.flac");
    WriteOptions o;
    o.withTags = true;
    ASSERT_EQ(writeSignal(flac, kFlac, "Lossless 16-bit", intSignal(4410, 2, 44100, 16), o), KY_OK);
    const std::string listed = capture("metaflac --list --block-type=VORBIS_COMMENT " + q(flac));
    for (const char* line :
         {"TITLE=Caf\xC3\xA9 Nocturne", "VERSION=Live take", "ALBUM=Night Pieces", "TRACKNUMBER=7",
          "ARTIST=The Testers", "PERFORMER=Ann Example", "COPYRIGHT=2024 Velmora",
          "ORGANIZATION=Velmora Records", "DESCRIPTION=Ripped for the tests", "GENRE=Ambient",
          "DATE=2001", "CONTACT=https://example.org/", "ISRC=GBAYE0000001",
          "REPLAYGAIN_TRACK_PEAK=0.988831", "REPLAYGAIN_TRACK_GAIN=-6.50 dB",
          "REPLAYGAIN_ALBUM_GAIN=-5.25 dB"})
        EXPECT_NE(listed.find(line), std::string::npos) << line << "\n" << listed;
    EXPECT_NE(listed.find("comments: 16"), std::string::npos) << listed;

    std::vector<std::vector<float>> planes;
    kyAudioFormat format;
    kyPropertyTable props, expected;
    ASSERT_EQ(readPlanes(flac, planes, format, &props), KY_OK);
    setTagProperties(expected);
    for (uint32_t slot = 3; slot < KY_SOURCE_PROPERTY_SLOTS; ++slot)
        if (expected.getUtf8(slot)) {
            EXPECT_STREQ(props.getUtf8(slot), expected.getUtf8(slot));
        }
}

TEST(FlacWriter, TakesTheSourcesOwnSamplesWhenTheyAreTheFiles) {
    ScratchDir dir;
    struct Case {
        const char* subformat;
        const char* rawId;
        uint32_t bits, width;
        bool passthrough;
    } cases[] = {
        {"Lossless 16-bit", "PCM 16-bit", 16, 2, true},
        {"Lossless 24-bit", "PCM 24-bit", 24, 3, true},
        {"Lossless 8-bit", "PCM 8-bit", 8, 1, true},
        {"Lossless 16-bit", "PCM 24-bit", 16, 3, false}, // another width: through floats
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.subformat) + " from " + c.rawId);
        IntSignal signal = intSignal(30000, 2, 44100, c.bits);
        WriteOptions o;
        o.interleaved = true;
        o.rawId = c.rawId;
        o.rawWidth = c.width;
        if (!c.passthrough) signal = intSignal(30000, 2, 44100, 24);
        bool passthrough = false;
        const std::string flac = dir.path("p.flac");
        ASSERT_EQ(writeSignal(flac, kFlac, c.subformat, signal, o, &passthrough), KY_OK);
        EXPECT_EQ(passthrough, c.passthrough);
        std::vector<std::vector<float>> planes;
        kyAudioFormat format;
        ASSERT_EQ(readPlanes(flac, planes, format), KY_OK);
        if (c.passthrough) {
            EXPECT_TRUE(planesToInts(planes, c.bits) == signal.samples);
        } else {
            EXPECT_EQ(format.lengthFrames, signal.frames());
        }
    }
}

TEST(FlacWriter, LevelsChangeTheSizeNotTheSamples) {
    ScratchDir dir;
    const IntSignal signal = intSignal(44100, 2, 44100, 16);
    auto sizeAt = [&](int32_t level, const char* subformat) {
        WriteOptions o;
        o.level = level;
        const std::string path = dir.path("l" + std::to_string(level) + ".flac");
        EXPECT_EQ(writeSignal(path, kFlac, subformat, signal, o), KY_OK);
        std::vector<std::vector<float>> planes;
        kyAudioFormat format;
        EXPECT_EQ(readPlanes(path, planes, format), KY_OK);
        EXPECT_TRUE(planesToInts(planes, 16) == signal.samples);
        return readFile(path).size();
    };
    const size_t fastest = sizeAt(0, "Lossless 16-bit");
    const size_t normal = sizeAt(-1, "Lossless 16-bit");
    const size_t maximum = sizeAt(-1, "Lossless 16-bit (maximum compression)");
    EXPECT_GT(fastest, normal);
    EXPECT_GE(normal, maximum);
    // A level past the codec's range is its highest.
    EXPECT_EQ(sizeAt(99, "Lossless 16-bit"), maximum);
}

TEST(FlacReader, ReadsWhatFlacWroteWithItsTagsAndSeeks) {
    if (!haveTool("flac")) GTEST_SKIP() << "flac is not installed";
    ScratchDir dir;
    const IntSignal signal = intSignal(100000, 2, 44100, 16);
    const std::string raw = dir.path("in.raw"), flac = dir.path("in.flac");
    ASSERT_TRUE(writeFile(raw, signal.bytes(2)));
    // A cover picture goes in a block of its own, which the reader passes over.
    const std::string png = dir.path("cover.png");
    ASSERT_TRUE(writeFile(png, kPng));
    ASSERT_TRUE(run("flac -s -f --force-raw-format --endian=little --sign=signed --channels=2 "
                    "--bps=16 --sample-rate=44100 --picture=" +
                    q(png) +
                    " -T TITLE=Tool -T artist=Someone -T tracknumber=3 -T COMMENT=fine -o " +
                    q(flac) + " " + q(raw)));
    EXPECT_NE(capture("metaflac --list " + q(flac)).find("PICTURE"), std::string::npos);
    std::vector<std::vector<float>> planes;
    kyAudioFormat format;
    kyPropertyTable props;
    ASSERT_EQ(readPlanes(flac, planes, format, &props), KY_OK);
    EXPECT_TRUE(planesToInts(planes, 16) == signal.samples);
    EXPECT_STREQ(props.getUtf8(KYPROP_TITLE), "Tool");
    EXPECT_STREQ(props.getUtf8(KYPROP_ARTIST), "Someone");
    EXPECT_STREQ(props.getUtf8(KYPROP_TRACK_NUMBER), "3");
    EXPECT_STREQ(props.getUtf8(KYPROP_COMMENT), "fine");

    for (uint32_t start : {1u, 4095u, 4096u, 54321u, 99999u}) {
        SCOPED_TRACE(start);
        ASSERT_EQ(readPlanes(flac, planes, format, nullptr, start), KY_OK);
        ASSERT_EQ(planes[0].size(), signal.frames() - start);
        const std::vector<int32_t> ints = planesToInts(planes, 16);
        EXPECT_TRUE(std::equal(ints.begin(), ints.end(), signal.samples.begin() + 2 * start));
    }

    // Written to a pipe, flac cannot go back to put the length in: the reader reads on to
    // the end.
    const std::string streamed = dir.path("streamed.flac");
    ASSERT_TRUE(run("(flac -s --force-raw-format --endian=little --sign=signed --channels=2 "
                    "--bps=16 --sample-rate=44100 -c - < " +
                    q(raw) + " > " + q(streamed) + ")"));
    ASSERT_EQ(readPlanes(streamed, planes, format), KY_OK);
    EXPECT_EQ(format.lengthFrames, KY_NO_LENGTH);
    EXPECT_TRUE(planesToInts(planes, 16) == signal.samples);
}

TEST(FlacReader, RefusesDamagedFiles) {
    ScratchDir dir;
    const std::string good = dir.path("good.flac");
    ASSERT_EQ(writeSignal(good, kFlac, "Lossless 16-bit", intSignal(20000, 2, 44100, 16)), KY_OK);
    const std::vector<uint8_t> bytes = readFile(good);
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        bool opens; // the damage is in the audio, found while decoding
    };
    std::vector<Case> cases;
    cases.push_back({"cut in the metadata", {bytes.begin(), bytes.begin() + 30}, false});
    auto badLength = bytes;
    badLength[5] = 0x7F; // STREAMINFO claims far more bytes than the file has
    cases.push_back({"block past the end", badLength, false});
    auto noInfo = bytes;
    noInfo[4] = 0x04; // the first block is not STREAMINFO
    cases.push_back({"first block not STREAMINFO", noInfo, false});
    auto flipped = bytes;
    flipped[bytes.size() / 2] ^= 0x55; // a frame's checksum no longer matches
    cases.push_back({"damaged frame", flipped, true});
    cases.push_back({"cut in the audio", {bytes.begin(), bytes.end() - 2000}, true});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.path("bad.flac");
        ASSERT_TRUE(writeFile(path, c.file));
        std::vector<std::vector<float>> planes;
        kyAudioFormat format;
        const int32_t err = readPlanes(path, planes, format);
        EXPECT_TRUE(kyFailed(err));
        if (!c.opens) {
            EXPECT_EQ(err, KYERR_CORRUPT);
        }
    }
}

TEST(FlacProbe, FindsTheStreamBehindAnId3v2Tag) {
    std::vector<uint8_t> head(KY_PROBE_BYTES, 0);
    std::memcpy(head.data(), "fLaC", 4);
    EXPECT_EQ(flac::Probe(head.data(), head.size()), KY_PROBE_CERTAIN);
    // "ID3" v3, 100 bytes of tag, then the stream.
    const uint8_t tag[10] = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 100};
    std::memcpy(head.data(), tag, 10);
    std::memcpy(head.data() + 110, "fLaC", 4);
    EXPECT_EQ(flac::Probe(head.data(), head.size()), KY_PROBE_CERTAIN);
    head[110] = 'x';
    EXPECT_EQ(flac::Probe(head.data(), head.size()), KY_PROBE_NO);
    // A tag larger than the bytes looked at: cannot tell.
    head[8] = 0x7F;
    EXPECT_EQ(flac::Probe(head.data(), head.size()), KY_PROBE_UNSURE);
}
