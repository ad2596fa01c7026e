// The Ogg Vorbis writer and reader: the encoder's retry rules, files checked by ogginfo and
// decoded by oggdec, the comment table with vorbiscomment, files made by oggenc, seeking,
// Vorbis streams inside WAV files and streams that are not Vorbis.
#include "formats/format_catalog.h"
#include "formats/ogg_writer.h"
#include "formats/reader_filter.h"
#include "formats/wav_common.h"
#include "support/chain_helpers.h"
#include "support/codec_library_files.h"
#include "support/codec_test_files.h"
#include <cmath>
#include <gtest/gtest.h>

using namespace kytest;

namespace {
const char* const kOgg = "Vorbis Ogg stream";

std::string q(const std::string& s) {
    return shellQuote(s);
}

// What the encoder was asked for, as "channels/rate/kbps".
std::string text(const kyVorbisSetup& s) {
    return std::to_string(s.channels) + "/" + std::to_string(s.sampleRate) + "/" +
           std::to_string(s.kbps);
}

// Interleaved 16-bit samples of float planes.
std::vector<int16_t> to16(const std::vector<std::vector<float>>& planes) {
    std::vector<int16_t> out;
    if (planes.empty()) return out;
    for (size_t i = 0; i < planes[0].size(); ++i)
        for (const auto& p : planes)
            out.push_back(static_cast<int16_t>(
                std::lround(std::clamp(p[i] * 32768.0f, -32768.0f, 32767.0f))));
    return out;
}
} // namespace

