// The Shorten writer and reader: ffmpeg decodes our files (8 and 16 bits, 1 to 6 channels,
// lengths off the block size) to exactly the input; our reader reads them back, seeks, and
// reads hand-built streams with a verbatim section part way, a lowered block size, zero
// blocks, bit shifts and the quantized LPC predictor; the WAVE header a stream carries
// tells the real length when the announced one was wrong; damaged streams are refused.
#include "formats/codecs/shorten.h"
#include "formats/format_catalog.h"
#include "formats/shn_reader.h"
#include "formats/writer_filter.h"
#include "support/chain_helpers.h"
#include "support/codec_library_files.h"
#include "support/codec_test_files.h"
#include <bit>
#include <cstring>
#include <gtest/gtest.h>

using namespace kytest;

namespace {
const char* const kShn = "Shorten lossless compression";

std::string q(const std::string& s) {
    return shellQuote(s);
}

// ffmpeg's decode of a file as interleaved integers (8-bit samples made signed).
bool ffmpegInts(const std::string& path, uint32_t bits, std::vector<int32_t>& out) {
    const std::string raw = path + ".raw";
    if (!run("ffmpeg -v error -y -i " + q(path) + " -f " + (bits == 8 ? "u8" : "s16le") + " " +
             q(raw)))
        return false;
    const std::vector<uint8_t> b = readFile(raw);
    out.clear();
    if (bits == 8)
        for (uint8_t v : b) out.push_back(int32_t(v) - 128);
    else
        for (size_t i = 0; i + 1 < b.size(); i += 2) out.push_back(int16_t(b[i] | (b[i + 1] << 8)));
    return true;
}

// Shorten's codes, written by hand for the streams our encoder never makes.
class Bits {
public:
    void put(uint32_t v, uint32_t n) {
        for (int i = int(n) - 1; i >= 0; --i) {
            if (m_n % 8 == 0) bytes.push_back(0);
            if ((v >> i) & 1) bytes.back() |= uint8_t(0x80 >> (m_n % 8));
            ++m_n;
        }
    }
    void uvar(uint32_t v, uint32_t k) {
        for (uint32_t i = 0; i < (v >> k); ++i) put(0, 1);
        put(1, 1);
        put(v & ((1u << k) - 1), k);
    }
    void var(int32_t v, uint32_t k) {
        uvar(v < 0 ? ((~uint32_t(v)) << 1) | 1 : uint32_t(v) << 1, k + 1);
    }
    void ulong(uint32_t v) {
        const uint32_t w = static_cast<uint32_t>(std::bit_width(v));
        uvar(w, 2);
        uvar(v, w);
    }
    void verbatim(const std::vector<uint8_t>& b) {
        uvar(KY_SHN_VERBATIM, 2);
        uvar(static_cast<uint32_t>(b.size()), 5);
        for (uint8_t x : b) uvar(x, 8);
    }
    std::vector<uint8_t> bytes;

private:
    uint64_t m_n = 0;
};

// A mono 16-bit stream header: block size 4, LPC order up to 2, no running mean.
Bits handStream(uint32_t frames, uint32_t maxLpc = 2) {
    Bits b;
    for (char c : std::string("ajkg")) b.put(uint8_t(c), 8);
    b.put(2, 8);
    b.ulong(KY_SHN_TYPE_S16LH);
    b.ulong(1);
    b.ulong(4);
    b.ulong(maxLpc);
    b.ulong(0);
    b.ulong(0);
    b.verbatim(kyShnWaveHeader(1, 22050, 16, uint64_t(frames) * 2));
    return b;
}

kyError readFile(const std::string& path, std::vector<int32_t>& ints, kyAudioFormat& format,
                 uint32_t bits = 16, uint32_t start = 0) {
    std::vector<std::vector<float>> planes;
    kyError err = readPlanes(path, planes, format, nullptr, start);
    ints = planesToInts(planes, bits);
    return err;
}
} // namespace

