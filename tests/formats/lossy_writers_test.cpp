// The MP3, MP2 and AAC writers, checked by independent decoders and tools from Debian:
// ffmpeg, mpg123, faad, mp3val, ffprobe and mediainfo.
#include "formats/format_catalog.h"
#include "formats/mpeg_audio_common.h"
#include "formats/reader_filter.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include "support/encoded_streams.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

constexpr uint32_t kRate = 44100;

const std::vector<int16_t>& music(uint32_t channels = 2, uint32_t rate = kRate) {
    static std::map<std::pair<uint32_t, uint32_t>, std::vector<int16_t>> signals;
    auto& s = signals[{channels, rate}];
    if (s.empty()) s = kytest::testSignal(rate * 3, channels, rate);
    return s;
}

// What mp3val finds wrong with a file, but for the lack of tags.
std::string mp3valProblems(const std::string& path) {
    std::string problems, line;
    const std::string report = kytest::capture("mp3val " + kytest::shellQuote(path));
    for (char c : report + "\n") {
        if (c != '\n') {
            line += c;
            continue;
        }
        if ((line.find("WARNING") != std::string::npos ||
             line.find("PROBLEM") != std::string::npos) &&
            line.find("No supported tags") == std::string::npos)
            problems += line + "\n";
        line.clear();
    }
    return problems;
}

bool haveTools(std::initializer_list<const char*> tools, std::string& missing) {
    for (const char* t : tools)
        if (!kytest::haveTool(t)) {
            missing = t;
            return false;
        }
    return true;
}

} // namespace

// Every subformat family, decoded by ffmpeg and by the format's own reference decoder
// (mpg123, faad), to within what the codec and its bit rate allow.
TEST(LossyWriters, IndependentDecodersTakeTheStreams) {
    std::string missing;
    if (!haveTools({"ffmpeg", "mpg123", "faad", "mp3val"}, missing))
        GTEST_SKIP() << missing << " is not installed";
    kytest::ScratchDir dir;
    const struct {
        const char* entry;
        const char* subformat;
        const char* file;
        double minSnr;
    } cases[] = {
        {"MPEG audio layer III", "CBR 128 kbit/s", "cbr128.mp3", 20},
        {"MPEG audio layer III", "CBR 320 kbit/s", "cbr320.mp3", 35},
        {"MPEG audio layer III", "ABR 224 kbit/s", "abr224.mp3", 32},
        {"MPEG audio layer III", "VBR Quality 2", "vbr2.mp3", 28},
        {"MPEG audio layer III", "VBR Quality 9 (lowest)", "vbr9.mp3", 22},
        {"MPEG audio layer II", "CBR 256 kbit/s", "cbr256.mp2", 33},
        {"MPEG audio layer II", "CBR 128 kbit/s", "cbr128.mp2", 18},
        {"MPEG-4 AAC - Low Complexity", "VBR Quality 90", "vbr90.aac", 27},
        {"MPEG-4 AAC - Low Complexity", "ABR 192 kbit/s", "abr192.aac", 27},
        {"MPEG-4 AAC - Main Profile", "ABR 128 kbit/s", "main.aac", 25},
        {"MPEG-2 AAC - Low Complexity", "ABR 128 kbit/s", "mpeg2lc.aac", 21},
        {"MPEG-2 AAC - Main Profile", "VBR Quality 100", "mpeg2main.aac", 27},
    };
    const auto& in = music();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.entry) + ", " + c.subformat);
        const std::string path = dir.path(c.file);
        ASSERT_EQ(kytest::encodeFile(c.entry, c.subformat, in, 2, kRate, path), KY_OK);
        const bool aac = std::strstr(c.file, ".aac") != nullptr;
        std::vector<int16_t> byFfmpeg, byReference;
        ASSERT_TRUE(kytest::ffmpegDecode(path, "", 2, byFfmpeg));
        const std::string raw = path + ".raw";
        if (aac) {
            ASSERT_TRUE(kytest::decodeRaw("faad -q -f 2 -b 1 -o " + kytest::shellQuote(raw) + " " +
                                              kytest::shellQuote(path),
                                          raw, byReference));
        } else {
            EXPECT_TRUE(kytest::run("mpg123 -q -t " + kytest::shellQuote(path)));
            // mp3val knows layer III only.
            if (std::strstr(c.file, ".mp3")) {
                EXPECT_EQ(mp3valProblems(path), "");
            }
            ASSERT_TRUE(kytest::decodeRaw("mpg123 -q -O " + kytest::shellQuote(raw) + " " +
                                              kytest::shellQuote(path),
                                          raw, byReference));
        }
        uint32_t lagF = 0, lagR = 0;
        const double snrF = kytest::alignedSnrDb(in, byFfmpeg, 2, 3000, &lagF);
        const double snrR = kytest::alignedSnrDb(in, byReference, 2, 3000, &lagR);
        std::printf("%-28s %-24s SNR %5.1f dB (ffmpeg, lag %u), %5.1f dB (%s, lag %u)\n", c.entry,
                    c.subformat, snrF, lagF, snrR, aac ? "faad" : "mpg123", lagR);
        EXPECT_GE(snrF, c.minSnr);
        EXPECT_GE(snrR, c.minSnr);
        // Nothing missing at the end either.
        EXPECT_GE(byReference.size() + 2 * 1152 * 2, in.size());
    }
}

