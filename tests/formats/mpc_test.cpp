// The Musepack reader over libmpcdec: files made by mpcenc with APE tags read back close to
// the input, with their tags, from the start and after seeks; damaged stream headers are
// refused before the library sees them.
#include "formats/codecs/musepack.h"
#include "formats/format_catalog.h"
#include "formats/mpc_reader.h"
#include "formats/writer_filter.h"
#include "support/chain_helpers.h"
#include "support/codec_library_files.h"
#include "support/codec_test_files.h"
#include "support/format_round_trip.h"
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

using namespace kytest;

namespace {
std::string q(const std::string& s) {
    return shellQuote(s);
}

// Makes `path` with mpcenc from 16-bit test music, with tags.
bool mpcencFile(const ScratchDir& dir, const std::string& path, uint32_t frames, uint32_t channels,
                std::vector<int16_t>& pcm, const char* quality = "5") {
    pcm = testSignal(frames, channels, 44100);
    const std::string wav = dir.path("in.wav");
    if (!writeFile(wav, makePcm16Wav(pcm, static_cast<uint16_t>(channels), 44100))) return false;
    return run(std::string("mpcenc --silent --overwrite --quality ") + quality +
               " --artist 'The Testers' --title 'Caf\xC3\xA9 Nocturne' --track 7 "
               "--tag 'Replay Gain (radio)=-6.50 dB' " +
               q(wav) + " " + q(path));
}

// The decoded planes against 16-bit input, channel by channel.
double planesSnr(const std::vector<std::vector<float>>& planes, const std::vector<int16_t>& pcm,
                 uint32_t channels, size_t skip = 0) {
    std::vector<float> ref, test;
    for (uint32_t c = 0; c < channels; ++c)
        for (size_t i = skip; i < planes[c].size() && i * channels + c < pcm.size(); ++i) {
            ref.push_back(pcm[i * channels + c] / 32768.0f);
            test.push_back(planes[c][i]);
        }
    return snrDb(ref, test);
}
} // namespace

TEST(MpcReader, ReadsWhatMpcencWroteWithTagsAndSeeks) {
    if (!haveTool("mpcenc")) GTEST_SKIP() << "musepack-tools is not installed";
    if (!kyMpcDecoderLibrary::Get()) GTEST_SKIP() << kyMpcDecoderLibrary::Missing();
    ScratchDir dir;
    for (uint32_t channels : {1u, 2u}) {
        SCOPED_TRACE(channels);
        const std::string mpc = dir.path("in.mpc");
        std::vector<int16_t> pcm;
        ASSERT_TRUE(mpcencFile(dir, mpc, 88200 + 123, channels, pcm));
        std::vector<std::vector<float>> planes;
        kyAudioFormat format;
        kyPropertyTable props;
        ASSERT_EQ(readPlanes(mpc, planes, format, &props), KY_OK);
        EXPECT_EQ(format.channels, channels);
        EXPECT_EQ(format.sampleRate, 44100u);
        EXPECT_EQ(format.lengthFrames, 88200u + 123);
        ASSERT_EQ(planes[0].size(), 88200u + 123);
        EXPECT_GT(planesSnr(planes, pcm, channels), 20.0);
        EXPECT_STREQ(props.getUtf8(KYPROP_TITLE), "Caf\xC3\xA9 Nocturne");
        EXPECT_STREQ(props.getUtf8(KYPROP_ARTIST), "The Testers");
        EXPECT_STREQ(props.getUtf8(KYPROP_TRACK_NUMBER), "7");
        EXPECT_STREQ(props.getUtf8(KYPROP_DATA_FORMAT), "Musepack");
        for (uint32_t start : {1u, 44100u, 88000u}) {
            SCOPED_TRACE(start);
            std::vector<std::vector<float>> part;
            ASSERT_EQ(readPlanes(mpc, part, format, nullptr, start), KY_OK);
            ASSERT_EQ(part[0].size(), 88200u + 123 - start);
            // The samples after the seek are those of the whole decode.
            double diff = 0;
            for (size_t i = 0; i < part[0].size(); ++i)
                diff = std::max<double>(diff, std::abs(part[0][i] - planes[0][start + i]));
            EXPECT_LT(diff, 0.02);
        }
    }
}

