// The MPEG audio and AAC readers on files made by lame, twolame and ffmpeg: detection,
// lengths, samples, seeking, damage.
#include "formats/aac_reader.h"
#include "formats/format_catalog.h"
#include "formats/mpeg_reader.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include "support/encoded_streams.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kRate = 44100;

struct Files {
    kytest::ScratchDir dir;
    std::vector<int16_t> signal = kytest::testSignal(kRate * 2 + 777, 2, kRate);
    std::string wav;
    Files() {
        wav = dir.path("in.wav");
        kytest::writeFile(wav, kytest::makePcm16Wav(signal, 2, kRate));
    }
    // Makes `name` with `command` (input and output file appended), or "" when the tool
    // is missing.
    std::string make(const char* tool, const std::string& command, const char* name,
                     const std::string& after = "") {
        if (!kytest::haveTool(tool)) return {};
        const std::string out = dir.path(name);
        if (!kytest::run(command + " " + kytest::shellQuote(wav) + " " + after +
                         kytest::shellQuote(out)))
            return {};
        return out;
    }
};

} // namespace

// Files of the peer encoders, with their tags: the format is detected from the contents,
// the length is exact where the file says what it is, and the samples match the input.
TEST(LossyReaders, FilesOfOtherEncoders) {
    Files f;
    const struct {
        const char* tool;
        std::string command;
        const char* name;
        const char* after;
        const char* format;
        const char* subformat;
        bool exactLength; // a LAME header names the encoder's delay and padding
        double minSnr;
    } cases[] = {
        {"lame", "lame --quiet -V 2 --tt Title --ta Artist --tl Album --ty 2001 --add-id3v2",
         "lame.mp3", "", "MPEG audio layer III", "MPEG audio layer III", true, 14},
        {"lame", "lame --quiet -b 128 --id3v1-only --tt Title", "cbr.mp3", "",
         "MPEG audio layer III", "MPEG audio layer III", true, 12},
        {"lame", "lame --quiet -b 64 -t --resample 22.05", "lsf.mp3", "", "MPEG audio layer III",
         "MPEG audio layer III", false, -100},
        {"twolame", "twolame --quiet -b 224", "twolame.mp2", "", "MPEG audio layer II",
         "MPEG audio layer II", false, 12},
        {"ffmpeg", "ffmpeg -v error -i", "ffmpeg.aac", "-c:a aac -b:a 160k ",
         "MPEG 2/4 AAC (Advanced Audio Coding)", "MPEG AAC", false, 12},
        {"ffmpeg", "ffmpeg -v error -i", "ffmpeg.mp3", "-c:a libmp3lame -b:a 192k ",
         "MPEG audio layer III", "MPEG audio layer III", true, 14},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = f.make(c.tool, c.command, c.name, c.after);
        if (path.empty()) {
            std::printf("%s: %s not made (tool missing or unable)\n", c.name, c.tool);
            continue;
        }
        const kytest::ReadBack r = kytest::readBack(path);
        ASSERT_EQ(r.result, KY_OK) << kyErrorMessage(r.result);
        EXPECT_EQ(r.formatName, c.format);
        // lame's tags, ID3v2 and ID3v1.
        if (std::strstr(c.command.c_str(), "--tt Title")) {
            kyPropertyTable props = r.properties;
            EXPECT_STREQ(props.getUtf8(KYPROP_TITLE), "Title");
        }
        if (std::strstr(c.command.c_str(), "--ta Artist")) {
            kyPropertyTable props = r.properties;
            EXPECT_STREQ(props.getUtf8(KYPROP_ARTIST), "Artist");
            EXPECT_STREQ(props.getUtf8(KYPROP_ALBUM), "Album");
            EXPECT_STREQ(props.getUtf8(KYPROP_YEAR), "2001");
        }
        EXPECT_EQ(r.subformat, c.subformat);
        EXPECT_EQ(r.format.channels, 2u);
        const uint32_t frames = static_cast<uint32_t>(r.samples.size() / 2);
        if (std::strcmp(c.name, "lsf.mp3") == 0) {
            EXPECT_EQ(r.format.sampleRate, 22050u);
            // No VBR header: the encoder's and the decoder's delays stay in.
            EXPECT_NEAR(double(frames), (f.signal.size() / 2) / 2.0, 2 * 1152);
            continue;
        }
        EXPECT_EQ(r.format.sampleRate, kRate);
        EXPECT_EQ(frames, r.format.lengthFrames);
        if (c.exactLength)
            EXPECT_EQ(frames, f.signal.size() / 2);
        else
            EXPECT_NEAR(double(frames), double(f.signal.size() / 2), 2048 + 481);
        uint32_t lag = 0;
        const double snr = kytest::alignedSnrDb(f.signal, r.samples, 2, 3000, &lag);
        EXPECT_GE(snr, c.minSnr) << "lag " << lag;
        if (c.exactLength) {
            EXPECT_EQ(lag, 0u);
        }
    }
}

