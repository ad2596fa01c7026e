// AAC and MP3 in the three MPEG-4 entries (iTunes, MPEG-4, QuickTime): the sample tables
// count every packet, the edit list and iTunSMPB carry the encoder's delay, and ffprobe,
// mediainfo, ffmpeg, AtomicParsley and mutagen, and our own reader, all find the input's
// length, its sound and its tags.
#include "formats/codecs/aac_encoder.h"
#include "formats/codecs/mp3_encoder.h"
#include "formats/format_catalog.h"
#include "formats/writer_filter.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include "support/mp4_files.h"
#include "support/round_trip.h"
#include <cmath>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using kytest::be32;
using kytest::Mp4Box;

const std::string kTitle = "Ti\xC3\xADtulo \xE2\x98\x83 \xE6\x97\xA5\xE6\x9C\xAC";

kyError writeAac(const std::string& path, const char* format, const char* subformat,
                 std::vector<std::vector<float>> planes, uint32_t rate) {
    kyWriterFilter* w = nullptr;
    kyError err = kyFormatCatalog::Instance().CreateWriter(w, path.c_str(), subformat,
                                                           kytest::catalogIndex(format, true));
    if (kyFailed(err)) return err;
    auto* src = new kytest::MemorySource(std::move(planes), rate, 1000);
    kyPropertyTable& p = src->properties();
    p.setUtf8(KYPROP_TITLE, kTitle.c_str());
    p.setUtf8(KYPROP_ARTIST, "Some Artist");
    p.setUtf8(KYPROP_ALBUM, "An Album");
    p.setUtf8(KYPROP_YEAR, "1999");
    p.setUtf8(KYPROP_GENRE, "Jazz");
    p.setUtf8(KYPROP_TRACK_NUMBER, "3/12");
    p.setUtf8(KYPROP_ISRC, "USRC17607839");
    src->Connect(w);
    err = w->Run();
    w->DestroyChain();
    return err;
}

std::string probe(const std::string& path) {
    return kytest::capture("ffprobe -v error -select_streams a:0 -show_entries "
                           "stream=codec_name,profile,sample_rate,channels,duration -of "
                           "default=nw=1 " +
                           kytest::shellQuote(path));
}

double field(const std::string& text, const std::string& name) {
    const size_t at = text.find(name + "=");
    return at == std::string::npos ? -1 : std::atof(text.c_str() + at + name.size() + 1);
}

// ffmpeg's decode of a stereo file lines up with the input planes `in` (above 20 dB).
template <class Planes>
void expectFfmpegDecodeNear(const std::string& path, size_t samples, const Planes& in,
                            uint32_t frames) {
    if (!kytest::haveTool("ffmpeg")) return;
    std::vector<int16_t> ff;
    ASSERT_TRUE(kytest::ffmpegDecode(path, "", 2, ff));
    ASSERT_GE(ff.size(), samples);
    const auto theirs = kytest::toPlanes(ff, 2);
    for (uint32_t k = 0; k < 2; ++k) {
        std::vector<float> t = theirs[k];
        t.resize(frames);
        EXPECT_GT(kytest::snrDb(in[k], t), 20.0) << "channel " << k;
    }
}

} // namespace

