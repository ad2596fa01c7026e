// The chunks caf_Writer writes, the byte order of each entry, "ima4" packets and their
// packet table, and what caf_Reader and the Debian tools make of them.
#include "formats/big_endian.h"
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "formats/writer_filter.h"
#include "support/chain_helpers.h"
#include "support/chunk_list.h"
#include "support/codec_test_files.h"
#include "support/format_round_trip.h"
#include <cstring>
#include <gtest/gtest.h>

namespace {

const char* const kBig = "Apple CoreAudio format (big-endian)";
const char* const kLittle = "Apple CoreAudio format (little-endian)";

using kytest::Chunk;

// The chunks of a CAF file; the file header is checked too.
std::vector<Chunk> chunks(const std::vector<uint8_t>& f) {
    EXPECT_GE(f.size(), 8u);
    if (f.size() < 8) return {};
    EXPECT_EQ(std::memcmp(f.data(), "caff", 4), 0);
    EXPECT_EQ(be::get16(&f[4]), 1); // version
    EXPECT_EQ(be::get16(&f[6]), 0); // flags
    return kytest::parseChunks(f, kytest::ChunkLayout::Caf);
}

const Chunk* find(const std::vector<Chunk>& cs, const std::string& id) {
    return kytest::findChunk(cs, id);
}

std::vector<std::string> ids(const std::vector<Chunk>& cs) {
    return kytest::chunkIds(cs);
}

kyError write(const std::string& path, const char* entry, const char* sub, kySourceFilter* src,
              uint64_t limit = 0) {
    kyWriterFilter* w = nullptr;
    kyError err = kyFormatCatalog::Instance().CreateWriter(w, path.c_str(), sub,
                                                           kytest::catalogIndex(entry, true));
    if (kyFailed(err)) return err;
    if (limit) w->SetFileSizeLimit(limit);
    src->Connect(w);
    err = w->Run();
    w->DestroyChain();
    return err;
}

kytest::MemorySource* source(uint32_t channels, uint32_t frames, uint32_t rate = 44100) {
    return new kytest::MemorySource(kytest::sinePlanes(channels, frames, rate), rate, 588);
}

struct Desc {
    double rate;
    std::string id;
    uint32_t flags, bytesPerPacket, framesPerPacket, channels, bits;
};

Desc descOf(const Chunk& c) {
    const uint8_t* d = c.body.data();
    return {be::getDouble(d),  std::string(reinterpret_cast<const char*>(d + 8), 4),
            be::get32(d + 12), be::get32(d + 16),
            be::get32(d + 20), be::get32(d + 24),
            be::get32(d + 28)};
}

} // namespace

TEST(CafWriter, DescriptionAndByteOrderOfEachEntry) {
    struct Case {
        const char* entry;
        const char* sub;
        uint32_t channels;
        const char* id;
        uint32_t flags, bytesPerPacket, bits;
        bool bigEndianSamples;
    } cases[] = {
        {kBig, "PCM 16-bit", 2, "lpcm", 0, 4, 16, true},
        {kLittle, "PCM 16-bit", 2, "lpcm", 2, 4, 16, false},
        {kBig, "PCM 24-bit", 1, "lpcm", 0, 3, 24, true},
        {kLittle, "PCM 32-bit", 2, "lpcm", 2, 8, 32, false},
        {kBig, "Float 32-bit", 2, "lpcm", 1, 8, 32, true},
        {kLittle, "Float 32-bit", 2, "lpcm", 3, 8, 32, false},
        {kLittle, "Float 64-bit", 1, "lpcm", 3, 8, 64, false},
        {kBig, "mu-Law", 2, "ulaw", 0, 2, 8, true},
        {kLittle, "A-Law", 1, "alaw", 2, 1, 8, false},
        {kLittle, "IMA ADPCM 4-bit", 2, "ima4", 0, 68, 0, true},
    };
    kytest::ScratchDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.entry) + " " + c.sub);
        std::string p = dir.path("d.caf");
        ASSERT_EQ(write(p, c.entry, c.sub, source(c.channels, 640)), KY_OK);
        auto cs = chunks(kytest::readFile(p));
        // Mono and stereo need no "chan"; no properties, no "info"; whole packets, no "pakt".
        ASSERT_EQ(ids(cs), (std::vector<std::string>{"desc", "data"}));
        ASSERT_EQ(find(cs, "desc")->size, 32u);
        Desc d = descOf(*find(cs, "desc"));
        EXPECT_EQ(d.rate, 44100.0);
        EXPECT_EQ(d.id, c.id);
        EXPECT_EQ(d.flags, c.flags);
        EXPECT_EQ(d.bytesPerPacket, c.bytesPerPacket);
        EXPECT_EQ(d.framesPerPacket, d.id == "ima4" ? 64u : 1u);
        EXPECT_EQ(d.channels, c.channels);
        EXPECT_EQ(d.bits, c.bits);
        const Chunk* data = find(cs, "data");
        EXPECT_EQ(be::get32(data->body.data()), 0u); // edit count
        const uint32_t packets = d.id == "ima4" ? 640 / 64 : 640;
        EXPECT_EQ(data->size, 4u + uint64_t(packets) * c.bytesPerPacket);
        if (std::string(c.sub) == "PCM 16-bit") {
            // The second sample of the left channel, in the entry's byte order.
            const uint8_t* s = data->body.data() + 4 + 4;
            const int16_t v =
                static_cast<int16_t>(c.bigEndianSamples ? (s[0] << 8) | s[1] : (s[1] << 8) | s[0]);
            EXPECT_EQ(v, kyRoundSample(kytest::sinePlanes(2, 2, 44100)[0][1], 16));
        }
    }
}

