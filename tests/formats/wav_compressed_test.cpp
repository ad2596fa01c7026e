// Compressed streams inside WAV and BWF files: MPEG layers II and III encoded by the WAV
// writer, AC3 and DTS passed through unchanged, AAC and MPEG written by ffmpeg read back.
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include "support/encoded_streams.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr uint32_t kRate = 44100;

uint16_t le16(const std::vector<uint8_t>& b, size_t at) {
    return uint16_t(b[at] | b[at + 1] << 8);
}
uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return le16(b, at) | uint32_t(le16(b, at + 2)) << 16;
}

// The body of the first chunk `id` of a RIFF file (empty when there is none).
std::vector<uint8_t> chunk(const std::vector<uint8_t>& file, const char* id) {
    size_t pos = 12;
    while (pos + 8 <= file.size()) {
        const uint32_t size = le32(file, pos + 4);
        if (!std::memcmp(&file[pos], id, 4))
            return {file.begin() + static_cast<ptrdiff_t>(pos + 8),
                    file.begin() +
                        static_cast<ptrdiff_t>(std::min<size_t>(file.size(), pos + 8 + size))};
        pos += 8 + size + (size & 1);
    }
    return {};
}

std::string codingHistory(const std::vector<uint8_t>& bext) {
    if (bext.size() <= 602) return {};
    return std::string(reinterpret_cast<const char*>(&bext[602]));
}

} // namespace

// MP3 and MP2 inside WAV and BWF: the "fmt " fields, "fact", "mext" and the coding history,
// read back by ffprobe and by our reader.
TEST(WavCompressed, MpegEncodedIntoWavAndBwf) {
    if (!kytest::haveTool("ffprobe")) GTEST_SKIP() << "ffprobe is not installed";
    kytest::ScratchDir dir;
    const struct {
        const char* entry;
        const char* subformat;
        uint32_t inputRate, channels;
        uint16_t layer;   // head layer: 2 or 4
        uint32_t bitRate; // bit/s
        uint32_t rate, fileChannels;
        const char* codec;
        const char* history; // BWF only
    } cases[] = {
        {"Microsoft wave format", "MP3 CBR 128 kbit/s", kRate, 2, 4, 128000, kRate, 2, "mp3", ""},
        {"Microsoft wave format", "MP3 ABR 192 kbit/s", 48000, 1, 4, 192000, 48000, 1, "mp3", ""},
        {"Microsoft wave format", "MP3 CBR 8 kbit/s", kRate, 1, 4, 8000, 24000, 1, "mp3", ""},
        {"Microsoft wave format", "MP2 CBR 256 kbit/s", kRate, 2, 2, 256000, kRate, 2, "mp2", ""},
        // Six channels are mixed down to the two the encoder takes.
        {"Microsoft wave format", "MP3 CBR 192 kbit/s", kRate, 6, 4, 192000, kRate, 2, "mp3", ""},
        {"Broadcast wave format (EBU BWF)", "MP2 CBR 192 kbit/s", 48000, 2, 2, 192000, 48000, 2,
         "mp2", "A=MPEG1L2,F=48000,B=192000,M=joint-stereo,T=Velmora ZiV++ engine v4.2\r\n"},
        {"Broadcast wave format (EBU BWF)", "MP2 CBR 128 kbit/s", kRate, 1, 2, 128000, kRate, 1,
         "mp2", "A=MPEG1L2,F=44100,B=128000,M=mono,T=Velmora ZiV++ engine v4.2\r\n"},
        // Mono at 224 kbit/s and more becomes stereo.
        {"Broadcast wave format (EBU BWF)", "MP2 CBR 256 kbit/s", kRate, 1, 2, 256000, kRate, 2,
         "mp2", "A=MPEG1L2,F=44100,B=256000,M=joint-stereo,T=Velmora ZiV++ engine v4.2\r\n"},
        // The lower sampling frequencies are MPEG-2's.
        {"Broadcast wave format (EBU BWF)", "MP2 CBR 64 kbit/s", 22050, 2, 2, 64000, 22050, 2,
         "mp2", "A=MPEG2L2,F=22050,B=64000,M=joint-stereo,T=Velmora ZiV++ engine v4.2\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.entry) + ", " + c.subformat + ", " + std::to_string(c.channels) +
                     " channels at " + std::to_string(c.inputRate));
        const std::string path = dir.path("m.wav");
        const auto in = kytest::testSignal(c.inputRate * 2, c.channels, c.inputRate);
        ASSERT_EQ(kytest::encodeFile(c.entry, c.subformat, in, c.channels, c.inputRate, path),
                  KY_OK);
        const auto file = kytest::readFile(path);
        const auto fmt = chunk(file, "fmt ");
        ASSERT_EQ(fmt.size(), 40u);
        EXPECT_EQ(le16(fmt, 0), 0x50);
        EXPECT_EQ(le16(fmt, 2), c.fileChannels);
        EXPECT_EQ(le32(fmt, 4), c.rate);
        EXPECT_EQ(le32(fmt, 8), (c.bitRate + 4) / 8);
        EXPECT_EQ(le16(fmt, 12), c.bitRate * 144 / c.rate);
        EXPECT_EQ(le16(fmt, 16), 22);
        EXPECT_EQ(le16(fmt, 18), c.layer);
        EXPECT_EQ(le32(fmt, 20), c.bitRate);
        EXPECT_EQ(le16(fmt, 24), c.fileChannels == 1 ? 8 : 2);
        const auto data = chunk(file, "data");
        ASSERT_GT(data.size(), 100u);
        EXPECT_EQ(data[0], 0xFF); // the first frame starts the data
        EXPECT_EQ(le32(chunk(file, "fact"), 0), c.rate * 2);
        const bool bwf = c.entry[0] == 'B';
        EXPECT_EQ(codingHistory(chunk(file, "bext")), c.history);
        const auto mext = chunk(file, "mext");
        EXPECT_EQ(mext.size(), bwf ? 12u : 0u);
        if (bwf) {
            EXPECT_EQ(le16(mext, 0), 3);
            EXPECT_EQ(le16(mext, 2), c.bitRate * 144 / c.rate);
        }
        EXPECT_EQ(kytest::probeStream(path, "codec_name"), c.codec);
        EXPECT_EQ(kytest::probeStream(path, "sample_rate"), std::to_string(c.rate));
        EXPECT_EQ(kytest::probeStream(path, "channels"), std::to_string(c.fileChannels));
        const kytest::ReadBack r = kytest::readBack(path);
        ASSERT_EQ(r.result, KY_OK);
        EXPECT_EQ(r.subformat, c.layer == 2 ? "MPEG audio layer II" : "MPEG audio layer III");
        EXPECT_EQ(r.format.sampleRate, c.rate);
        EXPECT_GE(r.samples.size() / c.fileChannels, c.rate * 2);
        if (c.channels == c.fileChannels && c.rate == c.inputRate && c.bitRate >= 128000) {
            EXPECT_GE(kytest::alignedSnrDb(in, r.samples, c.channels, 3000), 10.0);
        }
    }
}