TEST(VorbisSetup, RetriesAsTheRulesSay) {
    struct Case {
        const char* name;
        uint32_t channels, rate, kbps;
        std::function<bool(const kyVorbisSetup&)> accepts;
        std::vector<std::string> tried;
        bool found;
    } cases[] = {
        {"taken at once", 2, 44100, 160, [](auto&) { return true; }, {"2/44100/160"}, true},
        {"8 kbit/s stereo becomes mono",
         2,
         44100,
         8,
         [](const kyVorbisSetup& s) { return s.channels == 1 && s.sampleRate == 11025; },
         {"2/44100/8", "1/44100/8", "1/32000/8", "1/22050/8", "1/16000/8", "1/11025/8"},
         true},
        {"96 kHz goes down to the first rate taken",
         2,
         96000,
         160,
         [](const kyVorbisSetup& s) { return s.sampleRate <= 48000; },
         {"2/96000/160", "2/48000/160"},
         true},
        {"low rate in stereo, then a raised bit rate",
         2,
         44100,
         40,
         [](const kyVorbisSetup& s) { return s.kbps == 48 && s.sampleRate == 44100; },
         {"2/44100/40", "2/32000/40", "2/22050/40", "2/16000/40", "2/11025/40", "2/8000/40",
          "2/44100/48"},
         true},
        {"too high a bit rate is halved once",
         2,
         44100,
         480,
         [](auto&) { return false; },
         {"2/44100/480", "2/44100/240"},
         false},
        {"nothing to change", 1, 44100, 96, [](auto&) { return false; }, {"1/44100/96"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> tried;
        kyVorbisSetup chosen;
        const bool found = kyChooseVorbisSetup(
            c.channels, c.rate, c.kbps,
            [&](const kyVorbisSetup& s) {
                tried.push_back(text(s));
                return c.accepts(s);
            },
            chosen);
        EXPECT_EQ(found, c.found);
        EXPECT_EQ(tried, c.tried);
        if (found) {
            EXPECT_EQ(text(chosen), tried.back());
        }
    }
}

TEST(OggWriter, StreamsPassOgginfoAndDecodeCloseToTheSource) {
    if (!haveTool("ogginfo") || !haveTool("oggdec")) GTEST_SKIP() << "vorbis-tools is missing";
    ScratchDir dir;
    const uint32_t rate = 44100;
    const IntSignal signal = intSignal(rate * 3, 2, rate, 16);
    const std::string ogg = dir.path("music.ogg"), wav = dir.path("music.wav");
    WriteOptions o;
    o.withTags = true;
    ASSERT_EQ(writeSignal(ogg, kOgg, "160 kbit/s", signal, o), KY_OK);
    const std::string info = capture("ogginfo " + q(ogg));
    EXPECT_TRUE(run("ogginfo " + q(ogg))) << info;
    EXPECT_EQ(info.find("WARNING"), std::string::npos) << info;
    EXPECT_NE(info.find("Nominal bitrate: 160"), std::string::npos) << info;
    ASSERT_TRUE(run("oggdec -Q -o " + q(wav) + " " + q(ogg)));
    std::vector<int32_t> decoded;
    ASSERT_TRUE(wavInts(wav, 16, decoded));
    ASSERT_EQ(decoded.size(), signal.samples.size());
    std::vector<int16_t> ref(signal.samples.begin(), signal.samples.end());
    std::vector<int16_t> test(decoded.begin(), decoded.end());
    EXPECT_GT(snrDb(ref, test), 20.0);

    // Every comment of the table, as vorbiscomment lists them.
    const std::string comments = capture("vorbiscomment -l " + q(ogg));
    for (const char* line :
         {"TITLE=Caf\xC3\xA9 Nocturne", "VERSION=Live take", "ALBUM=Night Pieces", "TRACKNUMBER=7",
          "ARTIST=The Testers", "PERFORMER=Ann Example", "COPYRIGHT=2024 Velmora",
          "ORGANIZATION=Velmora Records", "DESCRIPTION=Ripped for the tests", "GENRE=Ambient",
          "DATE=2001", "CONTACT=https://example.org/", "ISRC=GBAYE0000001",
          "REPLAYGAIN_TRACK_PEAK=0.988831", "REPLAYGAIN_TRACK_GAIN=-6.50 dB",
          "REPLAYGAIN_ALBUM_GAIN=-5.25 dB"})
        EXPECT_NE(comments.find(line), std::string::npos) << line << "\n" << comments;

    // Our reader gives the same samples as oggdec, and the comments back.
    std::vector<std::vector<float>> planes;
    kyAudioFormat format;
    kyPropertyTable props, expected;
    ASSERT_EQ(readPlanes(ogg, planes, format, &props), KY_OK);
    EXPECT_EQ(format.lengthFrames, signal.frames());
    EXPECT_STREQ(props.getUtf8(KYPROP_DATA_FORMAT), "160 kbit/s");
    const std::vector<int16_t> ours = to16(planes);
    ASSERT_EQ(ours.size(), test.size());
    int worst = 0;
    for (size_t i = 0; i < ours.size(); ++i) worst = std::max(worst, std::abs(ours[i] - test[i]));
    EXPECT_LE(worst, 1);
    setTagProperties(expected);
    for (uint32_t slot = 3; slot < KY_SOURCE_PROPERTY_SLOTS; ++slot)
        if (expected.getUtf8(slot)) {
            EXPECT_STREQ(props.getUtf8(slot), expected.getUtf8(slot));
        }
}

TEST(OggWriter, SettlesOnWhatTheEncoderTakes) {
    if (!haveTool("ogginfo")) GTEST_SKIP() << "vorbis-tools is missing";
    ScratchDir dir;
    struct Case {
        const char* subformat;
        uint32_t rate;
        const char* channelsLine;
        const char* rateLine;
    } cases[] = {
        // 8 kbit/s is too little for two channels: the stream becomes mono (and slower).
        {"8 kbit/s", 44100, "Channels: 1", nullptr},
        // 96 kHz is more than the encoder's tables cover: resampled to 48 kHz.
        {"160 kbit/s", 96000, "Channels: 2", "Rate: 48000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.subformat);
        const std::string ogg = dir.path("s.ogg");
        ASSERT_EQ(writeSignal(ogg, kOgg, c.subformat, intSignal(c.rate, 2, c.rate, 16)), KY_OK);
        const std::string info = capture("ogginfo " + q(ogg));
        EXPECT_TRUE(run("ogginfo " + q(ogg))) << info;
        EXPECT_NE(info.find(c.channelsLine), std::string::npos) << info;
        if (c.rateLine) {
            EXPECT_NE(info.find(c.rateLine), std::string::npos) << info;
        }
        std::vector<std::vector<float>> planes;
        kyAudioFormat format;
        ASSERT_EQ(readPlanes(ogg, planes, format), KY_OK);
        // About a second of audio, whatever the rate became.
        EXPECT_NEAR(double(planes[0].size()) / format.sampleRate, 1.0, 0.01);
    }
}

TEST(OggReader, ReadsWhatOggencWroteAndSeeks) {
    if (!haveTool("oggenc") || !haveTool("oggdec")) GTEST_SKIP() << "vorbis-tools is missing";
    ScratchDir dir;
    const IntSignal signal = intSignal(88200, 2, 44100, 16);
    const std::string raw = dir.path("in.raw"), ogg = dir.path("in.ogg"), wav = dir.path("d.wav");
    ASSERT_TRUE(writeFile(raw, signal.bytes(2)));
    ASSERT_TRUE(run("oggenc -Q -r -R 44100 -C 2 -B 16 -q 5 -t Tool -a Someone -l Album -N 4 "
                    "-c COMMENT=fine -o " +
                    q(ogg) + " " + q(raw)));
    ASSERT_TRUE(run("oggdec -Q -o " + q(wav) + " " + q(ogg)));
    std::vector<int32_t> reference;
    ASSERT_TRUE(wavInts(wav, 16, reference));

    std::vector<std::vector<float>> planes;
    kyAudioFormat format;
    kyPropertyTable props;
    ASSERT_EQ(readPlanes(ogg, planes, format, &props), KY_OK);
    EXPECT_EQ(format.sampleRate, 44100u);
    EXPECT_EQ(format.lengthFrames, signal.frames());
    EXPECT_STREQ(props.getUtf8(KYPROP_TITLE), "Tool");
    EXPECT_STREQ(props.getUtf8(KYPROP_ARTIST), "Someone");
    EXPECT_STREQ(props.getUtf8(KYPROP_ALBUM), "Album");
    EXPECT_STREQ(props.getUtf8(KYPROP_TRACK_NUMBER), "4");
    EXPECT_STREQ(props.getUtf8(KYPROP_COMMENT), "fine");
    const std::vector<int16_t> all = to16(planes);
    ASSERT_EQ(all.size(), reference.size());
    for (size_t i = 0; i < all.size(); ++i) ASSERT_LE(std::abs(all[i] - reference[i]), 1) << i;

    for (uint32_t start : {1u, 1000u, 44100u, 88199u}) {
        SCOPED_TRACE(start);
        ASSERT_EQ(readPlanes(ogg, planes, format, nullptr, start), KY_OK);
        ASSERT_EQ(planes[0].size(), signal.frames() - start);
        const std::vector<int16_t> part = to16(planes);
        for (size_t i = 0; i < part.size(); ++i)
            ASSERT_LE(std::abs(part[i] - all[2 * start + i]), 1) << i;
    }
}

TEST(OggReader, VorbisInsideWavAndStreamsThatAreNotVorbis) {
    if (!haveTool("oggenc")) GTEST_SKIP() << "vorbis-tools is missing";
    ScratchDir dir;
    const IntSignal signal = intSignal(30000, 2, 44100, 16);
    const std::string raw = dir.path("in.raw"), ogg = dir.path("in.ogg");
    ASSERT_TRUE(writeFile(raw, signal.bytes(2)));
    ASSERT_TRUE(run("oggenc -Q -r -R 44100 -C 2 -B 16 -t Inside -o " + q(ogg) + " " + q(raw)));
    std::vector<std::vector<float>> fromOgg, fromWav;
    kyAudioFormat format;
    ASSERT_EQ(readPlanes(ogg, fromOgg, format), KY_OK);
    const std::vector<uint8_t> stream = readFile(ogg);

    for (uint16_t tag : {0x674F, 0x676F, 0x6751}) {
        SCOPED_TRACE(tag);
        WavFormat f;
        f.tag = tag;
        f.channels = 2;
        f.rate = 44100;
        f.bytesPerSecond = 16000;
        f.blockAlign = 1;
        f.bits = 16;
        const std::string path = dir.path("vorbis.wav");
        ASSERT_TRUE(writeFile(path, makeWav(f, stream)));
        kyPropertyTable props;
        ASSERT_EQ(readPlanes(path, fromWav, format, &props), KY_OK);
        EXPECT_STREQ(props.getUtf8(KYPROP_DATA_FORMAT), "Ogg");
        EXPECT_STREQ(props.getUtf8(KYPROP_TITLE), "Inside");
        EXPECT_TRUE(fromWav == fromOgg);

        // Headers kept elsewhere (raw packets in the data chunk): not decodable.
        ASSERT_TRUE(writeFile(path, makeWav(f, std::vector<uint8_t>(4000, 0x5A))));
        EXPECT_EQ(readPlanes(path, fromWav, format), KYERR_COMPRESSION);
    }

    // An Ogg stream of another codec, and Ogg pages cut short.
    if (haveTool("flac")) {
        const std::string oggFlac = dir.path("flac.oga");
        ASSERT_TRUE(run("flac -s --ogg --force-raw-format --endian=little --sign=signed "
                        "--channels=2 --bps=16 --sample-rate=44100 -o " +
                        q(oggFlac) + " " + q(raw)));
        kyReaderFilter* r = nullptr;
        EXPECT_EQ(
            kyFormatCatalog::Instance().OpenReader(r, oggFlac.c_str(), catalogIndex(kOgg, false)),
            KYERR_COMPRESSION);
    }
    const std::string cut = dir.path("cut.ogg");
    ASSERT_TRUE(writeFile(cut, std::vector<uint8_t>(stream.begin(), stream.begin() + 200)));
    EXPECT_TRUE(kyFailed(readPlanes(cut, fromWav, format)));
    const std::string shortened = dir.path("shortened.ogg");
    ASSERT_TRUE(writeFile(shortened,
                          std::vector<uint8_t>(stream.begin(), stream.end() - stream.size() / 3)));
    // A stream that stops early gives what it has, or says it is damaged; it never
    // makes up the rest.
    const int32_t err = readPlanes(shortened, fromWav, format);
    if (kySucceeded(err)) {
        EXPECT_LT(fromWav[0].size(), signal.frames());
    }
}