TEST(CafWriter, Ima4PacketTableCountsThePackets) {
    kytest::ScratchDir dir;
    std::string p = dir.path("i.caf");
    ASSERT_EQ(write(p, kBig, "IMA ADPCM 4-bit", source(2, 100)), KY_OK);
    auto cs = chunks(kytest::readFile(p));
    ASSERT_EQ(ids(cs), (std::vector<std::string>{"desc", "data", "pakt"}));
    // Two packets of 34 bytes per channel.
    EXPECT_EQ(find(cs, "data")->size, 4u + 2 * 68);
    const Chunk* pakt = find(cs, "pakt");
    ASSERT_EQ(pakt->size, 24u);
    EXPECT_EQ(be::get64(&pakt->body[0]), 2u);   // packets
    EXPECT_EQ(be::get64(&pakt->body[8]), 100u); // valid frames
    EXPECT_EQ(be::get32(&pakt->body[16]), 0u);  // priming
    EXPECT_EQ(be::get32(&pakt->body[20]), 28u); // remainder
    // Read back: 100 frames, the padding left out.
    std::vector<std::vector<float>> out;
    kyAudioFormat fmt{};
    ASSERT_EQ(kytest::readThroughCatalog(p, out, fmt), KY_OK);
    EXPECT_EQ(fmt.lengthFrames, 100u);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].size(), 100u);
    if (kytest::haveTool("ffprobe")) {
        std::string s = kytest::probeStream(p, "codec_name,channels,sample_rate");
        EXPECT_NE(s.find("codec_name=adpcm_ima_qt"), std::string::npos) << s;
    }
}

TEST(CafWriter, Ima4TakesEveryChannelCountItsCodecTakes) {
    // 32 channels fill 1088-byte packets; the packet buffer is sized by the channel count.
    kytest::ScratchDir dir;
    std::string p = dir.path("many.caf");
    auto in = kytest::sinePlanes(32, 1000, 44100, 0.4f);
    ASSERT_EQ(kytest::writeThroughCatalog(p, kytest::catalogIndex(kLittle, true), "IMA ADPCM 4-bit",
                                          in, 44100),
              KY_OK);
    auto cs = chunks(kytest::readFile(p));
    EXPECT_EQ(descOf(*find(cs, "desc")).bytesPerPacket, 34u * 32);
    EXPECT_EQ(be::get64(&find(cs, "pakt")->body[0]), 16u);
    std::vector<std::vector<float>> out;
    kyAudioFormat fmt{};
    ASSERT_EQ(kytest::readThroughCatalog(p, out, fmt), KY_OK);
    ASSERT_EQ(out.size(), 32u);
    for (uint32_t k = 0; k < 32; ++k) {
        ASSERT_EQ(out[k].size(), 1000u);
        // Each channel's own tone (up to 8 kHz, hard for ADPCM): a channel out of place
        // would be far below this.
        EXPECT_GT(kytest::snrDb(in[k], out[k], 16), 12.0) << "channel " << k;
    }
    // The codec stops at 32: refused before anything is written.
    EXPECT_EQ(kytest::writeThroughCatalog(p, kytest::catalogIndex(kLittle, true), "IMA ADPCM 4-bit",
                                          kytest::sinePlanes(33, 100, 22050), 22050),
              KYERR_CHANNEL_FORMAT);
    EXPECT_TRUE(kytest::readFile(p).empty());
}

