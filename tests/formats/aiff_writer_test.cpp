// The chunks aiff_Writer writes around the audio, the limits it keeps, and what
// aiff_Reader and the Debian tools make of them.
#include "formats/aiff_common.h"
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "formats/writer_filter.h"
#include "support/chain_helpers.h"
#include "support/chunk_list.h"
#include "support/codec_test_files.h"
#include "support/format_round_trip.h"
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

namespace {

const char* const kAiff = "Audio interchange file format";
const char* const kAifc = "Audio interchange file format - Compressed";

using kytest::Chunk;

// The chunks of a FORM file; the FORM header and size are checked too.
std::vector<Chunk> chunks(const std::vector<uint8_t>& f, const char* formType = "AIFF") {
    EXPECT_GE(f.size(), 12u);
    if (f.size() < 12) return {};
    EXPECT_EQ(std::memcmp(f.data(), "FORM", 4), 0);
    EXPECT_EQ(be::get32(&f[4]), f.size() - 8) << "FORM size";
    EXPECT_EQ(std::memcmp(&f[8], formType, 4), 0);
    return kytest::parseChunks(f, kytest::ChunkLayout::Form);
}

const Chunk* find(const std::vector<Chunk>& cs, const std::string& id) {
    return kytest::findChunk(cs, id);
}

std::vector<std::string> ids(const std::vector<Chunk>& cs) {
    return kytest::chunkIds(cs);
}

kyError write(const std::string& path, const char* entry, const char* sub, kySourceFilter* src) {
    kyWriterFilter* w = nullptr;
    kyError err = kyFormatCatalog::Instance().CreateWriter(w, path.c_str(), sub,
                                                           kytest::catalogIndex(entry, true));
    if (kyFailed(err)) return err;
    src->Connect(w);
    err = w->Run();
    w->DestroyChain();
    return err;
}

kytest::MemorySource* source(uint32_t channels, uint32_t frames, uint32_t rate = 44100) {
    return new kytest::MemorySource(kytest::sinePlanes(channels, frames, rate), rate, 588);
}

} // namespace

TEST(AiffWriter, SampleRateAsExtended) {
    struct Case {
        double rate;
        uint8_t bytes[10];
    } cases[] = {
        {44100, {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}},
        {48000, {0x40, 0x0E, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}},
        {22050, {0x40, 0x0D, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}},
        {96000, {0x40, 0x0F, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}},
        {8000, {0x40, 0x0B, 0xFA, 0x00, 0, 0, 0, 0, 0, 0}},
        {1, {0x3F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0}},
        {0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {1e300 * 1e300, {0x7F, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}}, // too large: no mantissa
    };
    kytest::ScratchDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        uint8_t b[10];
        aiff::PutExtended(b, c.rate);
        EXPECT_EQ(std::vector<uint8_t>(b, b + 10), std::vector<uint8_t>(c.bytes, c.bytes + 10));
        if (std::isfinite(c.rate)) {
            EXPECT_EQ(aiff::GetExtended(c.bytes), c.rate);
        }
        if (c.rate < 8000 || !std::isfinite(c.rate)) continue;
        // And in the COMM chunk of a file at that rate.
        std::string p = dir.path("r.aiff");
        const uint32_t rate = static_cast<uint32_t>(c.rate);
        ASSERT_EQ(write(p, kAiff, "PCM 16-bit", source(2, 100, rate)), KY_OK);
        auto cs = chunks(kytest::readFile(p));
        const Chunk* comm = find(cs, "COMM");
        ASSERT_TRUE(comm);
        EXPECT_EQ(std::vector<uint8_t>(comm->body.begin() + 8, comm->body.begin() + 18),
                  std::vector<uint8_t>(c.bytes, c.bytes + 10));
    }
    // Fractions survive: 22254.545... (a classic Macintosh rate).
    uint8_t b[10];
    aiff::PutExtended(b, 22254.54545454545);
    EXPECT_DOUBLE_EQ(aiff::GetExtended(b), 22254.54545454545);
    EXPECT_TRUE(std::isnan(aiff::GetExtended(cases[7].bytes)));
}