// The bit rates ffprobe finds are the ones asked for, after the rules of the layer.
TEST(LossyWriters, BitRatesAndRatesAsConfigured) {
    std::string missing;
    if (!haveTools({"ffprobe"}, missing)) GTEST_SKIP() << missing << " is not installed";
    kytest::ScratchDir dir;
    const struct {
        const char* entry;
        const char* subformat;
        uint32_t inputRate, channels;
        const char* bitRate;
        const char* rate;
    } cases[] = {
        {"MPEG audio layer III", "CBR 320 kbit/s", 22050, 2, "160000", "22050"},
        {"MPEG audio layer III", "ABR 224 kbit/s", kRate, 2, "256000", "44100"},
        {"MPEG audio layer III", "CBR 8 kbit/s", kRate, 2, "8000", "24000"},
        {"MPEG audio layer III", "CBR 24 kbit/s", 48000, 1, "24000", "24000"},
        {"MPEG audio layer III", "CBR 64 kbit/s", 30000, 1, "64000", "32000"},
        {"MPEG audio layer II", "CBR 384 kbit/s", kRate, 1, "192000", "44100"},
        {"MPEG audio layer II", "CBR 224 kbit/s", kRate, 1, "192000", "44100"},
        {"MPEG audio layer II", "CBR 32 kbit/s", kRate, 2, "64000", "44100"},
        {"MPEG audio layer II", "CBR 80 kbit/s", 48000, 2, "96000", "48000"},
        {"MPEG audio layer II", "CBR 56 kbit/s", kRate, 1, "56000", "44100"},
        {"MPEG audio layer II", "CBR 256 kbit/s", 22050, 2, "160000", "22050"},
        {"MPEG audio layer II", "CBR 16 kbit/s", kRate, 1, "16000", "16000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.entry) + ", " + c.subformat + " at " +
                     std::to_string(c.inputRate));
        const std::string path = dir.path("x.mpeg");
        const auto in = kytest::testSignal(c.inputRate, c.channels, c.inputRate);
        ASSERT_EQ(kytest::encodeFile(c.entry, c.subformat, in, c.channels, c.inputRate, path),
                  KY_OK);
        // An average over a short file: within 1.5 % of the rate asked for.
        const double bitRate = std::atof(kytest::probeStream(path, "bit_rate").c_str());
        EXPECT_NEAR(bitRate, std::atof(c.bitRate), std::atof(c.bitRate) * 0.015);
        EXPECT_EQ(kytest::probeStream(path, "sample_rate"), c.rate);
        EXPECT_EQ(kytest::probeStream(path, "channels"), std::to_string(c.channels));
    }
}