TEST(ShnWriter, FfmpegAndOurReaderDecodeExactly) {
    const bool ffmpeg = haveTool("ffmpeg");
    struct Case {
        const char* subformat;
        uint32_t bits;
        uint32_t channels;
        uint32_t frames;
    } cases[] = {
        {"Lossless 16-bit", 16, 2, 44100 * 2 + 77},
        {"Lossless 16-bit", 16, 1, 1000},
        {"Lossless 16-bit", 16, 6, 5 * 256},
        {"Lossless 16-bit", 16, 2, 100},
        {"Lossless 8-bit", 8, 1, 3001},
        {"Lossless 8-bit", 8, 2, 10000 + 13},
        {"Lossless 8-bit", 8, 6, 700},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.subformat) + ", " + std::to_string(c.channels) + " channels, " +
                     std::to_string(c.frames) + " frames");
        IntSignal signal = intSignal(c.frames, c.channels, 44100, c.bits);
        // Full-scale steps and digital silence on top of the music.
        for (size_t i = 0; i < signal.samples.size() / 4; ++i) signal.samples[i] = 0;
        for (size_t i = signal.samples.size() / 2; i < signal.samples.size() / 2 + 40; ++i)
            signal.samples[i] = (i & 1) ? (1 << (c.bits - 1)) - 1 : -(1 << (c.bits - 1));
        const std::string shn = dir.path("t.shn");
        ASSERT_EQ(writeSignal(shn, kShn, c.subformat, signal), KY_OK);
        std::vector<int32_t> ours;
        kyAudioFormat format;
        ASSERT_EQ(readFile(shn, ours, format, c.bits), KY_OK);
        EXPECT_EQ(format.lengthFrames, c.frames);
        EXPECT_EQ(format.sampleRate, 44100u);
        EXPECT_TRUE(ours == signal.samples);
        if (ffmpeg) {
            std::vector<int32_t> theirs;
            ASSERT_TRUE(ffmpegInts(shn, c.bits, theirs));
            EXPECT_EQ(theirs.size(), signal.samples.size());
            EXPECT_TRUE(theirs == signal.samples);
        }
        // Lossless, so smaller than the samples themselves on this signal.
        EXPECT_LT(readFile(shn).size(), signal.samples.size() * c.bits / 8);
    }
    if (!ffmpeg) GTEST_SKIP() << "ffmpeg is not installed: only our reader was checked";
}

TEST(ShnWriter, PassthroughSeekingAndTheHeadersLength) {
    ScratchDir dir;
    const IntSignal signal = intSignal(30000, 2, 48000, 16);
    WriteOptions o;
    o.interleaved = true;
    o.rawId = "PCM 16-bit";
    o.rawWidth = 2;
    bool passthrough = false;
    const std::string shn = dir.path("raw.shn");
    ASSERT_EQ(writeSignal(shn, kShn, "Lossless 16-bit", signal, o, &passthrough), KY_OK);
    EXPECT_TRUE(passthrough);
    std::vector<int32_t> ints;
    kyAudioFormat format;
    ASSERT_EQ(readFile(shn, ints, format), KY_OK);
    EXPECT_TRUE(ints == signal.samples);
    EXPECT_EQ(format.sampleRate, 48000u);
    for (uint32_t start : {1u, 255u, 256u, 12345u, 29999u}) {
        SCOPED_TRACE(start);
        ASSERT_EQ(readFile(shn, ints, format, 16, start), KY_OK);
        ASSERT_EQ(ints.size(), size_t(signal.frames() - start) * 2);
        EXPECT_TRUE(std::equal(ints.begin(), ints.end(), signal.samples.begin() + 2 * start));
    }
    // The WAVE header in the stream is brought up to the real length.
    for (uint32_t announced : {30000u, 50000u, 100u, KY_NO_LENGTH}) {
        SCOPED_TRACE(announced);
        const std::string path = dir.path("len.shn");
        ASSERT_EQ(writeAnnounced(path, kShn, "Lossless 16-bit", signal, announced), KY_OK);
        ASSERT_EQ(readFile(path, ints, format), KY_OK);
        EXPECT_EQ(format.lengthFrames, 30000u);
        EXPECT_TRUE(ints == signal.samples);
        if (haveTool("ffmpeg")) {
            std::vector<int32_t> theirs;
            ASSERT_TRUE(ffmpegInts(path, 16, theirs));
            EXPECT_TRUE(theirs == signal.samples);
        }
    }
}