TEST(AiffWriter, StereoCdTrackLayout) {
    kytest::ScratchDir dir;
    std::string p = dir.path("t.aiff");
    const uint32_t n = 4410;
    auto* src = source(2, n);
    src->properties().setA(3, "Four");
    ASSERT_EQ(write(p, kAiff, "", src), KY_OK);
    auto f = kytest::readFile(p);
    auto cs = chunks(f);
    // No loop and no MIDI note: no MARK and no INST.
    EXPECT_EQ(ids(cs), (std::vector<std::string>{"COMM", "SSND", "NAME"}));
    const Chunk* comm = find(cs, "COMM");
    ASSERT_EQ(comm->size, 18u);
    EXPECT_EQ(be::get16(&comm->body[0]), 2);
    EXPECT_EQ(be::get32(&comm->body[2]), n);
    EXPECT_EQ(be::get16(&comm->body[6]), 16);
    const Chunk* ssnd = find(cs, "SSND");
    EXPECT_EQ(ssnd->size, 4 * n + 8);
    EXPECT_EQ(be::get32(&ssnd->body[0]), 0u); // offset
    EXPECT_EQ(be::get32(&ssnd->body[4]), 0u); // block size
    // A 4-character title: the text, its NUL and a zero byte.
    const Chunk* name = find(cs, "NAME");
    EXPECT_EQ(name->size, 6u);
    EXPECT_EQ(name->body, (std::vector<uint8_t>{'F', 'o', 'u', 'r', 0, 0}));
    // Samples are big-endian and signed.
    auto in = kytest::sinePlanes(2, n, 44100);
    const int16_t first = static_cast<int16_t>(be::get16(&ssnd->body[8 + 4]));
    EXPECT_EQ(first, kyRoundSample(in[0][1], 16));
}

TEST(AiffWriter, EightBitSamplesAreSignedAndOddDataIsPadded) {
    kytest::ScratchDir dir;
    std::string p = dir.path("e.aiff");
    ASSERT_EQ(write(p, kAiff, "PCM 8-bit",
                    new kytest::MemorySource({std::vector<float>(101, 0.0f)}, 8000)),
              KY_OK);
    auto cs = chunks(kytest::readFile(p)); // checks the pad byte
    const Chunk* ssnd = find(cs, "SSND");
    ASSERT_EQ(ssnd->size, 101u + 8);
    EXPECT_EQ(std::vector<uint8_t>(ssnd->body.begin() + 8, ssnd->body.end()),
              std::vector<uint8_t>(101, 0x00)); // silence is 0, not 0x80 as in WAV
    EXPECT_EQ(be::get16(&find(cs, "COMM")->body[6]), 8);
}

TEST(AiffWriter, OnlyItsListedSubformats) {
    kytest::ScratchDir dir;
    for (const char* sub : {"PCM 12-bit (16)", "Float 32-bit", "IMA ADPCM 4-bit"})
        EXPECT_EQ(write(dir.path("x.aiff"), kAiff, sub, source(2, 10)), KYERR_DATA_FORMAT) << sub;
    EXPECT_EQ(write(dir.path("x.aifc"), kAifc, "GSM 06.10", source(1, 10)), KYERR_DATA_FORMAT);
}

TEST(AiffWriter, TextChunksReachTheTools) {
    kytest::ScratchDir dir;
    std::string p = dir.path("m.aiff");
    auto* src = source(2, 2000);
    src->properties().setA(3, "Night Drive");
    src->properties().setA(5, "The Velmora Trio");
    src->properties().setA(16, "(C) 2024 Velmora");
    src->properties().setA(15, "Recorded live");
    ASSERT_EQ(write(p, kAiff, "", src), KY_OK);
    auto cs = chunks(kytest::readFile(p));
    EXPECT_EQ(ids(cs), (std::vector<std::string>{"COMM", "SSND", "NAME", "AUTH", "(c) ", "ANNO"}));
    EXPECT_EQ(find(cs, "AUTH")->size, 18u); // 16 characters, NUL, no pad
    EXPECT_EQ(find(cs, "ANNO")->size, 14u); // 13 characters, NUL

    kyReaderFilter* r = nullptr;
    ASSERT_EQ(kyFormatCatalog::Instance().OpenReader(r, p.c_str(), -2), KY_OK);
    EXPECT_STREQ(r->GetPropertyA(3), "Night Drive");
    EXPECT_STREQ(r->GetPropertyA(5), "The Velmora Trio");
    EXPECT_STREQ(r->GetPropertyA(16), "(C) 2024 Velmora");
    EXPECT_STREQ(r->GetPropertyA(15), "Recorded live");
    delete r;

    if (kytest::haveTool("mediainfo")) {
        std::string s = kytest::capture("mediainfo " + kytest::shellQuote(p));
        EXPECT_NE(s.find("Track name                               : Night Drive"),
                  std::string::npos)
            << s;
        EXPECT_NE(s.find("Performer                                : The Velmora Trio"),
                  std::string::npos)
            << s;
        EXPECT_NE(s.find("Copyright                                : (C) 2024 Velmora"),
                  std::string::npos)
            << s;
        EXPECT_NE(s.find("Comment                                  : Recorded live"),
                  std::string::npos)
            << s;
    }
    if (kytest::haveTool("ffprobe")) {
        std::string s = kytest::capture("ffprobe -v error -show_entries format_tags -of "
                                        "default=nw=1 " +
                                        kytest::shellQuote(p));
        EXPECT_NE(s.find("TAG:title=Night Drive"), std::string::npos) << s;
        EXPECT_NE(s.find("TAG:author=The Velmora Trio"), std::string::npos) << s;
    }
}

