// wav_Reader against damaged, unusual and foreign files.
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "formats/wav_common.h"
#include "formats/writer_filter.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include <cmath>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>

namespace {

kyFormatCatalog& cat() {
    return kyFormatCatalog::Instance();
}

int32_t entryIndex(const char* display, bool writer) {
    return kytest::catalogIndex(display, writer);
}

using kytest::CollectSink;

// Builds RIFF files chunk by chunk, sizes as given (so they can lie).
struct Riff {
    std::vector<uint8_t> bytes = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    Riff& chunk(const char* id, const std::vector<uint8_t>& body, int64_t size = -1) {
        bytes.insert(bytes.end(), id, id + 4);
        uint8_t s[4];
        wav::put32(s, size < 0 ? static_cast<uint32_t>(body.size()) : static_cast<uint32_t>(size));
        bytes.insert(bytes.end(), s, s + 4);
        bytes.insert(bytes.end(), body.begin(), body.end());
        if (size < 0 && (body.size() & 1)) bytes.push_back(0);
        return *this;
    }
    Riff& fixSize() {
        wav::put32(&bytes[4], static_cast<uint32_t>(bytes.size() - 8));
        return *this;
    }
};

std::vector<uint8_t> fmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t align,
                             uint16_t bits, std::vector<uint8_t> extra = {}, bool withCb = true) {
    std::vector<uint8_t> b(16);
    wav::put16(&b[0], tag);
    wav::put16(&b[2], channels);
    wav::put32(&b[4], rate);
    wav::put32(&b[8], rate * align);
    wav::put16(&b[12], align);
    wav::put16(&b[14], bits);
    if (withCb) {
        uint8_t cb[2];
        wav::put16(cb, static_cast<uint32_t>(extra.size()));
        b.insert(b.end(), cb, cb + 2);
        b.insert(b.end(), extra.begin(), extra.end());
    }
    return b;
}

std::vector<uint8_t> pcm16(uint32_t samples) {
    std::vector<uint8_t> d(samples * 2);
    for (uint32_t i = 0; i < samples; ++i) wav::put16(&d[i * 2], (i * 97) & 0xFFFF);
    return d;
}

struct Result {
    kyError open = KY_OK;
    kyError run = KY_OK;
    uint32_t frames = 0; // delivered
    uint32_t channels = 0;
    std::string subformat;
};

Result readBytes(const std::vector<uint8_t>& file, uint32_t seek = 0) {
    kytest::ScratchDir dir;
    std::string p = dir.path("t.wav");
    EXPECT_TRUE(kytest::writeFile(p, file));
    Result res;
    kyReaderFilter* r = nullptr;
    res.open = cat().OpenReader(r, p.c_str(), entryIndex("Microsoft wave format", false));
    if (kyFailed(res.open)) return res;
    kyAudioFormat fmt{};
    r->GetFormat(fmt);
    res.channels = fmt.channels;
    res.subformat = r->GetPropertyUtf8(2) ? r->GetPropertyUtf8(2) : "";
    if (seek) r->Seek(seek);
    auto* sink = new CollectSink(fmt.channels);
    r->Connect(sink);
    res.run = sink->Run();
    res.frames = sink->data.empty() ? 0 : static_cast<uint32_t>(sink->data[0].size());
    sink->DestroyChain();
    return res;
}

std::vector<uint8_t> extensible(uint16_t subTag, uint16_t bits) {
    std::vector<uint8_t> e(22, 0);
    wav::put16(&e[0], bits);
    wav::put32(&e[2], 4);
    wav::put16(&e[6], subTag);
    const uint8_t tail[14] = {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    std::memcpy(&e[8], tail, 14);
    return e;
}

} // namespace