TEST(ShnReader, HandBuiltStreams) {
    ScratchDir dir;
    // DIFF1 block, a verbatim section part way, a lowered block size with DIFF2, a zero
    // block, a bit shift, then the quantized LPC predictor.
    Bits b = handStream(4 + 2 + 2 + 2 + 2);
    b.uvar(KY_SHN_DIFF1, 2);
    b.uvar(3, 3);
    for (int32_t r : {100, -50, 7, 0}) b.var(r, 3); // 100, 50, 57, 57
    b.verbatim({'L', 'I', 'S', 'T', 0, 0, 0, 0});
    b.uvar(KY_SHN_BLOCKSIZE, 2);
    b.ulong(2);
    b.uvar(KY_SHN_DIFF2, 2);
    b.uvar(2, 3);
    for (int32_t r : {1, -2}) b.var(r, 2); // 2*57-57+1 = 58, 2*58-57-2 = 57
    b.uvar(KY_SHN_ZERO, 2);                // 0, 0
    b.uvar(KY_SHN_BITSHIFT, 2);
    b.uvar(1, 2);
    b.uvar(KY_SHN_DIFF0, 2);
    b.uvar(4, 3);
    for (int32_t r : {-20, 21}) b.var(r, 4); // (-20, 21) << 1
    b.uvar(KY_SHN_QLPC, 2);
    b.uvar(0, 3);
    b.uvar(2, 2);
    b.var(32, 5); // x[i] = (32 x[i-1] + 0 x[i-2] + 32) >> 5 + r
    b.var(0, 5);
    for (int32_t r : {0, 0}) b.var(r, 0); // 21 + 1 = 22, 23 (shifted: 44, 46)
    b.uvar(KY_SHN_QUIT, 2);
    const std::string path = dir.path("hand.shn");
    ASSERT_TRUE(writeFile(path, b.bytes));
    std::vector<int32_t> ints;
    kyAudioFormat format;
    ASSERT_EQ(readFile(path, ints, format), KY_OK);
    EXPECT_EQ(format.sampleRate, 22050u);
    const std::vector<int32_t> expected = {100, 50, 57, 57, 58, 57, 0, 0, -40, 42, 44, 46};
    EXPECT_EQ(ints, expected);
    if (haveTool("ffmpeg")) {
        std::vector<int32_t> theirs;
        ASSERT_TRUE(ffmpegInts(path, 16, theirs));
        EXPECT_EQ(theirs, expected);
    }
}

TEST(ShnReader, RefusesDamagedStreams) {
    ScratchDir dir;
    const std::string good = dir.path("good.shn");
    ASSERT_EQ(writeSignal(good, kShn, "Lossless 16-bit", intSignal(20000, 2, 44100, 16)), KY_OK);
    const std::vector<uint8_t> bytes = readFile(good);
    std::vector<uint8_t> head(KY_PROBE_BYTES, 0);
    std::memcpy(head.data(), bytes.data(), std::min<size_t>(bytes.size(), head.size()));
    EXPECT_EQ(shn_Reader::Probe(head.data(), head.size()), KY_PROBE_CERTAIN);
    head[4] = 9;
    EXPECT_EQ(shn_Reader::Probe(head.data(), head.size()), KY_PROBE_NO);

    auto withByte = [&](size_t at, uint8_t v) {
        auto b = bytes;
        b[at] = v;
        return b;
    };
    Bits noHeader;
    for (char c : std::string("ajkg")) noHeader.put(uint8_t(c), 8);
    noHeader.put(2, 8);
    for (uint32_t v : {5u, 1u, 256u, 0u, 4u, 0u}) noHeader.ulong(v);
    noHeader.uvar(KY_SHN_QUIT, 2);
    Bits hugeBlocks; // 1000 channels of 65535 samples a block
    for (char c : std::string("ajkg")) hugeBlocks.put(uint8_t(c), 8);
    hugeBlocks.put(2, 8);
    for (uint32_t v : {5u, 1000u, 65535u, 0u, 4u, 0u}) hugeBlocks.ulong(v);
    hugeBlocks.verbatim(kyShnWaveHeader(1000, 44100, 16, 1000));
    Bits badCommand = handStream(4);
    badCommand.uvar(11, 2);
    Bits bigBlock = handStream(8);
    bigBlock.uvar(KY_SHN_BLOCKSIZE, 2);
    bigBlock.ulong(5000);
    Bits lpcTooLong = handStream(4, 1);
    lpcTooLong.uvar(KY_SHN_QLPC, 2);
    lpcTooLong.uvar(0, 3);
    lpcTooLong.uvar(3, 2);
    Bits runaway = handStream(4);
    runaway.uvar(KY_SHN_DIFF0, 2);
    runaway.uvar(30, 3);
    runaway.put(1, 3); // a code of 2 << 31: past 32 bits
    runaway.put(0, 31);
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
    } cases[] = {
        {"cut part way", {bytes.begin(), bytes.begin() + bytes.size() / 2}},
        {"cut in the header", {bytes.begin(), bytes.begin() + 12}},
        {"version 0", withByte(4, 0)},
        {"no WAVE header", noHeader.bytes},
        {"blocks too large to hold", hugeBlocks.bytes},
        {"unknown command", badCommand.bytes},
        {"block size raised", bigBlock.bytes},
        {"LPC order past the header's", lpcTooLong.bytes},
        {"runaway code", runaway.bytes},
        {"not Shorten", std::vector<uint8_t>(3000, 0x42)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.path("bad.shn");
        ASSERT_TRUE(writeFile(path, c.file));
        std::vector<std::vector<float>> planes;
        kyAudioFormat format;
        kyError err = readPlanes(path, planes, format);
        EXPECT_TRUE(kyFailed(err)) << c.name;
    }
}