// Each VBR quality makes a file of another size than its neighbours, smaller as the
// number grows.
TEST(LossyWriters, EachVbrQualityEncodesDifferently) {
    kytest::ScratchDir dir;
    const auto in = kytest::testSignal(kRate * 2, 2, kRate);
    std::vector<size_t> sizes;
    const char* names[] = {"VBR Quality 0 (highest)", "VBR Quality 1", "VBR Quality 2",
                           "VBR Quality 3",           "VBR Quality 4", "VBR Quality 5",
                           "VBR Quality 6",           "VBR Quality 7", "VBR Quality 8",
                           "VBR Quality 9 (lowest)"};
    for (const char* n : names) {
        const std::string path = dir.path("q.mp3");
        ASSERT_EQ(kytest::encodeFile("MPEG audio layer III", n, in, 2, kRate, path), KY_OK) << n;
        sizes.push_back(kytest::readFile(path).size());
    }
    for (size_t q = 1; q < sizes.size(); ++q)
        EXPECT_LT(sizes[q], sizes[q - 1]) << names[q] << " against " << names[q - 1];
}

// The first frame of an MP3 file is its VBR header, filled in once the stream was
// complete: its frame count is the stream's, and the LAME extension's checksum holds.
TEST(LossyWriters, Mp3VbrHeaderDescribesTheStream) {
    std::string missing;
    if (!haveTools({"ffprobe", "mp3val"}, missing)) GTEST_SKIP() << missing << " is not installed";
    kytest::ScratchDir dir;
    for (const char* subformat : {"VBR Quality 2", "CBR 192 kbit/s", "ABR 128 kbit/s"}) {
        SCOPED_TRACE(subformat);
        const std::string path = dir.path("v.mp3");
        ASSERT_EQ(kytest::encodeFile("MPEG audio layer III", subformat, music(), 2, kRate, path),
                  KY_OK);
        const auto file = kytest::readFile(path);
        mpeg::FrameHeader h;
        mpeg::VbrHeader v;
        ASSERT_TRUE(mpeg::ParseFrameHeader(file.data(), file.size(), h));
        ASSERT_TRUE(mpeg::ParseVbrHeader(file.data(), file.size(), h, v));
        EXPECT_EQ(v.info, subformat[0] == 'C');
        ASSERT_TRUE(v.lame);
        EXPECT_EQ(v.bytes, file.size());
        const std::string packets =
            kytest::capture("ffprobe -v error -count_packets -show_entries stream=nb_read_packets "
                            "-of default=nw=1:nk=1 " +
                            kytest::shellQuote(path));
        EXPECT_EQ(std::to_string(v.frames) + "\n", packets);
        const uint16_t crc = uint16_t(file[v.lameOffset + 34] << 8 | file[v.lameOffset + 35]);
        EXPECT_EQ(mpeg::LameTagCrc(file.data(), 190), crc);
        // The encoder's delay and padding make up the rest of the frames exactly.
        EXPECT_EQ(uint64_t(v.frames) * 1152, music().size() / 2 + v.delay + v.padding);
        // ABR at its fixed rate has frames of one size, which mp3val calls CBR.
        EXPECT_NE(kytest::capture("mp3val " + kytest::shellQuote(path))
                      .find(subformat[0] == 'V' ? "Xing header" : "CBR"),
                  std::string::npos);
    }
}