// A seek starts the stream that many frames later, exactly; damage in the middle of a
// stream loses only the frames it hits, junk before the first frame is passed over, and a
// stream cut short ends where its data does.
TEST(LossyReaders, SeekDamageAndTruncation) {
    Files f;
    const std::string mp3 = f.make("lame", "lame --quiet -b 160", "s.mp3");
    const std::string aac = f.make("ffmpeg", "ffmpeg -v error -i", "s.aac", "-c:a aac ");
    for (const std::string& path : {mp3, aac}) {
        if (path.empty()) continue;
        SCOPED_TRACE(path);
        const kytest::ReadBack whole = kytest::readBack(path);
        ASSERT_EQ(whole.result, KY_OK);
        const kytest::ReadBack later = kytest::readBack(path, 30000);
        ASSERT_EQ(later.result, KY_OK);
        ASSERT_EQ(later.samples.size(), whole.samples.size() - 60000);
        EXPECT_TRUE(
            std::equal(later.samples.begin(), later.samples.end(), whole.samples.begin() + 60000));

        auto bytes = kytest::readFile(path);
        // Junk first, then the middle overwritten, then the end cut off.
        std::vector<uint8_t> damaged(333, 0x5A);
        damaged.insert(damaged.end(), bytes.begin(), bytes.end());
        std::memset(&damaged[damaged.size() / 2], 0xFF, 700);
        damaged.resize(damaged.size() - 5000);
        // The name keeps its extension: junk first leaves the contents uncertain.
        const std::string bad =
            path.substr(0, path.size() - 4) + "-bad" + path.substr(path.size() - 4);
        ASSERT_TRUE(kytest::writeFile(bad, damaged));
        const kytest::ReadBack r = kytest::readBack(bad);
        ASSERT_EQ(r.result, KY_OK) << kyErrorMessage(r.result);
        EXPECT_EQ(r.format.sampleRate, kRate);
        EXPECT_LT(r.samples.size(), whole.samples.size());
        EXPECT_GT(r.samples.size(), whole.samples.size() * 8 / 10);
        EXPECT_LE(r.samples.size() / 2, r.format.lengthFrames);
    }
}

// Files that are not what their names say, and files without audio.
TEST(LossyReaders, RefusedFiles) {
    kytest::ScratchDir dir;
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        kyError result;
    } cases[] = {
        {"empty.mp3", {}, KYERR_FILE_FORMAT},
        {"zeros.mp3", std::vector<uint8_t>(10000, 0), KYERR_FILE_FORMAT},
        {"text.mp3", std::vector<uint8_t>(10000, 'a'), KYERR_FILE_FORMAT},
        {"tagonly.mp3",
         {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         KYERR_NO_AUDIO},
        {"text.aac", std::vector<uint8_t>(10000, 'a'), KYERR_CORRUPT},
        {"adif.aac", {'A', 'D', 'I', 'F', 0, 0, 0, 0}, KYERR_CORRUPT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.path(c.name);
        ASSERT_TRUE(kytest::writeFile(path, c.bytes));
        EXPECT_EQ(kytest::readBack(path).result, c.result);
    }
}