TEST(MovAac, EveryEntryHoldsAacThatPlayersTrimToTheInput) {
    if (!kyAacEncoder::available()) GTEST_SKIP() << "FFmpeg's AAC encoder is not installed";
    const struct {
        const char* format;
        const char* extension;
        const char* profile;
        const char* brand;
        const char* entryPath; // where the sample entry's "esds" is
    } cases[] = {
        {"iTunes MPEG-4 audio format", "m4a", "LC", "M4A ", "mp4a/esds"},
        {"MPEG-4 base media file format", "mp4", "Main", "mp42", "mp4a/esds"},
        {"Apple QuickTime movie format", "mov", "LC", "qt  ", "mp4a/wave/esds"},
    };
    kytest::ScratchDir dir;
    const uint32_t frames = 44100 + 777, rate = 44100;
    const std::vector<int16_t> pcm = kytest::testSignal(frames, 2, rate);
    const auto in = kytest::toPlanes(pcm, 2);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const std::string path = dir.path(std::string("aac.") + c.extension);
        ASSERT_EQ(writeAac(path, c.format, "AAC ABR 128 kbit/s", in, rate), KY_OK);
        const std::vector<uint8_t> file = kytest::readFile(path);

        // The boxes: brand, every packet counted alike in "stts" and "stsz", the media
        // holding them all, the edit list starting after the encoder's delay.
        Mp4Box b;
        ASSERT_TRUE(kytest::mp4Find(file, "ftyp", b));
        EXPECT_EQ(std::string(file.begin() + b.payload(), file.begin() + b.payload() + 4), c.brand);
        const size_t fields = c.extension == std::string("mov") ? 44 : 28;
        const std::string stbl = "moov/trak/mdia/minf/stbl/";
        ASSERT_TRUE(kytest::mp4Find(file, stbl + "stsz", b));
        const uint32_t packets = be32(file, b.payload() + 8);
        EXPECT_EQ(be32(file, b.payload() + 4), 0u); // sizes vary
        EXPECT_GE(packets, (frames + 1024 + 1023) / 1024);
        ASSERT_TRUE(kytest::mp4Find(file, stbl + "stts", b));
        EXPECT_EQ(be32(file, b.payload() + 4), 1u);
        EXPECT_EQ(be32(file, b.payload() + 8), packets);
        EXPECT_EQ(be32(file, b.payload() + 12), 1024u);
        ASSERT_TRUE(kytest::mp4Find(file, "moov/trak/mdia/mdhd", b));
        EXPECT_EQ(be32(file, b.payload() + 12), rate);
        EXPECT_EQ(be32(file, b.payload() + 16), packets * 1024);
        ASSERT_TRUE(kytest::mp4Find(file, "moov/trak/edts/elst", b));
        EXPECT_EQ(be32(file, b.payload() + 4), 1u);
        EXPECT_EQ(be32(file, b.payload() + 8), std::lround(frames * 1000.0 / rate));
        EXPECT_EQ(be32(file, b.payload() + 12), 1024u); // FFmpeg's priming
        // "esds": each descriptor's length is what follows it within its parent.
        ASSERT_TRUE(kytest::mp4Find(file, stbl + "stsd/" + c.entryPath, b, fields));
        const size_t es = b.payload() + 4;
        ASSERT_EQ(file[es], 3);
        EXPECT_EQ(size_t(file[es + 1]) + 2, b.payloadSize() - 4);
        ASSERT_EQ(file[es + 5], 4);
        EXPECT_EQ(file[es + 7], 0x40);
        EXPECT_EQ(be32(file, es + 12), 128000u); // the largest and the average bit rate
        EXPECT_EQ(be32(file, es + 16), 128000u);
        ASSERT_EQ(file[es + 20], 5);
        EXPECT_EQ(size_t(file[es + 6]), 13u + 2 + file[es + 21]);

        // ffprobe and mediainfo: codec, profile, rate, channels, and the input's length to
        // within one AAC frame.
        if (kytest::haveTool("ffprobe")) {
            const std::string info = probe(path);
            EXPECT_NE(info.find("codec_name=aac"), std::string::npos) << info;
            EXPECT_NE(info.find(std::string("profile=") + c.profile), std::string::npos) << info;
            EXPECT_EQ(field(info, "sample_rate"), rate) << info;
            EXPECT_EQ(field(info, "channels"), 2) << info;
            EXPECT_NEAR(field(info, "duration"), double(frames) / rate, 1024.0 / rate) << info;
        }
        if (kytest::haveTool("mediainfo")) {
            const std::string info = kytest::capture(
                "mediainfo --Inform='Audio;%Format%|%Channels%|%SamplingRate%|%Duration%' " +
                kytest::shellQuote(path));
            EXPECT_EQ(info.rfind("AAC|2|44100|", 0), 0u) << info;
            const double ms = std::atof(info.c_str() + info.rfind('|') + 1);
            EXPECT_NEAR(ms, frames * 1000.0 / rate, 1024 * 1000.0 / rate) << info;
        }

        // ffmpeg applies the edit list: its decoding lines up with the input.
        expectFfmpegDecodeNear(path, pcm.size(), in, frames);

        // Our reader: exactly the input's frames, lined up, and the tags.
        const kytest::PlanesBack r = kytest::readPlanes(path);
        ASSERT_EQ(r.open, KY_OK);
        ASSERT_EQ(r.run, KY_OK);
        EXPECT_EQ(r.subformat, "MPEG AAC");
        EXPECT_EQ(r.fmt.sampleRate, rate);
        ASSERT_EQ(r.planes.size(), 2u);
        for (uint32_t k = 0; k < 2; ++k) {
            ASSERT_EQ(r.planes[k].size(), r.fmt.lengthFrames);
            std::vector<float> ours = r.planes[k];
            ours.resize(frames);
            EXPECT_GT(kytest::snrDb(in[k], ours), 20.0) << "channel " << k;
        }
        kyPropertyTable props = r.props;
        // Only the iTunes list holds the gapless information; elsewhere the edit list in
        // milliseconds gives the length to within one.
        if (c.extension == std::string("m4a"))
            EXPECT_EQ(r.fmt.lengthFrames, frames);
        else
            EXPECT_NEAR(double(r.fmt.lengthFrames), frames, rate / 1000.0);
        if (c.extension != std::string("mp4")) { // the plain MPEG-4 entry writes no tags
            EXPECT_STREQ(props.getUtf8(KYPROP_TITLE), kTitle.c_str());
            EXPECT_STREQ(props.getUtf8(KYPROP_ARTIST), "Some Artist");
        }
    }

    // The iTunes file's list as AtomicParsley and mutagen see it, gapless information too.
    const std::string m4a = dir.path("aac.m4a");
    if (kytest::haveTool("AtomicParsley")) {
        const std::string out = kytest::capture("AtomicParsley " + kytest::shellQuote(m4a) + " -t");
        for (const std::string& line :
             {"Atom \"\xC2\xA9nam\" contains: " + kTitle,
              std::string("Atom \"\xC2\xA9"
                          "ART\" contains: Some Artist"),
              std::string("Atom \"trkn\" contains: 3 of 12"),
              std::string("[com.apple.iTunes;ISRC] contains: USRC17607839"),
              std::string("[com.apple.iTunes;iTunSMPB] contains:  00000000 00000400")})
            EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    }
    const char* python = "/usr/bin/python3";
    if (access(python, X_OK) == 0 &&
        kytest::run(std::string(python) + " -c 'import mutagen' 2>/dev/null")) {
        const std::string script =
            "import sys\nfrom mutagen.mp4 import MP4\nf = MP4(sys.argv[1])\nt = f.tags\n"
            "smpb = t['----:com.apple.iTunes:iTunSMPB'][0].decode().split()\n"
            "sys.stdout.buffer.write(('%s|%s|%d/%d|%d|%d|%d\\n' % (t['\\xa9nam'][0], "
            "t['\\xa9alb'][0], t['trkn'][0][0], t['trkn'][0][1], int(smpb[1], 16), "
            "int(smpb[2], 16), int(smpb[3], 16))).encode('utf-8'))\n";
        const std::string scriptPath = dir.path("read.py");
        kytest::writeFile(scriptPath, std::vector<uint8_t>(script.begin(), script.end()));
        const std::string out =
            kytest::capture(std::string(python) + " " + kytest::shellQuote(scriptPath) + " " +
                            kytest::shellQuote(m4a));
        // Priming, padding and length add up to the packets' frames.
        const uint32_t packets = (frames + 1024 + 1023) / 1024;
        const std::string expect = kTitle + "|An Album|3/12|1024|" +
                                   std::to_string(packets * 1024 - 1024 - frames) + "|" +
                                   std::to_string(frames);
        EXPECT_EQ(out.substr(0, out.find('\n')), expect) << out;
    }
}