TEST(WavReader, DamagedAndUnusualFiles) {
    const auto pcmFmt = fmtBody(1, 1, 8000, 2, 16, {}, false);
    struct Case {
        const char* what;
        std::vector<uint8_t> file;
        kyError open;
        kyError run;
        uint32_t frames;
    };
    std::vector<uint8_t> big(20000, 0);
    std::vector<Case> cases = {
        {"plain", Riff().chunk("fmt ", pcmFmt).chunk("data", pcm16(300)).fixSize().bytes, KY_OK,
         KY_OK, 300},
        {"data size past the end",
         Riff().chunk("fmt ", pcmFmt).chunk("data", pcm16(300), 1 << 30).bytes, KY_OK, KY_OK, 300},
        {"data size 0 means the rest",
         Riff().chunk("fmt ", pcmFmt).chunk("data", pcm16(300), 0).bytes, KY_OK, KY_OK, 300},
        {"data size of the rest + 8",
         Riff().chunk("fmt ", pcmFmt).chunk("data", pcm16(300), 608).bytes, KY_OK, KY_OK, 300},
        {"odd data followed by a chunk",
         Riff()
             .chunk("fmt ", fmtBody(1, 1, 8000, 1, 8, {}, false))
             .chunk("data", std::vector<uint8_t>(301, 0x80))
             .chunk("LIST", {'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M', 2, 0, 0, 0, 'A', 0})
             .fixSize()
             .bytes,
         KY_OK, KY_OK, 301},
        {"fact beyond the data",
         Riff()
             .chunk("fmt ", pcmFmt)
             .chunk("fact", {0xFF, 0xFF, 0, 0})
             .chunk("data", pcm16(300))
             .bytes,
         KY_OK, KY_OK, 300},
        {"metadata chunk size past the end",
         Riff().chunk("fmt ", pcmFmt).chunk("data", pcm16(10)).chunk("INAM", {}, 0x7FFFFFF0).bytes,
         KY_OK, KY_OK, 10},
        {"huge cue count",
         Riff()
             .chunk("fmt ", pcmFmt)
             .chunk("cue ", {0xFF, 0xFF, 0xFF, 0xFF})
             .chunk("data", pcm16(10))
             .bytes,
         KY_OK, KY_OK, 10},
        {"fmt too short",
         Riff()
             .chunk("fmt ", std::vector<uint8_t>(pcmFmt.begin(), pcmFmt.begin() + 10))
             .chunk("data", pcm16(10))
             .bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"fmt too short for IMA",
         Riff().chunk("fmt ", fmtBody(0x11, 1, 8000, 256, 4, {}, false)).chunk("data", big).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"no channels",
         Riff().chunk("fmt ", fmtBody(1, 0, 8000, 2, 16, {}, false)).chunk("data", pcm16(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"no sample rate",
         Riff().chunk("fmt ", fmtBody(1, 1, 0, 2, 16, {}, false)).chunk("data", pcm16(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"no bits",
         Riff().chunk("fmt ", fmtBody(1, 1, 8000, 0, 0, {}, false)).chunk("data", pcm16(10)).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"MS ADPCM block align 0",
         Riff()
             .chunk("fmt ", fmtBody(2, 1, 8000, 0, 4, std::vector<uint8_t>(32, 0)))
             .chunk("data", big)
             .bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"GSM block align 0",
         Riff().chunk("fmt ", fmtBody(0x31, 1, 8000, 0, 0, {0x40, 0x01})).chunk("data", big).bytes,
         KYERR_CORRUPT, KY_OK, 0},
        {"no fmt", Riff().chunk("data", pcm16(10)).bytes, KYERR_CORRUPT, KY_OK, 0},
        {"no data", Riff().chunk("fmt ", pcmFmt).bytes, KY_OK, KYERR_NO_AUDIO, 0},
        {"empty data", Riff().chunk("fmt ", pcmFmt).chunk("data", {}, 0).bytes, KY_OK,
         KYERR_NO_AUDIO, 0},
        {"not RIFF", std::vector<uint8_t>(64, 0), KYERR_CORRUPT, KY_OK, 0},
        {"shorter than a header", {'R', 'I', 'F', 'F'}, KYERR_CORRUPT, KY_OK, 0},
        {"41-bit PCM",
         Riff().chunk("fmt ", fmtBody(1, 1, 8000, 6, 41, {}, false)).chunk("data", pcm16(10)).bytes,
         KYERR_DATA_FORMAT, KY_OK, 0},
        {"unknown tag",
         Riff().chunk("fmt ", fmtBody(0x1234, 1, 8000, 2, 16)).chunk("data", pcm16(10)).bytes,
         KYERR_COMPRESSION, KY_OK, 0},
        {"G.721 in stereo",
         Riff().chunk("fmt ", fmtBody(0x40, 2, 8000, 64, 4, {0, 0})).chunk("data", pcm16(10)).bytes,
         KYERR_CHANNEL_FORMAT, KY_OK, 0},
        {"extensible PCM",
         Riff()
             .chunk("fmt ", fmtBody(0xFFFE, 1, 8000, 2, 16, extensible(1, 16)))
             .chunk("data", pcm16(50))
             .bytes,
         KY_OK, KY_OK, 50},
        {"extensible other",
         Riff()
             .chunk("fmt ", fmtBody(0xFFFE, 1, 8000, 2, 16, extensible(0x55, 16)))
             .chunk("data", pcm16(50))
             .bytes,
         KYERR_COMPRESSION, KY_OK, 0},
        {"extensible too short",
         Riff()
             .chunk("fmt ", fmtBody(0xFFFE, 1, 8000, 2, 16, {1, 2}))
             .chunk("data", pcm16(50))
             .bytes,
         KYERR_CORRUPT, KY_OK, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Result r = readBytes(c.file);
        EXPECT_EQ(r.open, c.open);
        if (kyFailed(c.open)) continue;
        EXPECT_EQ(r.run, c.run);
        EXPECT_EQ(r.frames, c.frames);
    }
}

TEST(WavReader, ManyChannelsKeepBlocksSmall) {
    // 60000 channels of 16-bit PCM: the block shrinks instead of the planes growing to
    // gigabytes.
    const uint32_t channels = 60000, frames = 40;
    auto file = Riff()
                    .chunk("fmt ", fmtBody(1, channels, 8000, channels * 2, 16, {}, false))
                    .chunk("data", pcm16(channels * frames))
                    .fixSize()
                    .bytes;
    Result r = readBytes(file);
    ASSERT_EQ(r.open, KY_OK);
    EXPECT_EQ(r.run, KY_OK);
    EXPECT_EQ(r.channels, channels);
    EXPECT_EQ(r.frames, frames);
}

TEST(WavReader, CartChunkFields) {
    struct Case {
        const char* version;
        size_t size;
        const char* comment;
        const char* url;
    } cases[] = {{"0100", 1024, "user text", nullptr},
                 {"0101", 2048 + 9, "tag text", "http://example.invalid/cut"},
                 {"0101", 2048, "user text", "http://example.invalid/cut"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        std::vector<uint8_t> cart(c.size, 0);
        auto put = [&](size_t at, const char* text) {
            std::memcpy(&cart[at], text, std::strlen(text));
        };
        put(0, c.version);
        put(4, "Cut title");
        put(68, "Cut artist");
        put(132, "CUT-42");
        put(196, "Client");
        put(260, "NEWS");
        put(616, "user text");
        if (c.size >= 2048) put(1024, "http://example.invalid/cut");
        if (c.size > 2048) put(2048, "tag text");
        auto file = Riff()
                        .chunk("fmt ", fmtBody(1, 1, 8000, 2, 16, {}, false))
                        .chunk("cart", cart)
                        .chunk("data", pcm16(10))
                        .fixSize()
                        .bytes;
        kytest::ScratchDir dir;
        std::string p = dir.path("c.wav");
        ASSERT_TRUE(kytest::writeFile(p, file));
        kyReaderFilter* r = nullptr;
        ASSERT_EQ(cat().OpenReader(r, p.c_str(), -2), KY_OK);
        EXPECT_STREQ(r->GetPropertyA(3), "Cut title");
        EXPECT_STREQ(r->GetPropertyA(5), "Cut artist");
        EXPECT_STREQ(r->GetPropertyA(4), "CUT-42");
        EXPECT_STREQ(r->GetPropertyA(9), "Client");
        EXPECT_STREQ(r->GetPropertyA(28), "NEWS");
        EXPECT_STREQ(r->GetPropertyA(15), c.comment);
        if (c.url)
            EXPECT_STREQ(r->GetPropertyA(17), c.url);
        else
            EXPECT_EQ(r->GetPropertyA(17), nullptr);
        delete r;
    }
}

TEST(WavReader, Rf64SizesComeFromDs64) {
    std::vector<uint8_t> ds64(28, 0);
    const auto data = pcm16(1000);
    wav::put32(&ds64[8], static_cast<uint32_t>(data.size())); // data size
    wav::put32(&ds64[16], 1000);                              // sample count
    Riff f;
    std::memcpy(f.bytes.data(), "RF64", 4);
    wav::put32(&f.bytes[4], 0xFFFFFFFF);
    f.chunk("ds64", ds64)
        .chunk("fmt ", fmtBody(1, 1, 8000, 2, 16, {}, false))
        .chunk("data", data, 0xFFFFFFFF)
        .chunk("LIST", {'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M', 3, 0, 0, 0, 'R', 'F', 0, 0});
    kytest::ScratchDir dir;
    std::string p = dir.path("rf.wav");
    ASSERT_TRUE(kytest::writeFile(p, f.bytes));
    kyReaderFilter* r = nullptr;
    ASSERT_EQ(cat().OpenReader(r, p.c_str(), -2), KY_OK) << "RF64 is read, not detected";
    delete r;
    Result res = readBytes(f.bytes);
    EXPECT_EQ(res.open, KY_OK);
    EXPECT_EQ(res.frames, 1000u);
}

TEST(WavReader, SeekStartsLater) {
    kytest::ScratchDir dir;
    for (const char* sub : {"PCM 16-bit", "IMA ADPCM 4-bit"}) {
        SCOPED_TRACE(sub);
        std::string p = dir.path("s.wav");
        kyWriterFilter* w = nullptr;
        ASSERT_EQ(cat().CreateWriter(w, p.c_str(), sub, entryIndex("Microsoft wave format", true)),
                  KY_OK);
        auto* src = new kytest::MemorySource(kytest::sinePlanes(2, 5000, 22050), 22050);
        src->Connect(w);
        ASSERT_EQ(w->Run(), KY_OK);
        w->DestroyChain();
        // Whole file, then from frame 3000: the tail is the same samples.
        auto all = readBytes(kytest::readFile(p));
        EXPECT_EQ(all.frames, 5000u);
        auto tail = readBytes(kytest::readFile(p), 3000);
        EXPECT_EQ(tail.frames, 2000u);
        auto tail2 = readBytes(kytest::readFile(p), 999999);
        EXPECT_EQ(tail2.frames, 0u);
    }
}

TEST(WavReader, MpegAudioThroughLibmpg123) {
    if (!kytest::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    kytest::ScratchDir dir;
    std::string p = dir.path("mp3.wav");
    // One second of a tone as MP3 in a WAV file (tag 0x55), made by ffmpeg.
    if (!kytest::run("ffmpeg -v error -f lavfi -i sine=frequency=440:duration=1:sample_rate=44100 "
                     "-ac 2 -c:a libmp3lame -b:a 128k -y " +
                     kytest::shellQuote(p)))
        GTEST_SKIP() << "ffmpeg cannot encode MP3 here";
    Result r = readBytes(kytest::readFile(p));
    ASSERT_EQ(r.open, KY_OK);
    EXPECT_EQ(r.run, KY_OK);
    EXPECT_EQ(r.channels, 2u);
    EXPECT_EQ(r.subformat, "MPEG audio layer III");
    // Encoder delay and padding add up to a few frames of 1152.
    EXPECT_GE(r.frames, 44100u);
    EXPECT_LE(r.frames, 44100u + 4 * 1152);
}

TEST(WavReader, IndependentToolsTakeTheG72xHeaders) {
    // libsndfile dumps the header of every G.72x variant. (Its G.721 decoder unpacks the
    // codes least significant bit first, so its samples are not compared here.)
    if (!kytest::haveTool("sndfile-info")) GTEST_SKIP() << "sndfile-info is not installed";
    kytest::ScratchDir dir;
    struct Case {
        const char* sub;
        const char* format;
        const char* bits;
    } cases[] = {{"G.723 ADPCM 3-bit", "0x14", "Bit Width     : 3"},
                 {"G.721 ADPCM 4-bit", "0x40", "Bit Width     : 4"},
                 {"G.723 ADPCM 5-bit", "0x14", "Bit Width     : 5"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sub);
        std::string p = dir.path("g.wav");
        kyWriterFilter* w = nullptr;
        ASSERT_EQ(
            cat().CreateWriter(w, p.c_str(), c.sub, entryIndex("Microsoft wave format", true)),
            KY_OK);
        auto* src = new kytest::MemorySource(kytest::sinePlanes(2, 8000, 8000, 0.4f), 8000);
        src->Connect(w);
        ASSERT_EQ(w->Run(), KY_OK);
        w->DestroyChain();
        std::string s = kytest::capture("sndfile-info " + kytest::shellQuote(p));
        EXPECT_NE(s.find("Format        : " + std::string(c.format)), std::string::npos) << s;
        EXPECT_NE(s.find("Channels      : 1"), std::string::npos) << s;
        EXPECT_NE(s.find("Sample Rate   : 8000"), std::string::npos) << s;
        EXPECT_NE(s.find(c.bits), std::string::npos) << s;
    }
}
