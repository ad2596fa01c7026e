// The chunks wav_Writer adds around the audio, and what wav_Reader makes of them.
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "formats/wav_common.h"
#include "formats/writer_filter.h"
#include "support/chain_helpers.h"
#include "support/chunk_list.h"
#include "support/codec_test_files.h"
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <map>

namespace {

kyFormatCatalog& cat() {
    return kyFormatCatalog::Instance();
}

int32_t entryIndex(const char* display, bool writer) {
    return kytest::catalogIndex(display, writer);
}
const char* const kWav = "Microsoft wave format";
const char* const kBwf = "Broadcast wave format (EBU BWF)";

using kytest::Chunk;

// Top-level chunks of a RIFF/WAVE file, in order; sizes and pad bytes are checked.
std::vector<Chunk> chunks(const std::vector<uint8_t>& f) {
    EXPECT_GE(f.size(), 12u);
    if (f.size() < 12) return {};
    EXPECT_EQ(std::memcmp(f.data(), "RIFF", 4), 0);
    EXPECT_EQ(wav::get32(&f[4]), f.size() - 8) << "RIFF size";
    return kytest::parseChunks(f, kytest::ChunkLayout::Riff);
}

const Chunk* find(const std::vector<Chunk>& cs, const std::string& id) {
    return kytest::findChunk(cs, id);
}

std::vector<std::string> ids(const std::vector<Chunk>& cs) {
    return kytest::chunkIds(cs);
}

// INFO items (id -> text with its NUL, pad bytes checked).
std::map<std::string, std::string> infoItems(const Chunk& list, std::vector<std::string>* order) {
    std::map<std::string, std::string> items;
    const std::vector<uint8_t>& b = list.body;
    size_t pos = 4;
    while (pos + 8 <= b.size()) {
        std::string id(reinterpret_cast<const char*>(&b[pos]), 4);
        uint32_t n = wav::get32(&b[pos + 4]);
        items[id] = std::string(reinterpret_cast<const char*>(&b[pos + 8]), n);
        if (order) order->push_back(id);
        if (n & 1) EXPECT_EQ(b[pos + 8 + n], 0) << "pad byte after " << id;
        pos += 8 + n + (n & 1);
    }
    EXPECT_EQ(pos, b.size());
    return items;
}

kyError write(const std::string& path, const char* entry, const char* sub, kySourceFilter* src) {
    kyWriterFilter* w = nullptr;
    kyError err = cat().CreateWriter(w, path.c_str(), sub, entryIndex(entry, true));
    if (kyFailed(err)) return err;
    src->Connect(w);
    err = w->Run();
    w->DestroyChain();
    return err;
}

kytest::MemorySource* stereoSource(uint32_t frames = 4410) {
    return new kytest::MemorySource(kytest::sinePlanes(2, frames, 44100), 44100, 588);
}

} // namespace

TEST(WavMetadata, PlainCdTrackLayout) {
    kytest::ScratchDir dir;
    std::string p = dir.path("t.wav");
    ASSERT_EQ(write(p, kWav, "", stereoSource()), KY_OK);
    auto cs = chunks(kytest::readFile(p));
    EXPECT_EQ(ids(cs), (std::vector<std::string>{"fmt ", "data", "LIST/INFO"}));
    const Chunk* fmt = find(cs, "fmt ");
    ASSERT_TRUE(fmt);
    ASSERT_EQ(fmt->size, 16u);
    const uint8_t* f = fmt->body.data();
    EXPECT_EQ(wav::get16(f), 1);
    EXPECT_EQ(wav::get16(f + 2), 2);
    EXPECT_EQ(wav::get32(f + 4), 44100u);
    EXPECT_EQ(wav::get32(f + 8), 176400u);
    EXPECT_EQ(wav::get16(f + 12), 4);
    EXPECT_EQ(wav::get16(f + 14), 16);
    EXPECT_EQ(find(cs, "data")->size, 4410u * 4);
    auto info = infoItems(*find(cs, "LIST/INFO"), nullptr);
    EXPECT_EQ(info["ISFT"], std::string("ZiV++ v4.2", 11));
    if (kytest::haveTool("sndfile-info")) {
        // libsndfile takes the file: channels, rate and length as written.
        std::string s = kytest::capture("sndfile-info " + kytest::shellQuote(p));
        EXPECT_NE(s.find("Frames      : 4410"), std::string::npos) << s;
        EXPECT_NE(s.find("Channels    : 2"), std::string::npos) << s;
        EXPECT_NE(s.find("Sample Rate : 44100"), std::string::npos) << s;
    }
}