TEST(MpcReader, RefusesDamagedHeaders) {
    if (!haveTool("mpcenc")) GTEST_SKIP() << "musepack-tools is not installed";
    ScratchDir dir;
    const std::string mpc = dir.path("good.mpc");
    std::vector<int16_t> pcm;
    ASSERT_TRUE(mpcencFile(dir, mpc, 20000, 2, pcm));
    const std::vector<uint8_t> bytes = readFile(mpc);
    std::vector<uint8_t> head(KY_PROBE_BYTES, 0);
    std::memcpy(head.data(), bytes.data(), std::min<size_t>(bytes.size(), head.size()));
    EXPECT_EQ(mpc_Reader::Probe(head.data(), head.size()), KY_PROBE_CERTAIN);
    head[0] = 'X';
    EXPECT_EQ(mpc_Reader::Probe(head.data(), head.size()), KY_PROBE_NO);
    auto flip = [&](size_t at) {
        auto b = bytes;
        b[at] ^= 0x10;
        return b;
    };
    kyMpcPacket sh;
    ASSERT_TRUE(kyMpcReadPacket(bytes.data() + 4, bytes.size() - 4, sh));
    ASSERT_EQ(std::string(sh.key, 2), "SH");
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
    } cases[] = {
        {"stream header CRC", flip(4 + sh.headerBytes + 6)},
        {"cut in the header", {bytes.begin(), bytes.begin() + 9}},
        {"magic only", {'M', 'P', 'C', 'K'}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.path("bad.mpc");
        ASSERT_TRUE(writeFile(path, c.file));
        std::vector<std::vector<float>> planes;
        kyAudioFormat format;
        EXPECT_TRUE(kyFailed(readPlanes(path, planes, format)));
    }
}

namespace {
const char* const kMpc = "Musepack audio compression";

// Decodes with mpcdec to 16-bit samples.
bool mpcdecInts(const ScratchDir& dir, const std::string& path, std::vector<int16_t>& out) {
    const std::string wav = dir.path("dec.wav");
    if (!run("mpcdec " + q(path) + " " + q(wav))) return false;
    WavFormat f;
    std::vector<uint8_t> data;
    if (!parseWav(readFile(wav), f, data)) return false;
    out.resize(data.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) out[i] = int16_t(data[2 * i] | (data[2 * i + 1] << 8));
    return true;
}
} // namespace

TEST(MpcWriter, RatesAndQualityRiseWithTheSubformat) {
    if (!haveTool("mpcdec")) GTEST_SKIP() << "musepack-tools is not installed";
    ScratchDir dir;
    const uint32_t seconds = 4;
    const std::vector<int16_t> pcm = testSignal(44100 * seconds, 2, 44100);
    const auto planes = toPlanes(pcm, 2);
    const bool mpcenc = haveTool("mpcenc");
    if (mpcenc) ASSERT_TRUE(writeFile(dir.path("in.wav"), makePcm16Wav(pcm, 2, 44100)));
    std::string table = "subformat      kbit/s   SNR dB | mpcenc kbit/s  SNR dB\n";
    double lastSnr = -100;
    int quality = 0;
    for (uint32_t kbps : {20, 30, 60, 90, 130, 180, 210, 240, 270, 300, 350}) {
        const std::string sub = "~" + std::to_string(kbps) + " kbit/s";
        SCOPED_TRACE(sub);
        const std::string path = dir.path("t.mpc");
        ASSERT_EQ(writeThroughCatalog(path, catalogIndex(kMpc, true), sub.c_str(), planes, 44100),
                  KY_OK);
        std::vector<int16_t> back;
        ASSERT_TRUE(mpcdecInts(dir, path, back));
        ASSERT_EQ(back.size(), pcm.size());
        const double snr = snrDb(pcm, back);
        const double rate = readFile(path).size() * 8.0 / seconds / 1000.0;
        EXPECT_NEAR(rate, kbps, kbps * 0.25);
        EXPECT_GT(snr, lastSnr - 0.5);
        lastSnr = snr;
        if (haveTool("ffmpeg")) {
            // ffmpeg's mpc8 decoder hands out the filter bank's delay (481 samples) and the
            // last frame whole: as close to the input once those are dropped (bands sent as
            // noise are made up by each decoder's own generator).
            std::vector<int16_t> viaFfmpeg;
            ASSERT_TRUE(ffmpegDecode(path, "", 2, viaFfmpeg));
            ASSERT_GE(viaFfmpeg.size(), back.size() + 481 * 2);
            viaFfmpeg.erase(viaFfmpeg.begin(), viaFfmpeg.begin() + 481 * 2);
            viaFfmpeg.resize(back.size());
            EXPECT_NEAR(snrDb(pcm, viaFfmpeg), snr, 1.0);
        }
        char line[160];
        std::snprintf(line, sizeof line, "%-13s %7.1f %8.2f |", sub.c_str(), rate, snr);
        table += line;
        if (mpcenc) {
            const std::string theirs = dir.path("theirs.mpc");
            ASSERT_TRUE(run("mpcenc --silent --overwrite --quality " + std::to_string(quality) +
                            " " + q(dir.path("in.wav")) + " " + q(theirs)));
            ASSERT_TRUE(mpcdecInts(dir, theirs, back));
            std::snprintf(line, sizeof line, " %13.1f %7.2f",
                          readFile(theirs).size() * 8.0 / seconds / 1000.0, snrDb(pcm, back));
            table += line;
        }
        table += "\n";
        ++quality;
    }
    std::printf("%s", table.c_str());
}