// AC3 and DTS the source delivers are stored bit for bit; ffmpeg's MP3 (tag 0x55) and AAC
// (tag 0xFF with its configuration) inside WAV are read back.
TEST(WavCompressed, StreamsOfOtherWriters) {
    if (!kytest::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    kytest::ScratchDir dir;
    const std::string src = dir.path("src.wav");
    ASSERT_TRUE(
        kytest::run("ffmpeg -v error -f lavfi -i sine=frequency=440:duration=2:sample_rate=48000 "
                    "-ac 2 " +
                    kytest::shellQuote(src)));
    const struct {
        const char* codec;
        const char* subformat;
        bool passOn;
    } cases[] = {
        {"ac3", "AC3", true},
        {"dca -strict -2", "DTS", true},
        {"libmp3lame -b:a 128k", "MPEG audio layer III", false},
        {"aac -b:a 128k", "MPEG AAC", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.subformat);
        const std::string in = dir.path("in.wav");
        if (!kytest::run("ffmpeg -v error -y -i " + kytest::shellQuote(src) + " -c:a " + c.codec +
                         " -f wav " + kytest::shellQuote(in))) {
            std::printf("ffmpeg cannot write %s into WAV here\n", c.subformat);
            continue;
        }
        const kytest::ReadBack r = kytest::readBack(in);
        // AC3 and DTS are not decoded here: "Unsupported compression type" for samples.
        ASSERT_EQ(r.result, c.passOn ? KYERR_COMPRESSION : KY_OK) << kyErrorMessage(r.result);
        EXPECT_EQ(r.subformat, c.subformat);
        if (c.passOn) {
            // Not decoded, only stored: through "<Auto select>" the WAV writer copies it.
            const std::string out = dir.path("out.wav");
            kyReaderFilter* reader = nullptr;
            ASSERT_EQ(kyFormatCatalog::Instance().OpenReader(reader, in.c_str(), -2), KY_OK);
            kyWriterFilter* writer = nullptr;
            ASSERT_EQ(kyFormatCatalog::Instance().CreateWriter(
                          writer, out.c_str(), "<Auto select>",
                          kytest::catalogIndex("Microsoft wave format", true)),
                      KY_OK);
            reader->Connect(writer);
            ASSERT_EQ(writer->Run(), KY_OK);
            writer->DestroyChain();
            const auto before = kytest::readFile(in), after = kytest::readFile(out);
            EXPECT_EQ(chunk(after, "data"), chunk(before, "data"));
            EXPECT_EQ(le16(chunk(after, "fmt "), 0), le16(chunk(before, "fmt "), 0));
            EXPECT_EQ(kytest::probeStream(out, "codec_name"),
                      kytest::probeStream(in, "codec_name"));
            EXPECT_EQ(kytest::probeStream(out, "bit_rate"), kytest::probeStream(in, "bit_rate"));
        } else {
            EXPECT_EQ(r.format.sampleRate, 48000u);
            EXPECT_EQ(r.format.channels, 2u);
            EXPECT_NEAR(double(r.samples.size() / 2), 96000.0, 2048);
            std::vector<int16_t> ref;
            ASSERT_TRUE(kytest::ffmpegDecode(src, "", 2, ref));
            EXPECT_GE(kytest::alignedSnrDb(ref, r.samples, 2, 3000), 15.0);
        }
    }
}