// mediainfo, which parses the headers itself, finds the version, layer or profile, the bit
// rate mode and rate the configuration chose, and the frame count the VBR header gives.
TEST(LossyWriters, MediainfoFindsWhatWasAskedFor) {
    if (!kytest::haveTool("mediainfo")) GTEST_SKIP() << "mediainfo is not installed";
    kytest::ScratchDir dir;
    const struct {
        const char* entry;
        const char* subformat;
        uint32_t channels, rate;
        const char* file;
        const char* audio; // Format|Version|Profile|Features|BitRate_Mode|BitRate|Rate|Channels
    } cases[] = {
        {"MPEG audio layer III", "CBR 192 kbit/s", 2, kRate, "a.mp3",
         "MPEG Audio|Version 1|Layer 3||CBR|192000|44100|2"},
        // The lower rates stop at 160 kbit/s; below 32 kbit/s the rate drops to MPEG-2's.
        {"MPEG audio layer III", "CBR 320 kbit/s", 2, 22050, "b.mp3",
         "MPEG Audio|Version 2|Layer 3||CBR|160000|22050|2"},
        {"MPEG audio layer III", "CBR 16 kbit/s", 1, kRate, "c.mp3",
         "MPEG Audio|Version 2|Layer 3||CBR|16000|24000|1"},
        // Layer II: mono stops at 192, stereo has no 80.
        {"MPEG audio layer II", "CBR 224 kbit/s", 1, kRate, "d.mp2",
         "MPEG Audio|Version 1|Layer 2||CBR|192000|44100|1"},
        {"MPEG audio layer II", "CBR 80 kbit/s", 2, kRate, "e.mp2",
         "MPEG Audio|Version 1|Layer 2||CBR|96000|44100|2"},
        {"MPEG-2 AAC - Low Complexity", "ABR 128 kbit/s", 2, kRate, "f.aac",
         "AAC|Version 2||LC|VBR||44100|2"},
        {"MPEG-4 AAC - Main Profile", "VBR Quality 100", 1, 32000, "g.aac",
         "AAC|Version 4||Main|VBR||32000|1"},
    };
    const std::string inform = "--Inform='Audio;%Format%|%Format_Version%|%Format_Profile%|"
                               "%Format_AdditionalFeatures%|%BitRate_Mode%|%BitRate%|"
                               "%SamplingRate%|%Channel(s)%' ";
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.entry) + ", " + c.subformat);
        const std::string path = dir.path(c.file);
        ASSERT_EQ(kytest::encodeFile(c.entry, c.subformat, music(c.channels, c.rate), c.channels,
                                     c.rate, path),
                  KY_OK);
        EXPECT_EQ(kytest::capture("mediainfo " + inform + kytest::shellQuote(path)),
                  std::string(c.audio) + "\n");
    }
    // A VBR MP3: the frame count of its header, LAME's name.
    const std::string path = dir.path("v.mp3");
    ASSERT_EQ(kytest::encodeFile("MPEG audio layer III", "VBR Quality 4", music(), 2, kRate, path),
              KY_OK);
    const auto file = kytest::readFile(path);
    mpeg::FrameHeader h;
    mpeg::VbrHeader v;
    ASSERT_TRUE(mpeg::ParseFrameHeader(file.data(), file.size(), h));
    ASSERT_TRUE(mpeg::ParseVbrHeader(file.data(), file.size(), h, v));
    const std::string found = kytest::capture(
        "mediainfo --Inform='Audio;%BitRate_Mode%|%FrameCount%|%Encoded_Library%' " +
        kytest::shellQuote(path));
    EXPECT_EQ(found.rfind("VBR|" + std::to_string(v.frames) + "|LAME", 0), 0u) << found;
}