TEST(MpcWriter, TagsGainSeekTableLengthAndRates) {
    if (!kyMpcDecoderLibrary::Get()) GTEST_SKIP() << kyMpcDecoderLibrary::Missing();
    ScratchDir dir;
    // Mono at 48 kHz with every tag, the length unknown when the stream starts.
    const IntSignal mono = intSignal(48000 * 3 + 17, 1, 48000, 16);
    WriteOptions o;
    o.withTags = true;
    const std::string tagged = dir.path("tagged.mpc");
    ASSERT_EQ(writeSignal(tagged, kMpc, "~350 kbit/s", mono, o), KY_OK);
    std::vector<std::vector<float>> planes;
    kyAudioFormat format;
    kyPropertyTable props;
    ASSERT_EQ(readPlanes(tagged, planes, format, &props), KY_OK);
    EXPECT_EQ(format.channels, 1u);
    EXPECT_EQ(format.sampleRate, 48000u);
    EXPECT_EQ(format.lengthFrames, mono.frames());
    EXPECT_STREQ(props.getUtf8(KYPROP_TITLE), "Caf\xC3\xA9 Nocturne");
    EXPECT_STREQ(props.getUtf8(KYPROP_TRACK_GAIN), "-6.50 dB");
    EXPECT_GT(snrDb(mono.planes()[0], planes[0]), 25.0);
    if (haveMutagen()) {
        const std::string items = mutagenApeItems(tagged);
        EXPECT_NE(items.find("Artist=The Testers"), std::string::npos) << items;
    }
    // The ReplayGain packet (level 64.82 dB less the gain, x 256; peak in 16-bit units).
    const std::vector<uint8_t> bytes = readFile(tagged);
    ASSERT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "MPCK");
    std::vector<std::string> keys;
    for (size_t at = 4; at < bytes.size();) {
        kyMpcPacket p;
        ASSERT_TRUE(kyMpcReadPacket(bytes.data() + at, bytes.size() - at, p));
        const std::string key(p.key, 2);
        if (keys.empty() || keys.back() != key) keys.push_back(key);
        if (key == "RG") {
            const uint8_t* b = bytes.data() + at + p.headerBytes;
            EXPECT_EQ(b[0], 1);
            EXPECT_EQ((b[1] << 8) | b[2], std::lround(256 * (64.82 + 6.5)));
            EXPECT_EQ((b[5] << 8) | b[6], std::lround(256 * (64.82 + 5.25)));
            EXPECT_NEAR((b[3] << 8) | b[4], 5120 * std::log10(0.988831 * 32768), 1);
        }
        if (key == "SE") break;
        at += p.size;
    }
    const std::vector<std::string> expected = {"SH", "RG", "EI", "SO", "AP", "ST", "SE"};
    EXPECT_EQ(keys, expected);

    // Seeking goes through the seek table: the same samples as the whole decode.
    for (uint32_t start : {1000u, 48000u, 100000u}) {
        SCOPED_TRACE(start);
        std::vector<std::vector<float>> part;
        ASSERT_EQ(readPlanes(tagged, part, format, nullptr, start), KY_OK);
        ASSERT_EQ(part[0].size(), mono.frames() - start);
        double diff = 0;
        for (size_t i = 0; i < part[0].size(); ++i)
            diff = std::max<double>(diff, std::abs(part[0][i] - planes[0][start + i]));
        EXPECT_LT(diff, 1e-3);
    }

    // A rate the format lacks is resampled to the next one it has.
    const IntSignal low = intSignal(22050 * 2, 2, 22050, 16);
    const std::string resampled = dir.path("low.mpc");
    ASSERT_EQ(writeSignal(resampled, kMpc, "~130 kbit/s", low), KY_OK);
    ASSERT_EQ(readPlanes(resampled, planes, format), KY_OK);
    EXPECT_EQ(format.sampleRate, 32000u);
    EXPECT_NEAR(double(format.lengthFrames), 64000.0, 64.0);
    if (haveTool("mpcdec")) EXPECT_TRUE(run("mpcdec " + q(resampled) + " /dev/null"));

    // Automatic selection (nothing matches PCM) and no subformat both take "~180 kbit/s":
    // quality 5 in the encoder information.
    for (const char* sub : {"<Auto select>", ""}) {
        SCOPED_TRACE(sub);
        const std::string path = dir.path("auto.mpc");
        ASSERT_EQ(writeSignal(path, kMpc, sub, intSignal(44100, 2, 44100, 16)), KY_OK);
        const std::vector<uint8_t> b = readFile(path);
        int profile = -1;
        for (size_t at = 4; at < b.size();) {
            kyMpcPacket p;
            ASSERT_TRUE(kyMpcReadPacket(b.data() + at, b.size() - at, p));
            if (std::string(p.key, 2) == "EI") profile = b[at + p.headerBytes] >> 1;
            if (std::string(p.key, 2) == "AP") break;
            at += p.size;
        }
        EXPECT_EQ(profile, 5 * 8);
    }

    // More than two channels are refused before anything is written.
    const std::string six = dir.path("six.mpc");
    EXPECT_EQ(writeSignal(six, kMpc, "~180 kbit/s", intSignal(4000, 6, 44100, 16)),
              KYERR_CHANNEL_FORMAT);
}