TEST(AiffWriter, LoopMarkersAndInstrument) {
    struct Case {
        const char* what;
        std::vector<std::pair<uint32_t, const char*>> props;
        bool mark;
        bool inst;
        uint32_t baseNote;
        int detune;
        int gain;
        uint32_t playMode;
        uint32_t begin, end; // marker positions
    } cases[] = {
        {"nothing", {}, false, false, 0, 0, 0, 0, 0, 0},
        {"note only", {{21, "64"}, {22, "-25"}}, false, true, 64, -25, 0, 0, 0, 0},
        // Without a note the instrument plays at middle C.
        {"loop back and forth",
         {{18, "100.4"}, {19, "900.75"}, {20, "bid"}, {23, "-6.5"}},
         true,
         true,
         60,
         0,
         -7,
         2,
         100,
         901},
        {"forward loop, note out of range",
         {{18, "0"}, {19, "500"}, {20, "fwd"}, {21, "200"}, {22, "80"}},
         true,
         true,
         127,
         50,
         0,
         1,
         0,
         500},
        {"loop without a mode", {{19, "300"}}, true, true, 60, 0, 0, 0, 0, 300},
    };
    kytest::ScratchDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto* src = source(1, 1000);
        for (auto [slot, text] : c.props) src->properties().setA(slot, text);
        std::string p = dir.path("l.aiff");
        ASSERT_EQ(write(p, kAiff, "", src), KY_OK);
        auto cs = chunks(kytest::readFile(p));
        const Chunk* mark = find(cs, "MARK");
        const Chunk* inst = find(cs, "INST");
        ASSERT_EQ(mark != nullptr, c.mark);
        ASSERT_EQ(inst != nullptr, c.inst);
        if (c.mark) {
            ASSERT_EQ(mark->size, 34u);
            const uint8_t* m = mark->body.data();
            EXPECT_EQ(be::get16(m), 2);
            EXPECT_EQ(be::get16(m + 2), 1);
            EXPECT_EQ(be::get32(m + 4), c.begin);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(m + 8), 9), "\x08"
                                                                            "beg loop");
            EXPECT_EQ(be::get16(m + 18), 2);
            EXPECT_EQ(be::get32(m + 20), c.end);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(m + 24), 9), "\x08"
                                                                             "end loop");
        }
        if (c.inst) {
            ASSERT_EQ(inst->size, 20u);
            const uint8_t* b = inst->body.data();
            EXPECT_EQ(b[0], c.baseNote);
            EXPECT_EQ(static_cast<int8_t>(b[1]), c.detune);
            EXPECT_EQ((std::vector<uint8_t>{b[2], b[3], b[4], b[5]}),
                      (std::vector<uint8_t>{0, 127, 0, 127}));
            EXPECT_EQ(static_cast<int16_t>(be::get16(b + 6)), c.gain);
            for (const uint8_t* l : {b + 8, b + 14}) {
                EXPECT_EQ(be::get16(l), c.playMode);
                EXPECT_EQ(be::get16(l + 2), c.playMode ? 1 : 0);
                EXPECT_EQ(be::get16(l + 4), c.playMode ? 2 : 0);
            }
        }
        // Our reader gives the loop and the note back.
        kyReaderFilter* r = nullptr;
        ASSERT_EQ(kyFormatCatalog::Instance().OpenReader(r, p.c_str(), -2), KY_OK);
        if (c.inst) {
            EXPECT_EQ(r->GetPropertyA(21), std::to_string(c.baseNote));
            EXPECT_EQ(r->GetPropertyA(22), std::to_string(c.detune));
        } else {
            EXPECT_EQ(r->GetPropertyA(21), nullptr);
        }
        if (c.playMode) {
            EXPECT_EQ(r->GetPropertyA(18), std::to_string(c.begin));
            EXPECT_EQ(r->GetPropertyA(19), std::to_string(c.end));
            EXPECT_STREQ(r->GetPropertyA(20), c.playMode == 2 ? "bid" : "fwd");
        } else {
            EXPECT_EQ(r->GetPropertyA(20), nullptr);
        }
        uint32_t frame = 0;
        std::string name;
        EXPECT_EQ(r->GetMarker(1, frame, name), c.mark);
        if (c.mark) {
            EXPECT_EQ(name, "end loop");
        }
        delete r;
    }
}