// Each AAC entry writes ADTS headers of its MPEG version and object type, and a profile
// ffprobe names; 7.1 works, channel counts ADTS cannot describe are refused up front.
TEST(LossyWriters, AacEntriesAndChannels) {
    std::string missing;
    if (!haveTools({"ffprobe", "faad"}, missing)) GTEST_SKIP() << missing << " is not installed";
    kytest::ScratchDir dir;
    const struct {
        const char* entry;
        bool mpeg2;
        uint32_t objectType;
        const char* profile;
    } entries[] = {
        {"MPEG-2 AAC - Low Complexity", true, 2, "LC"},
        {"MPEG-2 AAC - Main Profile", true, 1, "Main"},
        {"MPEG-4 AAC - Low Complexity", false, 2, "LC"},
        {"MPEG-4 AAC - Main Profile", false, 1, "Main"},
    };
    for (const auto& e : entries) {
        SCOPED_TRACE(e.entry);
        const std::string path = dir.path("p.aac");
        ASSERT_EQ(kytest::encodeFile(e.entry, "ABR 96 kbit/s", music(), 2, kRate, path), KY_OK);
        const auto file = kytest::readFile(path);
        // Every frame: sync, the entry's ID bit and object type, one raw block, a length
        // that leads to the next frame.
        size_t pos = 0, frames = 0;
        while (pos + 7 <= file.size()) {
            const uint8_t* b = &file[pos];
            ASSERT_EQ(b[0], 0xFF) << "frame " << frames;
            ASSERT_EQ(b[1] & 0xF6, 0xF0);
            EXPECT_EQ((b[1] & 0x08) != 0, e.mpeg2);
            EXPECT_EQ(uint32_t(b[2] >> 6) + 1, e.objectType);
            EXPECT_EQ(b[6] & 3, 0);
            const size_t length = size_t(b[3] & 3) << 11 | size_t(b[4]) << 3 | b[5] >> 5;
            ASSERT_GT(length, 7u);
            pos += length;
            ++frames;
        }
        EXPECT_EQ(pos, file.size());
        EXPECT_GT(frames, 3u * kRate / 1024);
        EXPECT_EQ(kytest::probeStream(path, "profile"), e.profile);
        EXPECT_TRUE(kytest::run("faad -q -w " + kytest::shellQuote(path) + " > /dev/null"));
    }
    for (uint32_t channels : {1u, 6u, 8u}) {
        SCOPED_TRACE(std::to_string(channels) + " channels");
        const std::string path = dir.path("c.aac");
        // ABR: faad refuses the 7.1 frames FFmpeg's encoder makes at a fixed quality, also
        // through ffmpeg's own command line.
        ASSERT_EQ(kytest::encodeFile("MPEG-4 AAC - Low Complexity", "ABR 512 kbit/s",
                                     music(channels), channels, kRate, path),
                  KY_OK);
        EXPECT_EQ(kytest::probeStream(path, "channels"), std::to_string(channels));
        std::vector<int16_t> out;
        const std::string raw = path + ".raw";
        ASSERT_TRUE(kytest::decodeRaw("faad -q -f 2 -b 1 -o " + kytest::shellQuote(raw) + " " +
                                          kytest::shellQuote(path),
                                      raw, out));
        EXPECT_GE(out.size() + 2048 * channels, music(channels).size());
    }
    for (uint32_t channels : {7u, 9u, 64u}) {
        SCOPED_TRACE(std::to_string(channels) + " channels");
        const std::string path = dir.path("bad.aac");
        EXPECT_EQ(kytest::encodeFile("MPEG-4 AAC - Low Complexity", "VBR Quality 90",
                                     kytest::testSignal(4096, channels, kRate), channels, kRate,
                                     path),
                  KYERR_CHANNEL_FORMAT);
        EXPECT_TRUE(kytest::readFile(path).empty());
    }
    // Rates the ADTS table lacks become the next one below; low rates hold the bit rate
    // per channel down.
    const std::string path = dir.path("r.aac");
    ASSERT_EQ(kytest::encodeFile("MPEG-4 AAC - Low Complexity", "ABR 256 kbit/s",
                                 kytest::testSignal(8000 * 2, 2, 8000), 2, 8000, path),
              KY_OK);
    EXPECT_EQ(kytest::probeStream(path, "sample_rate"), "8000");
    ASSERT_EQ(kytest::encodeFile("MPEG-4 AAC - Low Complexity", "ABR 128 kbit/s",
                                 kytest::testSignal(50000, 1, 50000), 1, 50000, path),
              KY_OK);
    EXPECT_EQ(kytest::probeStream(path, "sample_rate"), "48000");
}