TEST(WavMetadata, BroadcastExtensionAndCodingHistory) {
    kytest::ScratchDir dir;
    std::string p = dir.path("b.wav");
    auto* src = stereoSource();
    src->properties().setA(3, "Title text");
    src->properties().setA(9, "Velmora Radio");
    src->properties().setA(28, "GBAYE0000001");
    src->properties().setA(14, "2024-05-17 13:45:10");
    src->properties().setA(30, "10");
    ASSERT_EQ(write(p, kBwf, "", src), KY_OK);
    auto cs = chunks(kytest::readFile(p));
    EXPECT_EQ(ids(cs), (std::vector<std::string>{"bext", "fmt ", "data", "LIST/INFO"}));
    const Chunk* bext = find(cs, "bext");
    ASSERT_TRUE(bext);
    const std::string history = "A=PCM,F=44100,W=16,M=stereo,T=Velmora ZiV++ engine v4.2\r\n";
    EXPECT_EQ(bext->size, 602 + history.size() + 1);
    const uint8_t* b = bext->body.data();
    EXPECT_STREQ(reinterpret_cast<const char*>(b), "Title text"); // no comment: the title
    EXPECT_STREQ(reinterpret_cast<const char*>(b + 256), "Velmora Radio");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 288), 12), "GBAYE0000001");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 320), 10), "2024:05:17");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 330), 8), "13:45:10");
    EXPECT_EQ(wav::get32(b + 338), 441000u);
    EXPECT_EQ(wav::get32(b + 342), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 602)), history);

    // The reader gives the fields back.
    kyReaderFilter* r = nullptr;
    ASSERT_EQ(cat().OpenReader(r, p.c_str(), -2), KY_OK);
    EXPECT_STREQ(r->GetPropertyA(1), kBwf); // detected by its "bext"
    EXPECT_STREQ(r->GetPropertyA(15), "Title text");
    EXPECT_STREQ(r->GetPropertyA(9), "Velmora Radio");
    // The INFO date that follows the "bext" has the last word.
    EXPECT_STREQ(r->GetPropertyA(14), "2024-05-17 13:45:10");
    EXPECT_STREQ(r->GetPropertyA(28), "GBAYE0000001");
    delete r;

    // BWF takes at most two channels.
    EXPECT_EQ(write(p, kBwf, "", new kytest::MemorySource(kytest::sinePlanes(3, 10, 44100), 44100)),
              KYERR_CHANNEL_FORMAT);
}

TEST(WavMetadata, ReplayGainWords) {
    struct Case {
        const char* track;
        const char* album; // null: none
        const char* peak;
        uint16_t radio, audiophile;
        float storedPeak;
    } cases[] = {
        {"-6.25 dB", nullptr, nullptr, 0x2E3F, 0x423F, 1.0f},
        {"3.1", "-1.0", "0.5", 0x2C1F, 0x4E0A, 0.5f},
        {"-60", nullptr, "0.25", 0x0FFE, 0x43FE, 0.25f}, // beyond 51 dB: 510, name 0
    };
    kytest::ScratchDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.track);
        auto* src = stereoSource(100);
        src->properties().setA(23, c.track);
        if (c.album) src->properties().setA(24, c.album);
        if (c.peak) src->properties().setA(27, c.peak);
        std::string p = dir.path("g.wav");
        ASSERT_EQ(write(p, kWav, "", src), KY_OK);
        auto cs = chunks(kytest::readFile(p));
        const Chunk* rg = find(cs, "rgad");
        ASSERT_TRUE(rg);
        ASSERT_EQ(rg->size, 8u);
        float peak;
        std::memcpy(&peak, rg->body.data(), 4);
        EXPECT_EQ(peak, c.storedPeak);
        EXPECT_EQ(wav::get16(&rg->body[4]), c.radio);
        EXPECT_EQ(wav::get16(&rg->body[6]), c.audiophile);
    }
    // And back: -6.25 dB was stored as -6.3 dB (tenths).
    std::string p = dir.path("g2.wav");
    auto* src = stereoSource(100);
    src->properties().setA(23, "-6.25");
    src->properties().setA(27, "0.5");
    ASSERT_EQ(write(p, kWav, "", src), KY_OK);
    kyReaderFilter* r = nullptr;
    ASSERT_EQ(cat().OpenReader(r, p.c_str(), -2), KY_OK);
    EXPECT_STREQ(r->GetPropertyA(23), "-6.300000 dB");
    EXPECT_STREQ(r->GetPropertyA(27), "0.500000");
    EXPECT_EQ(r->GetPropertyA(24), nullptr); // the audiophile word has no originator
    delete r;
}