TEST(AiffWriter, AifcHeaderNamesItsCompression) {
    struct Case {
        const char* sub;
        const char* type;
        std::string name;
        uint32_t sampleSize;
        uint32_t commSize;
    } cases[] = {
        {"PCM 24-bit", "NONE", "not compressed", 24, 18 + 4 + 16},
        {"Float 32-bit", "fl32", "32-bit floating point", 32, 18 + 4 + 22},
        {"Float 64-bit", "fl64", "64-bit floating point", 64, 18 + 4 + 22},
        {"mu-Law", "ulaw", "\xB5Law 2:1", 16, 18 + 4 + 10},
        {"A-Law", "alaw", "aLaw 2:1", 16, 18 + 4 + 10},
        {"IMA ADPCM 4-bit", "ima4", "IMA 4:1", 16, 18 + 4 + 8},
    };
    kytest::ScratchDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sub);
        std::string p = dir.path("c.aifc");
        ASSERT_EQ(write(p, kAifc, c.sub, source(2, 100)), KY_OK);
        auto cs = chunks(kytest::readFile(p), "AIFC");
        ASSERT_EQ(ids(cs), (std::vector<std::string>{"FVER", "COMM", "SSND"}));
        EXPECT_EQ(be::get32(find(cs, "FVER")->body.data()), 0xA2805140u);
        const Chunk* comm = find(cs, "COMM");
        ASSERT_EQ(comm->size, c.commSize);
        EXPECT_EQ(be::get16(&comm->body[6]), c.sampleSize);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&comm->body[18]), 4), c.type);
        EXPECT_EQ(comm->body[22], c.name.size());
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&comm->body[23]), c.name.size()),
                  c.name);
        if (std::string(c.type) == "ima4") {
            // 100 stereo frames: two packets of 34 bytes per channel; COMM counts packets.
            EXPECT_EQ(be::get32(&comm->body[2]), 2u);
            EXPECT_EQ(find(cs, "SSND")->size, 2u * 68 + 8);
        } else {
            EXPECT_EQ(be::get32(&comm->body[2]), 100u);
        }
    }
}

TEST(AiffWriter, StopsBeforeItsSizesOverflow) {
    // FORM, COMM and SSND sizes are signed 32-bit: past the limit the stream fails instead
    // of wrapping. A small limit stands in for 2 GiB.
    kytest::ScratchDir dir;
    for (const char* entry : {kAiff, kAifc}) {
        SCOPED_TRACE(entry);
        std::string p = dir.path("big.aiff");
        kyWriterFilter* w = nullptr;
        ASSERT_EQ(kyFormatCatalog::Instance().CreateWriter(w, p.c_str(), "PCM 16-bit",
                                                           kytest::catalogIndex(entry, true)),
                  KY_OK);
        w->SetFileSizeLimit(10000);
        auto* src = source(2, 44100);
        src->Connect(w);
        EXPECT_EQ(w->Run(), KYERR_WRITE_FILE);
        w->DestroyChain();
        EXPECT_LE(kytest::readFile(p).size(), 10000u);
    }
    // The limit the format allows: a FORM size of at most 2^31 - 1.
    EXPECT_EQ(aiff::kFileLimit, 0x7FFFFFFFull + 8);
}