// A stream the source delivers in the writer's own format is copied, not re-encoded.
TEST(LossyWriters, StreamsFromTheSourceAreCopied) {
    std::string missing;
    if (!haveTools({"ffmpeg", "lame", "twolame"}, missing))
        GTEST_SKIP() << missing << " is not installed";
    kytest::ScratchDir dir;
    ASSERT_TRUE(kytest::writeFile(dir.path("in.wav"), kytest::makePcm16Wav(music(), 2, kRate)));
    const std::string in = kytest::shellQuote(dir.path("in.wav"));
    const struct {
        const char* command;
        const char* file;
        const char* entry;
    } cases[] = {
        {"lame --quiet -V 4 ", "lame.mp3", "MPEG audio layer III"},
        {"twolame --quiet -b 192 ", "twolame.mp2", "MPEG audio layer II"},
        {"ffmpeg -v error -i ", "ffmpeg.aac", "MPEG-2 AAC - Main Profile"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string src = dir.path(c.file);
        ASSERT_TRUE(kytest::run(std::string(c.command) + in + " " + kytest::shellQuote(src)));
        kyReaderFilter* reader = nullptr;
        ASSERT_EQ(kyFormatCatalog::Instance().OpenReader(reader, src.c_str(), -2), KY_OK);
        kyWriterFilter* writer = nullptr;
        const std::string out = dir.path("copy");
        ASSERT_EQ(kyFormatCatalog::Instance().CreateWriter(writer, out.c_str(), "<Auto select>",
                                                           kytest::catalogIndex(c.entry, true)),
                  KY_OK);
        kyTagOptions none;
        none.mp3 = none.mp2 = none.aac = {};
        writer->SetTagOptions(none);
        reader->Connect(writer);
        ASSERT_EQ(writer->Run(), KY_OK);
        EXPECT_TRUE(writer->passthrough());
        writer->DestroyChain();
        EXPECT_EQ(kytest::readFile(out), kytest::readFile(src));
    }
}

// Tags by each format's options: ID3v2 before the first frame (the VBR header then follows
// it), an APE tag after the stream, the ID3v1 tag last; mutagen and eyeD3 read them, the
// ReplayGain values included.
TEST(LossyWriters, TagsByTheirOptions) {
    kytest::ScratchDir dir;
    const kytest::Properties props = {
        {KYPROP_TITLE, "Harbour Lights"}, {KYPROP_ARTIST, "The Velmora Ensemble"},
        {KYPROP_ALBUM, "Signals"},        {KYPROP_YEAR, "2024"},
        {KYPROP_TRACK_NUMBER, "3"},       {KYPROP_GENRE, "Jazz"},
        {KYPROP_TRACK_GAIN, "-6.25 dB"},  {KYPROP_ALBUM_GAIN, "-5.50 dB"},
        {KYPROP_PEAK, "0.912345"},
    };
    const auto in = kytest::testSignal(kRate, 2, kRate);
    kyTagOptions all;
    all.mp3 = all.mp2 = all.aac = {true, true, true};
    const struct {
        const char* entry;
        const char* subformat;
        const char* file;
        const kyTagOptions* options; // null: the defaults
        bool id3v2, ape, id3v1;
    } cases[] = {
        {"MPEG audio layer III", "VBR Quality 4", "default.mp3", nullptr, true, false, true},
        {"MPEG audio layer III", "CBR 128 kbit/s", "all.mp3", &all, true, true, true},
        {"MPEG audio layer II", "CBR 192 kbit/s", "default.mp2", nullptr, false, false, true},
        {"MPEG audio layer II", "CBR 192 kbit/s", "all.mp2", &all, true, false, true},
        {"MPEG-4 AAC - Low Complexity", "VBR Quality 80", "default.aac", nullptr, false, false,
         false},
        {"MPEG-4 AAC - Low Complexity", "VBR Quality 80", "all.aac", &all, true, true, true},
    };
    const std::string python = kytest::mutagenPython();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string path = dir.path(c.file);
        ASSERT_EQ(kytest::encodeFile(c.entry, c.subformat, in, 2, kRate, path, props, c.options),
                  KY_OK);
        const auto file = kytest::readFile(path);
        ASSERT_GT(file.size(), 1000u);
        size_t start = 0;
        EXPECT_EQ(std::memcmp(file.data(), "ID3", 3) == 0, c.id3v2);
        if (c.id3v2)
            start = 10 + (size_t(file[6]) << 21 | size_t(file[7]) << 14 | size_t(file[8]) << 7 |
                          file[9]);
        ASSERT_LT(start + 4, file.size());
        EXPECT_EQ(file[start], 0xFF); // the first frame right after the tag
        const size_t end = file.size() - (c.id3v1 ? 128 : 0);
        EXPECT_EQ(std::memcmp(&file[file.size() - 128], "TAG", 3) == 0, c.id3v1);
        EXPECT_EQ(end >= 32 && std::memcmp(&file[end - 32], "APETAGEX", 8) == 0, c.ape);
        if (std::strstr(c.file, ".mp3")) {
            mpeg::FrameHeader h;
            mpeg::VbrHeader v;
            ASSERT_TRUE(mpeg::ParseFrameHeader(&file[start], file.size() - start, h));
            ASSERT_TRUE(mpeg::ParseVbrHeader(&file[start], file.size() - start, h, v));
            EXPECT_GT(v.frames, 30u);
            EXPECT_EQ(
                mpeg::LameTagCrc(&file[start], 190),
                uint16_t(file[start + v.lameOffset + 34] << 8 | file[start + v.lameOffset + 35]));
        }
        // Our own reader finds the same tags and the same audio between them.
        const kytest::ReadBack r = kytest::readBack(path);
        ASSERT_EQ(r.result, KY_OK);
        kyPropertyTable got = r.properties;
        if (c.id3v2 || c.ape || c.id3v1) {
            EXPECT_STREQ(got.getUtf8(KYPROP_TITLE), "Harbour Lights");
            EXPECT_STREQ(got.getUtf8(KYPROP_ARTIST), "The Velmora Ensemble");
        }
        if (c.id3v2 || c.ape) {
            ASSERT_NE(got.getUtf8(KYPROP_TRACK_GAIN), nullptr);
            EXPECT_EQ(std::string(got.getUtf8(KYPROP_TRACK_GAIN)).substr(0, 5), "-6.25");
        }
        if (std::strstr(c.file, ".mp3")) {
            EXPECT_EQ(r.samples.size(), in.size()); // exactly the stream, no tag bytes
        }
        if (!python.empty() && c.id3v2) {
            const std::string script =
                "import sys\n"
                "from mutagen.id3 import ID3\n"
                "t = ID3(sys.argv[1])\n"
                "print(t['TIT2'].text[0], '|', t['TPE1'].text[0], '|', t['TRCK'].text[0], '|',\n"
                "      t['TXXX:replaygain_track_gain'].text[0], '|',\n"
                "      t['TXXX:replaygain_album_gain'].text[0], '|',\n"
                "      t['TXXX:replaygain_track_peak'].text[0])\n";
            ASSERT_TRUE(kytest::writeFile(dir.path("m.py"),
                                          std::vector<uint8_t>(script.begin(), script.end())));
            const std::string out =
                kytest::capture(python + " " + kytest::shellQuote(dir.path("m.py")) + " " +
                                kytest::shellQuote(path));
            EXPECT_EQ(out, "Harbour Lights | The Velmora Ensemble | 3 | -6.25 dB | -5.50 dB | "
                           "0.912345\n");
        }
        if (kytest::haveTool("eyeD3") && c.id3v2 && std::strstr(c.file, ".aac") == nullptr) {
            const std::string out = kytest::capture("eyeD3 --no-color " + kytest::shellQuote(path));
            EXPECT_NE(out.find("title: Harbour Lights"), std::string::npos) << out;
            EXPECT_NE(out.find("artist: The Velmora Ensemble"), std::string::npos) << out;
        }
        if (std::strstr(c.file, ".mp3") && kytest::haveTool("mp3val")) {
            EXPECT_EQ(mp3valProblems(path), "");
        }
    }
}