TEST(CafWriter, ChannelLayoutBeyondStereo) {
    struct Case {
        uint32_t channels;
        uint32_t mask; // 0: the default for the count
        bool chan;
        uint32_t bitmap;
        const char* ffLayout;
    } cases[] = {
        {1, 0, false, 0, nullptr},     {2, 0, false, 0, nullptr},
        {6, 0, true, 0x3F, "5.1"},     {3, 0, true, 0x7, "3.0"},
        {4, 0x33, true, 0x33, "quad"}, {2, 0x600, true, 0x600, nullptr},
        {2, 0x7, false, 0, nullptr}, // a mask that does not fit the channels is not written
    };
    kytest::ScratchDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channels);
        auto* src = source(c.channels, 100);
        if (c.mask) src->setChannelMask(c.mask);
        std::string p = dir.path("c.caf");
        ASSERT_EQ(write(p, kLittle, "PCM 16-bit", src), KY_OK);
        auto cs = chunks(kytest::readFile(p));
        const Chunk* chan = find(cs, "chan");
        ASSERT_EQ(chan != nullptr, c.chan);
        if (!c.chan) continue;
        ASSERT_EQ(chan->size, 12u);
        EXPECT_EQ(be::get32(&chan->body[0]), 0x10000u); // use the bitmap
        EXPECT_EQ(be::get32(&chan->body[4]), c.bitmap);
        EXPECT_EQ(be::get32(&chan->body[8]), 0u);
        // Our reader takes the mask back.
        kyReaderFilter* r = nullptr;
        ASSERT_EQ(kyFormatCatalog::Instance().OpenReader(r, p.c_str(), -2), KY_OK);
        kyAudioFormat f{};
        r->GetFormat(f);
        EXPECT_EQ(f.channelMask, c.bitmap);
        delete r;
        if (c.ffLayout && kytest::haveTool("ffprobe")) {
            std::string s = kytest::probeStream(p, "channel_layout");
            EXPECT_NE(s.find(std::string("channel_layout=") + c.ffLayout), std::string::npos) << s;
        }
    }
}

TEST(CafWriter, InfoStringsReachTheTools) {
    kytest::ScratchDir dir;
    std::string p = dir.path("i.caf");
    auto* src = source(2, 1000);
    src->properties().setUtf8(3, "Nuit blanche");
    src->properties().setUtf8(5, "Zoë Ångström");
    src->properties().setUtf8(11, "Velmora Sessions");
    src->properties().setUtf8(12, "7");
    src->properties().setUtf8(13, "Jazz");
    src->properties().setUtf8(14, "1999");
    src->properties().setUtf8(15, "Live take");
    ASSERT_EQ(write(p, kBig, "", src), KY_OK);
    auto cs = chunks(kytest::readFile(p));
    EXPECT_EQ(ids(cs), (std::vector<std::string>{"desc", "info", "data"}));
    const Chunk* info = find(cs, "info");
    ASSERT_TRUE(info);
    EXPECT_EQ(be::get32(info->body.data()), 7u);
    // Key and value pairs in the table's order, each with its NUL.
    std::vector<std::string> strings;
    for (size_t pos = 4; pos < info->body.size();) {
        std::string s(reinterpret_cast<const char*>(&info->body[pos]));
        pos += s.size() + 1;
        strings.push_back(s);
    }
    EXPECT_EQ(strings,
              (std::vector<std::string>{"artist", "Zoë Ångström", "album", "Velmora Sessions",
                                        "track number", "7", "year", "1999", "genre", "Jazz",
                                        "title", "Nuit blanche", "comments", "Live take"}));
    kyReaderFilter* r = nullptr;
    ASSERT_EQ(kyFormatCatalog::Instance().OpenReader(r, p.c_str(), -2), KY_OK);
    EXPECT_STREQ(r->GetPropertyUtf8(5), "Zoë Ångström");
    EXPECT_STREQ(r->GetPropertyUtf8(3), "Nuit blanche");
    EXPECT_STREQ(r->GetPropertyUtf8(12), "7");
    EXPECT_STREQ(r->GetPropertyUtf8(15), "Live take");
    delete r;
    if (kytest::haveTool("mediainfo")) {
        std::string s = kytest::capture("mediainfo " + kytest::shellQuote(p));
        EXPECT_NE(s.find(": Zoë Ångström"), std::string::npos) << s;
        EXPECT_NE(s.find(": Velmora Sessions"), std::string::npos) << s;
        EXPECT_NE(s.find(": Nuit blanche"), std::string::npos) << s;
    }
    if (kytest::haveTool("ffprobe")) {
        std::string s = kytest::capture("ffprobe -v error -show_entries format_tags -of "
                                        "default=nw=1 " +
                                        kytest::shellQuote(p));
        EXPECT_NE(s.find("TAG:artist=Zoë Ångström"), std::string::npos) << s;
        EXPECT_NE(s.find("TAG:title=Nuit blanche"), std::string::npos) << s;
    }
}

TEST(CafWriter, FailedStreamStillSizesTheData) {
    // A write that fails part-way leaves a "data" size that matches what is there, not
    // the open-ended size.
    kytest::ScratchDir dir;
    std::string p = dir.path("f.caf");
    EXPECT_EQ(write(p, kLittle, "PCM 16-bit", source(2, 44100), 20000), KYERR_WRITE_FILE);
    auto f = kytest::readFile(p);
    auto cs = chunks(f);
    const Chunk* data = find(cs, "data");
    ASSERT_TRUE(data);
    EXPECT_NE(data->size, ~uint64_t(0));
    EXPECT_LE(f.size(), 20000u);
}
