// The Monkey's Audio writer and reader, driven through the loader against a stand-in for
// libMAC.so (no distribution packages the library): the calls, the sample layouts, the
// compression levels, the APE tag (read back by mutagen too), seeking and the library's
// failures.
#include "formats/ape_reader.h"
#include "formats/format_catalog.h"
#include "support/chain_helpers.h"
#include "support/codec_library_files.h"
#include "support/codec_test_files.h"
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

using namespace kytest;

namespace {
const char* const kApe = "Monkey Audio lossless compression";

// The loader looks only where the stand-in is; set before anything is loaded.
const bool kLibraryPath = [] {
    setenv("DSKR_LIBRARY_PATH", DSKR_FAKE_MAC_DIR, 1);
    return true;
}();

// What the stand-in's header says: bits, channels and the level it was asked for.
struct Stored {
    uint16_t tag, channels, bits;
    int32_t level;
};
Stored stored(const std::string& path) {
    const std::vector<uint8_t> b = readFile(path);
    Stored s{};
    if (b.size() < 34) return s;
    std::memcpy(&s.tag, &b[4], 2);
    std::memcpy(&s.channels, &b[6], 2);
    std::memcpy(&s.bits, &b[18], 2);
    std::memcpy(&s.level, &b[22], 4);
    return s;
}
} // namespace

TEST(ApeWriter, WritesThroughTheLibraryAndReadsBack) {
    ASSERT_TRUE(kLibraryPath);
    ScratchDir dir;
    struct Case {
        const char* subformat;
        uint32_t bits, channels;
        const char* rawId; // the source also offers its samples in this id
        uint32_t width;
        bool passthrough;
    } cases[] = {
        {"Lossless 8-bit", 8, 1, nullptr, 0, false},
        {"Lossless 16-bit", 16, 2, nullptr, 0, false},
        {"Lossless 16-bit", 16, 2, "PCM 16-bit", 2, true},
        {"Lossless 24-bit", 24, 2, "PCM 24-bit", 3, true},
        {"Lossless 8-bit", 8, 2, "PCM 8-bit", 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.subformat) + (c.rawId ? " from raw samples" : ""));
        const IntSignal signal = intSignal(20000, c.channels, 44100, c.bits);
        WriteOptions o;
        o.withTags = true;
        o.interleaved = c.rawId != nullptr;
        o.rawId = c.rawId;
        o.rawWidth = c.width;
        bool passthrough = false;
        const std::string path = dir.path("t.ape");
        ASSERT_EQ(writeSignal(path, kApe, c.subformat, signal, o, &passthrough), KY_OK);
        EXPECT_EQ(passthrough, c.passthrough);
        const Stored s = stored(path);
        EXPECT_EQ(s.tag, 1);
        EXPECT_EQ(s.channels, c.channels);
        EXPECT_EQ(s.bits, c.bits);
        EXPECT_EQ(s.level, 3000);
        // 8-bit samples reach the library unsigned, as in a WAV file.
        if (c.bits == 8) {
            const std::vector<uint8_t> b = readFile(path);
            EXPECT_EQ(b[34], static_cast<uint8_t>(signal.samples[0] + 128));
        }

        std::vector<std::vector<float>> planes;
        kyAudioFormat format;
        kyPropertyTable props, expected;
        ASSERT_EQ(readPlanes(path, planes, format, &props), KY_OK);
        EXPECT_EQ(format.lengthFrames, signal.frames());
        EXPECT_TRUE(planesToInts(planes, c.bits) == signal.samples);
        setTagProperties(expected);
        for (uint32_t slot : {KYPROP_TITLE, KYPROP_ARTIST, KYPROP_ALBUM, KYPROP_TRACK_NUMBER,
                              KYPROP_TRACK_GAIN, KYPROP_PEAK})
            EXPECT_STREQ(props.getUtf8(slot), expected.getUtf8(slot)) << slot;

        ASSERT_EQ(readPlanes(path, planes, format, nullptr, 12345), KY_OK);
        const std::vector<int32_t> part = planesToInts(planes, c.bits);
        EXPECT_TRUE(
            std::equal(part.begin(), part.end(), signal.samples.begin() + 12345 * c.channels));
    }
    if (haveMutagen()) {
        const std::string tags = mutagenApeItems(dir.path("t.ape"));
        EXPECT_NE(tags.find("Title=Caf\xC3\xA9 Nocturne"), std::string::npos) << tags;
        EXPECT_NE(tags.find("Replay Gain (radio)=-6.50 dB"), std::string::npos) << tags;
    }
}

TEST(ApeWriter, LevelsAndTheLibrarysFailures) {
    ScratchDir dir;
    const IntSignal signal = intSignal(5000, 2, 44100, 16);
    for (int32_t level : {1, 5, 9}) {
        WriteOptions o;
        o.level = level;
        const std::string path = dir.path("l.ape");
        ASSERT_EQ(writeSignal(path, kApe, "Lossless 16-bit", signal, o), KY_OK);
        EXPECT_EQ(stored(path).level, std::min(level, 5) * 1000);
    }
    struct Case {
        const char* fail;
        int32_t error;
    } cases[] = {{"start", KYERR_CREATE_FILE}, {"finish", KYERR_UNKNOWN}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fail);
        setenv("FAKE_MAC_FAIL", c.fail, 1);
        const std::string path = dir.path("fail.ape");
        WriteOptions o;
        o.withTags = true;
        EXPECT_EQ(writeSignal(path, kApe, "Lossless 16-bit", signal, o), c.error);
        unsetenv("FAKE_MAC_FAIL");
        // No tag is added to a file the library did not finish.
        const std::vector<uint8_t> b = readFile(path);
        const std::string tail(b.end() - std::min<size_t>(b.size(), 32), b.end());
        EXPECT_EQ(tail.find("APETAGEX"), std::string::npos);
    }
    // Formats the library does not take are refused before anything is written.
    EXPECT_EQ(writeSignal(dir.path("f.ape"), kApe, "Lossless Float", signal), KYERR_DATA_FORMAT);
    EXPECT_EQ(writeSignal(dir.path("c.ape"), kApe, "Lossless 16-bit", intSignal(100, 3, 44100, 16)),
              KYERR_CHANNEL_FORMAT);
    EXPECT_EQ(readFile(dir.path("c.ape")).size(), 0u);
}

TEST(ApeReader, ProbeAndFilesTheLibraryRefuses) {
    std::vector<uint8_t> head(KY_PROBE_BYTES, 0);
    std::memcpy(head.data(), "MAC ", 4);
    EXPECT_EQ(ape_Reader::Probe(head.data(), head.size()), KY_PROBE_CERTAIN);
    head[0] = 'm';
    EXPECT_EQ(ape_Reader::Probe(head.data(), head.size()), KY_PROBE_NO);
    ScratchDir dir;
    const std::string junk = dir.path("junk.ape");
    ASSERT_TRUE(writeFile(junk, std::vector<uint8_t>(100, 7)));
    kyReaderFilter* r = nullptr;
    EXPECT_EQ(kyFormatCatalog::Instance().OpenReader(r, junk.c_str(), catalogIndex(kApe, false)),
              KYERR_CORRUPT);
}