TEST(MovAac, ChannelCountsAndRatesTheEncoderTakes) {
    if (!kyAacEncoder::available()) GTEST_SKIP() << "FFmpeg's AAC encoder is not installed";
    kytest::ScratchDir dir;
    // Mono at 22050 Hz with VBR quality, 5.1 at 48000 Hz; a rate AAC lacks is resampled to
    // the next lower one.
    const struct {
        uint32_t channels, rate, fileRate;
        const char* subformat;
    } cases[] = {
        {1, 22050, 22050, "AAC VBR Quality 100"},
        {6, 48000, 48000, "AAC ABR 384 kbit/s"},
        {2, 50000, 48000, "AAC ABR 128 kbit/s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.subformat);
        const std::string path = dir.path("ch.m4a");
        const uint32_t frames = c.rate / 2;
        ASSERT_EQ(writeAac(path, "iTunes MPEG-4 audio format", c.subformat,
                           kytest::sinePlanes(c.channels, frames, c.rate), c.rate),
                  KY_OK);
        const kytest::PlanesBack r = kytest::readPlanes(path);
        ASSERT_EQ(r.open, KY_OK);
        ASSERT_EQ(r.run, KY_OK);
        EXPECT_EQ(r.fmt.channels, c.channels);
        EXPECT_EQ(r.fmt.sampleRate, c.fileRate);
        const uint64_t expected = uint64_t(frames) * c.fileRate / c.rate;
        EXPECT_NEAR(double(r.fmt.lengthFrames), double(expected), 2.0);
        if (kytest::haveTool("ffprobe")) {
            const std::string info = probe(path);
            EXPECT_EQ(field(info, "channels"), c.channels) << info;
            EXPECT_EQ(field(info, "sample_rate"), c.fileRate) << info;
        }
    }
}

TEST(MovMp3, EveryEntryHoldsMp3FramesThatPlayersTrimToTheInput) {
    if (!kyMp3Encoder::available()) GTEST_SKIP() << "libmp3lame is not installed";
    const struct {
        const char* format;
        const char* extension;
        const char* tag; // the sample entry type
        uint32_t objectType;
    } cases[] = {
        {"iTunes MPEG-4 audio format", "m4a", "mp4a", 0x6B},
        {"MPEG-4 base media file format", "mp4", "mp4a", 0x6B},
        {"Apple QuickTime movie format", "mov", ".mp3", 0},
    };
    kytest::ScratchDir dir;
    const uint32_t frames = 44100 + 777, rate = 44100;
    const std::vector<int16_t> pcm = kytest::testSignal(frames, 2, rate);
    const auto in = kytest::toPlanes(pcm, 2);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const std::string path = dir.path(std::string("mp3.") + c.extension);
        ASSERT_EQ(writeAac(path, c.format, "MP3 CBR 192 kbit/s", in, rate), KY_OK);
        const std::vector<uint8_t> file = kytest::readFile(path);

        // One MPEG frame per packet, all counted; the edit list skips LAME's delay and the
        // decoder's.
        const std::string stbl = "moov/trak/mdia/minf/stbl/";
        Mp4Box b;
        ASSERT_TRUE(kytest::mp4Find(file, stbl + "stsz", b));
        const uint32_t packets = be32(file, b.payload() + 8);
        EXPECT_EQ(be32(file, b.payload() + 4), 0u);
        ASSERT_GT(packets, 0u);
        EXPECT_EQ(be32(file, b.payload() + 12), 626u); // 192 kbit/s at 44100 Hz, unpadded
        ASSERT_TRUE(kytest::mp4Find(file, stbl + "stts", b));
        EXPECT_EQ(be32(file, b.payload() + 8), packets);
        EXPECT_EQ(be32(file, b.payload() + 12), 1152u);
        ASSERT_TRUE(kytest::mp4Find(file, "moov/trak/edts/elst", b));
        const uint32_t priming = be32(file, b.payload() + 12);
        EXPECT_GE(priming, 529u + 576u);
        EXPECT_LE(priming + frames, packets * 1152);
        ASSERT_TRUE(kytest::mp4Find(file, stbl + "stsd", b));
        EXPECT_EQ(std::string(file.begin() + b.payload() + 12, file.begin() + b.payload() + 16),
                  c.tag);
        if (c.objectType) {
            ASSERT_TRUE(kytest::mp4Find(file, stbl + "stsd/mp4a/esds", b));
            EXPECT_EQ(file[b.payload() + 4 + 7], c.objectType);
        }

        if (kytest::haveTool("ffprobe")) {
            const std::string info = probe(path);
            EXPECT_NE(info.find("codec_name=mp3"), std::string::npos) << info;
            EXPECT_EQ(field(info, "sample_rate"), rate) << info;
            EXPECT_EQ(field(info, "channels"), 2) << info;
            EXPECT_NEAR(field(info, "duration"), double(frames) / rate, 1152.0 / rate) << info;
        }
        if (kytest::haveTool("mediainfo")) {
            const std::string info = kytest::capture(
                "mediainfo --Inform='Audio;%Format%|%Channels%|%SamplingRate%|%Duration%' " +
                kytest::shellQuote(path));
            EXPECT_EQ(info.rfind("MPEG Audio|2|44100|", 0), 0u) << info;
        }
        expectFfmpegDecodeNear(path, pcm.size(), in, frames);

        const kytest::PlanesBack r = kytest::readPlanes(path);
        ASSERT_EQ(r.open, KY_OK);
        ASSERT_EQ(r.run, KY_OK);
        EXPECT_EQ(r.subformat, "MPEG audio layer III");
        if (c.extension == std::string("m4a"))
            EXPECT_EQ(r.fmt.lengthFrames, frames);
        else
            EXPECT_NEAR(double(r.fmt.lengthFrames), frames, rate / 1000.0);
        for (uint32_t k = 0; k < 2; ++k) {
            std::vector<float> ours = r.planes[k];
            ours.resize(frames);
            EXPECT_GT(kytest::snrDb(in[k], ours), 20.0) << "channel " << k;
        }
    }
}