TEST(WavMetadata, InfoItemsAndPadBytes) {
    kytest::ScratchDir dir;
    auto* src = stereoSource(100);
    src->properties().setA(3, "Odd");     // 4 bytes with the NUL: no pad
    src->properties().setA(5, "Artists"); // 8 bytes: no pad
    src->properties().setA(11, "Album!"); // 7 bytes: a pad byte
    src->properties().setA(12, "7");
    src->properties().setA(13, "Jazz");
    src->properties().setA(14, "1999");
    std::string p = dir.path("i.wav");
    ASSERT_EQ(write(p, kWav, "PCM 24-bit", src), KY_OK);
    auto cs = chunks(kytest::readFile(p));
    // The 24-bit stereo data of 100 frames is even; the INFO list comes after it.
    EXPECT_EQ(ids(cs).back(), "LIST/INFO");
    std::vector<std::string> order;
    auto info = infoItems(*find(cs, "LIST/INFO"), &order);
    EXPECT_EQ(order,
              (std::vector<std::string>{"INAM", "IART", "IPRD", "TRCK", "IGNR", "ICRD", "ISFT"}));
    EXPECT_EQ(info["IPRD"], std::string("Album!", 7));

    kyReaderFilter* r = nullptr;
    ASSERT_EQ(cat().OpenReader(r, p.c_str(), -2), KY_OK);
    EXPECT_STREQ(r->GetPropertyA(3), "Odd");
    EXPECT_STREQ(r->GetPropertyA(5), "Artists");
    EXPECT_STREQ(r->GetPropertyA(11), "Album!");
    EXPECT_STREQ(r->GetPropertyA(14), "1999");
    delete r;
}

TEST(WavMetadata, OddDataGetsItsPadByte) {
    kytest::ScratchDir dir;
    std::string p = dir.path("o.wav");
    ASSERT_EQ(write(p, kWav, "PCM 8-bit",
                    new kytest::MemorySource(kytest::sinePlanes(1, 101, 8000), 8000)),
              KY_OK);
    auto f = kytest::readFile(p);
    auto cs = chunks(f);
    EXPECT_EQ(find(cs, "data")->size, 101u);
    // Silence in unsigned 8-bit is 0x80.
    ASSERT_EQ(
        write(p, kWav, "PCM 8-bit", new kytest::MemorySource({std::vector<float>(4, 0.0f)}, 8000)),
        KY_OK);
    cs = chunks(kytest::readFile(p));
    EXPECT_EQ(find(cs, "data")->body, (std::vector<uint8_t>{0x80, 0x80, 0x80, 0x80}));
}

TEST(WavMetadata, FactForEveryTagButPcm) {
    kytest::ScratchDir dir;
    for (const char* sub : {"Float 32-bit", "mu-Law", "IMA ADPCM 4-bit"}) {
        std::string p = dir.path("f.wav");
        ASSERT_EQ(write(p, kWav, sub, stereoSource(3000)), KY_OK);
        auto cs = chunks(kytest::readFile(p));
        std::vector<std::string> expect = {"fmt ", "fact", "data", "LIST/INFO"};
        EXPECT_EQ(ids(cs), expect) << sub;
        ASSERT_TRUE(find(cs, "fact"));
        EXPECT_EQ(wav::get32(find(cs, "fact")->body.data()), 3000u) << sub;
    }
}

TEST(WavMetadata, SamplerChunk) {
    kytest::ScratchDir dir;
    auto* src = stereoSource(1000);
    src->properties().setA(21, "64");
    src->properties().setA(22, "-25");
    src->properties().setA(18, "100.4");
    src->properties().setA(19, "900.75");
    src->properties().setA(20, "bid");
    std::string p = dir.path("s.wav");
    ASSERT_EQ(write(p, kWav, "", src), KY_OK);
    auto cs = chunks(kytest::readFile(p));
    EXPECT_EQ(ids(cs).back(), "smpl");
    const Chunk* s = find(cs, "smpl");
    ASSERT_TRUE(s);
    ASSERT_EQ(s->size, 60u);
    const uint8_t* b = s->body.data();
    EXPECT_EQ(wav::get32(b + 8), 1000000000u / 44100);
    EXPECT_EQ(wav::get32(b + 12), 65u); // -25 cents: the note up one, +75 cents
    EXPECT_EQ(wav::get32(b + 16), static_cast<uint32_t>(0.75 * 4294967295.0));
    EXPECT_EQ(wav::get32(b + 28), 1u);
    EXPECT_EQ(wav::get32(b + 36 + 4), 1u);   // bidirectional
    EXPECT_EQ(wav::get32(b + 36 + 8), 100u); // start
    EXPECT_EQ(wav::get32(b + 36 + 12), 899u);

    kyReaderFilter* r = nullptr;
    ASSERT_EQ(cat().OpenReader(r, p.c_str(), -2), KY_OK);
    EXPECT_STREQ(r->GetPropertyA(21), "64");
    EXPECT_STREQ(r->GetPropertyA(22), "-25");
    EXPECT_STREQ(r->GetPropertyA(18), "100");
    EXPECT_STREQ(r->GetPropertyA(20), "bid");
    delete r;

    // BWF never has one.
    auto* src2 = stereoSource(100);
    src2->properties().setA(21, "64");
    ASSERT_EQ(write(p, kBwf, "", src2), KY_OK);
    EXPECT_EQ(find(chunks(kytest::readFile(p)), "smpl"), nullptr);
}

TEST(WavMetadata, CuePointsTravelFromReaderToWriter) {
    kytest::ScratchDir dir;
    // A file with two cue points and their labels, made by hand.
    kytest::WavFormat f;
    f.tag = 1;
    f.channels = 1;
    f.rate = 8000;
    f.bits = 16;
    f.blockAlign = 2;
    f.bytesPerSecond = 16000;
    std::vector<uint8_t> file = kytest::makeWav(f, std::vector<uint8_t>(2000, 0));
    auto append = [&](const char* id, std::vector<uint8_t> body) {
        file.insert(file.end(), id, id + 4);
        uint8_t s[4];
        wav::put32(s, static_cast<uint32_t>(body.size()));
        file.insert(file.end(), s, s + 4);
        file.insert(file.end(), body.begin(), body.end());
        if (body.size() & 1) file.push_back(0);
    };
    std::vector<uint8_t> cue(4 + 48, 0);
    wav::put32(&cue[0], 2);
    for (uint32_t i = 0; i < 2; ++i) {
        wav::put32(&cue[4 + i * 24], 7 + i);
        wav::put32(&cue[4 + i * 24 + 4], 100 * (i + 1));
        std::memcpy(&cue[4 + i * 24 + 8], "data", 4);
        wav::put32(&cue[4 + i * 24 + 20], 100 * (i + 1));
    }
    append("cue ", cue);
    std::vector<uint8_t> adtl = {'a', 'd', 't', 'l'};
    for (auto [id, text] : {std::pair<uint32_t, const char*>{7, "Intro"}, {8, "Verse"}}) {
        uint8_t h[12] = {'l', 'a', 'b', 'l'};
        wav::put32(h + 4, static_cast<uint32_t>(4 + std::strlen(text) + 1));
        wav::put32(h + 8, id);
        adtl.insert(adtl.end(), h, h + 12);
        adtl.insert(adtl.end(), text, text + std::strlen(text) + 1);
    }
    append("LIST", adtl);
    wav::put32(&file[4], static_cast<uint32_t>(file.size() - 8));
    std::string in = dir.path("in.wav"), out = dir.path("out.wav");
    ASSERT_TRUE(kytest::writeFile(in, file));

    kyReaderFilter* r = nullptr;
    ASSERT_EQ(cat().OpenReader(r, in.c_str(), -2), KY_OK);
    uint32_t frame = 0;
    std::string name;
    ASSERT_TRUE(r->GetMarker(1, frame, name));
    EXPECT_EQ(frame, 200u);
    EXPECT_EQ(name, "Verse");
    EXPECT_FALSE(r->GetMarker(2, frame, name));
    ASSERT_EQ(write(out, kWav, "", r), KY_OK);

    auto cs = chunks(kytest::readFile(out));
    EXPECT_EQ(ids(cs),
              (std::vector<std::string>{"fmt ", "cue ", "LIST/adtl", "data", "LIST/INFO"}));
    const Chunk* c = find(cs, "cue ");
    ASSERT_EQ(c->size, 4u + 48);
    EXPECT_EQ(wav::get32(&c->body[0]), 2u);
    EXPECT_EQ(wav::get32(&c->body[4]), 1u); // renumbered from 1
    EXPECT_EQ(wav::get32(&c->body[4 + 24 + 4]), 200u);
    const Chunk* l = find(cs, "LIST/adtl");
    // "labl" of 4 + "Intro" + NUL = 10, then 4 + "Verse" + NUL = 10.
    ASSERT_EQ(l->size, 4u + 2 * (8 + 10));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&l->body[4 + 8 + 4])), "Intro");
}

TEST(WavWriter, StopsAtTheRiffSizeLimit) {
    // The 32-bit sizes cannot describe the file past the limit: the stream fails instead
    // of wrapping. A small limit stands in for 4 GiB.
    kytest::ScratchDir dir;
    std::string p = dir.path("big.wav");
    kyWriterFilter* w = nullptr;
    ASSERT_EQ(cat().CreateWriter(w, p.c_str(), "PCM 16-bit", entryIndex(kWav, true)), KY_OK);
    w->SetFileSizeLimit(10000);
    auto* src = stereoSource(44100);
    src->Connect(w);
    EXPECT_EQ(w->Run(), KYERR_WRITE_FILE);
    w->DestroyChain();
    EXPECT_LE(kytest::readFile(p).size(), 10000u);
}
