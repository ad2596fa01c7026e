// The QuickTime writer's boxes: brands, sample descriptions, chunking, the channel layout,
// 64-bit sizes past the 32-bit limit, the movie time scale, QuickTime text atoms (read by
// exiftool), and what a failed stream leaves behind.
#include "core/quantizer.h"
#include "formats/format_catalog.h"
#include "formats/mov_common.h"
#include "formats/mov_writer.h"
#include "formats/reader_filter.h"
#include "platform/temp_file.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include "support/mp4_files.h"
#include "support/round_trip.h"
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

namespace {

using kytest::be16;
using kytest::be32;
using kytest::be64;
using kytest::Mp4Box;

constexpr const char* kMov = "Apple QuickTime movie format";
constexpr const char* kStbl = "moov/trak/mdia/minf/stbl/";

kyFormatCatalog& cat() {
    return kyFormatCatalog::Instance();
}

struct Written {
    kyError result = KY_OK;
    std::vector<uint8_t> file;
};

// Writes `planes` through the entry named `format`; `setup` may adjust the writer and the
// source before the run.
template <typename Setup>
Written write(const std::string& path, const char* format, const char* subformat,
              std::vector<std::vector<float>> planes, uint32_t rate, Setup setup) {
    Written w;
    kyWriterFilter* writer = nullptr;
    w.result =
        cat().CreateWriter(writer, path.c_str(), subformat, kytest::catalogIndex(format, true));
    if (kyFailed(w.result)) return w;
    auto* src = new kytest::MemorySource(std::move(planes), rate, 1000);
    src->Connect(writer);
    setup(*static_cast<mov_Writer*>(writer), *src);
    w.result = writer->Run();
    writer->DestroyChain();
    w.file = kytest::readFile(path);
    return w;
}
Written write(const std::string& path, const char* format, const char* subformat,
              std::vector<std::vector<float>> planes, uint32_t rate) {
    return write(path, format, subformat, std::move(planes), rate,
                 [](mov_Writer&, kytest::MemorySource&) {});
}

// A QuickTime sample entry (version 1) has 44 bytes of fields before its boxes.
Mp4Box box(const std::vector<uint8_t>& file, const std::string& path, size_t entryFields = 44) {
    Mp4Box b;
    EXPECT_TRUE(kytest::mp4Find(file, path, b, entryFields)) << path;
    return b;
}

// The (first chunk, samples per chunk, description) entries of "stsc".
std::vector<std::array<uint32_t, 3>> stscEntries(const std::vector<uint8_t>& file) {
    const Mp4Box b = box(file, std::string(kStbl) + "stsc");
    std::vector<std::array<uint32_t, 3>> out;
    for (uint32_t i = 0; i < be32(file, b.payload() + 4); ++i) {
        const size_t at = b.payload() + 8 + 12 * i;
        out.push_back({be32(file, at), be32(file, at + 4), be32(file, at + 8)});
    }
    return out;
}

// Delivers `blocks` blocks of silence, then fails as a disc read would.
class FailingSource : public kySourceFilter2 {
public:
    explicit FailingSource(uint32_t blocks) : kySourceFilter2("Failing"), m_blocks(blocks) {
        m_format = {KY_NO_LENGTH, 2, 3, 44100, 1024};
        m_data.assign(1024, 0.25f);
        m_planes[0] = m_planes[1] = m_data.data();
    }
    kyError Prepare() override { return KY_OK; }
    kyError Process() override {
        if (m_blocks == 0) return KYERR_READ_FILE;
        --m_blocks;
        return m_downstream->Write(m_planes, 1024);
    }

private:
    uint32_t m_blocks;
    std::vector<float> m_data;
    float* m_planes[3] = {};
};

} // namespace

TEST(MovWriter, StereoCdTrackAsQuickTimePcm) {
    kytest::ScratchDir dir;
    const std::string p = dir.path("cd.mov");
    const uint32_t frames = 22050 * 2 + 100; // two full chunks and a short one
    Written w = write(p, kMov, "PCM 16-bit", kytest::sinePlanes(2, frames, 44100), 44100);
    ASSERT_EQ(w.result, KY_OK);
    const auto& f = w.file;

    // Top level: "ftyp" ("qt  ", 0, "qt  "), "moov", "mdat".
    const auto top = kytest::mp4Boxes(f, 0, f.size());
    ASSERT_EQ(top.size(), 3u);
    EXPECT_EQ(top[0].type + top[1].type + top[2].type, "ftypmoovmdat");
    EXPECT_EQ(std::string(f.begin() + 8, f.begin() + 20), std::string("qt  \0\0\0\0qt  ", 12));

    // Movie time in milliseconds, media time in frames.
    const Mp4Box mvhd = box(f, "moov/mvhd");
    EXPECT_EQ(be32(f, mvhd.payload() + 12), 1000u);
    EXPECT_EQ(be32(f, mvhd.payload() + 16), std::lround(frames * 1000.0 / 44100));
    EXPECT_EQ(be32(f, mvhd.payload() + 96), 2u); // next track ID
    EXPECT_EQ(be32(f, box(f, "moov/trak/tkhd").payload()) & 0xFFFFFF, 15u);
    const Mp4Box mdhd = box(f, "moov/trak/mdia/mdhd");
    EXPECT_EQ(be32(f, mdhd.payload() + 12), 44100u);
    EXPECT_EQ(be32(f, mdhd.payload() + 16), frames);
    EXPECT_EQ(be16(f, mdhd.payload() + 20), 0x55C4u);
    const Mp4Box hdlr = box(f, "moov/trak/mdia/hdlr");
    EXPECT_EQ(hdlr.payloadSize(), 25u);
    EXPECT_EQ(std::string(f.begin() + hdlr.payload() + 4, f.begin() + hdlr.payload() + 12),
              "mhlrsoun");
    Mp4Box alis;
    EXPECT_TRUE(kytest::mp4Find(f, "moov/trak/mdia/minf/dinf/dref/alis", alis));

    // "twos", version 1: 1 frame per packet, 2 bytes per packet, 4 per frame, 2 per sample.
    const Mp4Box entry = box(f, std::string(kStbl) + "stsd/twos");
    EXPECT_EQ(be16(f, entry.payload() + 8), 1u);
    EXPECT_EQ(be16(f, entry.payload() + 16), 2u);
    EXPECT_EQ(be16(f, entry.payload() + 18), 16u);
    EXPECT_EQ(be32(f, entry.payload() + 24), 44100u << 16);
    EXPECT_EQ(be32(f, entry.payload() + 28), 1u);
    EXPECT_EQ(be32(f, entry.payload() + 32), 2u);
    EXPECT_EQ(be32(f, entry.payload() + 36), 4u);
    EXPECT_EQ(be32(f, entry.payload() + 40), 2u);
    const Mp4Box chan = box(f, std::string(kStbl) + "stsd/twos/chan");
    EXPECT_EQ(be32(f, chan.payload() + 4), (101u << 16) | 2);

    // Half-second chunks: 22050 packets, then the short one.
    using E = std::array<uint32_t, 3>;
    EXPECT_EQ(stscEntries(f), (std::vector<E>{{1, 22050, 1}, {3, 100, 1}}));
    const Mp4Box stts = box(f, std::string(kStbl) + "stts");
    EXPECT_EQ(be32(f, stts.payload() + 8), frames);
    EXPECT_EQ(be32(f, stts.payload() + 12), 1u);
    const Mp4Box stsz = box(f, std::string(kStbl) + "stsz");
    EXPECT_EQ(be32(f, stsz.payload() + 4), 4u);
    EXPECT_EQ(be32(f, stsz.payload() + 8), frames);
    const Mp4Box stco = box(f, std::string(kStbl) + "stco");
    ASSERT_EQ(be32(f, stco.payload() + 4), 3u);
    EXPECT_EQ(be32(f, stco.payload() + 8), top[2].payload());
    EXPECT_EQ(be32(f, stco.payload() + 12), top[2].payload() + 22050 * 4);
    EXPECT_EQ(be32(f, stco.payload() + 16), top[2].payload() + 44100 * 4);
    EXPECT_EQ(top[2].payloadSize(), size_t(frames) * 4);
}

TEST(MovWriter, SampleToChunkEntriesForEveryShapeOfTheLastChunk) {
    // One entry for whole chunks, a second for a short last chunk, and a single entry when
    // the only chunk is short (two entries both starting at chunk 1 would be invalid).
    using E = std::array<uint32_t, 3>;
    const struct {
        uint32_t frames;
        std::vector<E> entries;
    } cases[] = {
        {22050 * 3, {{1, 22050, 1}}},
        {22050 + 1, {{1, 22050, 1}, {2, 1, 1}}},
        {100, {{1, 100, 1}}},
        {0, {}},
    };
    kytest::ScratchDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frames);
        const std::string p = dir.path("c" + std::to_string(c.frames) + ".mov");
        Written w = write(p, kMov, "PCM 16-bit", kytest::sinePlanes(1, c.frames, 44100), 44100);
        ASSERT_EQ(w.result, KY_OK);
        EXPECT_EQ(stscEntries(w.file), c.entries);
        if (c.frames && kytest::haveTool("ffprobe")) {
            EXPECT_NE(kytest::capture(
                          "ffprobe -v error -count_packets -show_entries stream=nb_read_packets,"
                          "duration_ts -of default=nw=1 " +
                          kytest::shellQuote(p))
                          .find("duration_ts=" + std::to_string(c.frames)),
                      std::string::npos);
        }
    }
}

TEST(MovWriter, CodedPacketsAreAllCountedAndTheLastIsPadded) {
    // As many time-to-sample packets as sizes; the last packet is whole, and the media's
    // duration is the frames written.
    const struct {
        const char* subformat;
        uint32_t rate, channels, framesPerPacket, frames;
    } cases[] = {
        {"IMA ADPCM 4-bit", 44100, 2, 64, 1000},
        {"IMA ADPCM 4-bit", 22050, 1, 64, 640},
        {"AMR 7.95 kbit/s", 8000, 1, 160, 1001},
        {"AMR 12.2 kbit/s", 8000, 1, 160, 50},
    };
    kytest::ScratchDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.subformat) + " " + std::to_string(c.frames));
        const std::string p = dir.path("p.mov");
        Written w =
            write(p, kMov, c.subformat, kytest::sinePlanes(c.channels, c.frames, c.rate), c.rate);
        ASSERT_EQ(w.result, KY_OK);
        const auto& f = w.file;
        const uint32_t packets = (c.frames + c.framesPerPacket - 1) / c.framesPerPacket;
        const Mp4Box stts = box(f, std::string(kStbl) + "stts");
        ASSERT_EQ(be32(f, stts.payload() + 4), 1u);
        EXPECT_EQ(be32(f, stts.payload() + 8), packets);
        EXPECT_EQ(be32(f, stts.payload() + 12), c.framesPerPacket);
        const Mp4Box stsz = box(f, std::string(kStbl) + "stsz");
        EXPECT_EQ(be32(f, stsz.payload() + 8), packets);
        const uint32_t size = be32(f, stsz.payload() + 4);
        uint64_t bytes = 0;
        for (uint32_t i = 0; i < packets; ++i)
            bytes += size ? size : be32(f, stsz.payload() + 12 + 4 * i);
        EXPECT_EQ(box(f, "mdat").payloadSize(), bytes);
        EXPECT_EQ(be32(f, box(f, "moov/trak/mdia/mdhd").payload() + 16), c.frames);
    }
}

TEST(MovWriter, AmrDescriptionAndStoredFrames) {
    kytest::ScratchDir dir;
    const std::string p = dir.path("amr.mov");
    Written w = write(p, kMov, "AMR 10.2 kbit/s", kytest::sinePlanes(2, 4410, 44100), 44100);
    ASSERT_EQ(w.result, KY_OK);
    const auto& f = w.file;
    const Mp4Box entry = box(f, std::string(kStbl) + "stsd/samr");
    EXPECT_EQ(be16(f, entry.payload() + 16), 1u);
    EXPECT_EQ(be32(f, entry.payload() + 24), 8000u << 16);
    EXPECT_EQ(be32(f, entry.payload() + 28), 160u); // frames per packet
    EXPECT_EQ(be32(f, box(f, std::string(kStbl) + "stsd/samr/wave/frma").payload()),
              be32({'s', 'a', 'm', 'r'}, 0));
    const Mp4Box damr = box(f, std::string(kStbl) + "stsd/samr/wave/samr");
    ASSERT_EQ(damr.payloadSize(), 9u);
    EXPECT_EQ(std::string(f.begin() + damr.payload(), f.begin() + damr.payload() + 4), "KyAu");
    EXPECT_EQ(be16(f, damr.payload() + 5), 1u << 6); // mode 6: 10.2 kbit/s
    EXPECT_EQ(f[damr.payload() + 8], 1);
    // Each packet is one stored frame of 27 bytes whose header names mode 6.
    const Mp4Box mdat = box(f, "mdat");
    EXPECT_EQ(mdat.payloadSize() % 27, 0u);
    for (size_t at = mdat.payload(); at < mdat.offset + mdat.size; at += 27)
        ASSERT_EQ((f[at] >> 3) & 15, 6);
}

TEST(MovWriter, ManyChannelsAndHighRatesUseVersion2AndTheChannelBitmap) {
    kytest::ScratchDir dir;
    const struct {
        const char* subformat;
        uint32_t channels, rate;
        uint32_t bits, flags;
    } cases[] = {
        {"PCM 16-bit", 6, 44100, 16, 14},
        {"PCM 24-bit", 3, 48000, 24, 14},
        {"Float 32-bit", 2, 96000, 32, 11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.subformat);
        const std::string p = dir.path("big.mov");
        auto in = kytest::sinePlanes(c.channels, 3000, c.rate, 0.3f);
        Written w = write(p, kMov, c.subformat, in, c.rate);
        ASSERT_EQ(w.result, KY_OK);
        const auto& f = w.file;
        const Mp4Box e = box(f, std::string(kStbl) + "stsd/lpcm");
        const size_t d = e.payload();
        EXPECT_EQ(be16(f, d + 8), 2u);
        EXPECT_EQ(be16(f, d + 16), 3u);
        EXPECT_EQ(be16(f, d + 18), 16u);
        EXPECT_EQ(be16(f, d + 20), 0xFFFEu);
        EXPECT_EQ(be32(f, d + 24), 0x00010000u);
        EXPECT_EQ(be32(f, d + 28), 72u);
        double rate;
        const uint64_t bits = be64(f, d + 32);
        std::memcpy(&rate, &bits, 8);
        EXPECT_EQ(rate, double(c.rate));
        EXPECT_EQ(be32(f, d + 40), c.channels);
        EXPECT_EQ(be32(f, d + 44), 0x7F000000u);
        EXPECT_EQ(be32(f, d + 48), c.bits);
        EXPECT_EQ(be32(f, d + 52), c.flags);
        EXPECT_EQ(be32(f, d + 56), c.channels * c.bits / 8);
        EXPECT_EQ(be32(f, d + 60), 1u);
        Mp4Box chan;
        ASSERT_TRUE(kytest::mp4Find(f, std::string(kStbl) + "stsd/lpcm/chan", chan, 64));
        const uint32_t tag = be32(f, chan.payload() + 4);
        if (c.channels == 2) {
            EXPECT_EQ(tag, (101u << 16) | 2);
            EXPECT_EQ(be32(f, chan.payload() + 8), 0u);
        } else {
            // "Use the bitmap" is the tag 0x10000; the bitmap is the WAV-style mask.
            EXPECT_EQ(tag, 0x10000u);
            EXPECT_EQ(be32(f, chan.payload() + 8), kyDefaultChannelMask(c.channels));
        }

        std::vector<std::vector<float>> out;
        kyAudioFormat fmt{};
        ASSERT_EQ(kytest::readWhole(p, out, fmt), KY_OK);
        EXPECT_EQ(fmt.channels, c.channels);
        EXPECT_EQ(fmt.sampleRate, c.rate);
        EXPECT_EQ(fmt.channelMask, c.channels == 2 ? 3u : kyDefaultChannelMask(c.channels));
        ASSERT_EQ(out.size(), c.channels);
        ASSERT_EQ(out[0].size(), 3000u);
        const uint32_t q = c.bits == 32 ? 0 : c.bits;
        for (uint32_t k = 0; k < c.channels; ++k)
            for (uint32_t i = 0; i < 3000; i += 7) {
                const float want =
                    q ? float(kyRoundSample(in[k][i], q) / std::ldexp(1.0, int(q) - 1)) : in[k][i];
                ASSERT_EQ(out[k][i], want);
            }
        if (!kytest::haveTool("ffprobe")) continue;
        const std::string info =
            kytest::capture("ffprobe -v error -show_entries "
                            "stream=channels,sample_rate,bits_per_sample -of default=nw=1 " +
                            kytest::shellQuote(p));
        EXPECT_NE(info.find("channels=" + std::to_string(c.channels)), std::string::npos) << info;
        EXPECT_NE(info.find("sample_rate=" + std::to_string(c.rate)), std::string::npos) << info;
        // Decoded in the file's own channel layout (no remix to ffmpeg's default for the count).
        ASSERT_TRUE(kytest::run("ffmpeg -nostdin -v error -y -i " + kytest::shellQuote(p) +
                                " -f s16le " + kytest::shellQuote(p + ".raw")));
        const std::vector<uint8_t> raw = kytest::readFile(p + ".raw");
        std::vector<int16_t> ff(raw.size() / 2);
        std::memcpy(ff.data(), raw.data(), ff.size() * 2);
        ASSERT_EQ(ff.size(), size_t(3000) * c.channels);
        for (uint32_t k = 0; k < c.channels; ++k)
            for (uint32_t i = 0; i < 3000; i += 11)
                ASSERT_NEAR(ff[size_t(i) * c.channels + k], in[k][i] * 32768.0f, 1.01f)
                    << k << " " << i;
    }
}

TEST(MovWriter, SizesAndOffsetsPastTheLimitAre64Bit) {
    // A small limit stands in for 4 GiB: "mdat" gets a 64-bit size and the chunk offsets
    // "co64"; players and our reader still find every sample.
    kytest::ScratchDir dir;
    const uint32_t frames = 30000;
    auto in = kytest::sinePlanes(2, frames, 44100, 0.4f);
    for (uint64_t limit : {uint64_t(20000), mov::kLargeAbove}) {
        SCOPED_TRACE(limit);
        const std::string p = dir.path("large.mov");
        Written w =
            write(p, kMov, "PCM 16-bit", in, 44100,
                  [&](mov_Writer& wr, kytest::MemorySource&) { wr.SetLargeBoxLimit(limit); });
        ASSERT_EQ(w.result, KY_OK);
        const auto& f = w.file;
        const auto top = kytest::mp4Boxes(f, 0, f.size());
        ASSERT_EQ(top.size(), 3u);
        const bool large = limit < f.size();
        EXPECT_EQ(top[2].header, large ? 16u : 8u);
        if (large) {
            EXPECT_EQ(be32(f, top[2].offset), 1u);
            EXPECT_EQ(be64(f, top[2].offset + 8), top[2].size);
        }
        Mp4Box offsets;
        ASSERT_TRUE(kytest::mp4Find(f, std::string(kStbl) + (large ? "co64" : "stco"), offsets));
        const size_t first =
            large ? be64(f, offsets.payload() + 8) : be32(f, offsets.payload() + 8);
        EXPECT_EQ(first, top[2].payload());

        std::vector<std::vector<float>> out;
        kyAudioFormat fmt{};
        ASSERT_EQ(kytest::readWhole(p, out, fmt), KY_OK);
        ASSERT_EQ(out[1].size(), frames);
        for (uint32_t i = 0; i < frames; i += 97)
            ASSERT_EQ(out[1][i], float(kyRoundSample(in[1][i], 16) / 32768.0));
        if (!kytest::haveTool("ffmpeg")) continue;
        std::vector<int16_t> ff;
        ASSERT_TRUE(kytest::ffmpegDecode(p, "", 2, ff));
        ASSERT_EQ(ff.size(), size_t(frames) * 2);
        for (uint32_t i = 0; i < frames; i += 89)
            ASSERT_EQ(ff[size_t(i) * 2 + 1], kyRoundSample(in[1][i], 16));
    }
}

TEST(MovWriter, MovieTimeScaleShrinksForVeryLongTracks) {
    const struct {
        uint64_t frames;
        uint32_t rate;
        uint32_t timeScale;
        uint64_t duration;
    } cases[] = {
        {44100 * 60, 44100, 1000, 60000},
        {0xFFFFFFFFull, 44100, 1000, 97391549},
        {0xFFFFFFFFull, 100, 100, 4294967295ull},
        {0xFFFFFFFFull, 1000, 1000, 4294967295ull},
        {0xFFFFFFFFull, 999, 100, 429926656},
        {0xFFFFFFFFull, 1, 1, 4294967295ull},
        {1, 44100, 1000, 0},
    };
    for (const auto& c : cases) {
        const mov::MovieTime t = mov::movieTime(c.frames, c.rate);
        EXPECT_EQ(t.timeScale, c.timeScale) << c.frames << " at " << c.rate;
        EXPECT_EQ(t.duration, c.duration) << c.frames << " at " << c.rate;
    }
}

TEST(MovWriter, QuickTimeTextAtomsAreReadByExiftoolAndOurReader) {
    kytest::ScratchDir dir;
    const std::string p = dir.path("text.mov");
    const char* title = "Caf\xC3\xA9 \xE2\x98\x83 \xE6\x97\xA5\xE6\x9C\xAC";
    Written w = write(p, kMov, "PCM 16-bit", kytest::sinePlanes(2, 4410, 44100), 44100,
                      [&](mov_Writer&, kytest::MemorySource& src) {
                          src.properties().setUtf8(KYPROP_TITLE, title);
                          src.properties().setUtf8(KYPROP_ARTIST, "The Artist");
                          src.properties().setUtf8(KYPROP_ALBUM, "An Album");
                          src.properties().setUtf8(KYPROP_YEAR, "1999");
                          src.properties().setUtf8(KYPROP_COMMENT, "A comment");
                          src.properties().setUtf8(KYPROP_COPYRIGHT, "(c) Someone");
                      });
    ASSERT_EQ(w.result, KY_OK);
    const auto& f = w.file;
    const Mp4Box nam = box(f, "moov/udta/\xA9nam");
    EXPECT_EQ(f[nam.offset + 4], 0xA9); // the byte, not UTF-8's C2 A9
    EXPECT_EQ(be16(f, nam.payload()), std::strlen(title));
    EXPECT_EQ(be16(f, nam.payload() + 2), 0x55C4u);
    EXPECT_EQ(std::string(f.begin() + nam.payload() + 4, f.begin() + nam.offset + nam.size), title);
    const Mp4Box udta = box(f, "moov/udta");
    for (size_t i = udta.payload(); i + 1 < udta.offset + udta.size; ++i)
        ASSERT_FALSE(f[i] == 0xC2 && f[i + 1] == 0xA9 && f[i + 2] != 0)
            << "UTF-8 copyright sign at " << i;
    std::vector<std::string> types;
    for (const auto& b : kytest::mp4Boxes(f, udta.payload(), udta.offset + udta.size))
        types.push_back(b.type);
    // Composer is unset: no "©aut" or "©wrt"; no iTunes list in a QuickTime movie.
    EXPECT_EQ(types, (std::vector<std::string>{"\xA9"
                                               "alb",
                                               "\xA9"
                                               "ART",
                                               "\xA9"
                                               "cmt",
                                               "\xA9"
                                               "cpy",
                                               "\xA9"
                                               "day",
                                               "\xA9"
                                               "nam"}));

    std::vector<std::vector<float>> out;
    kyAudioFormat fmt{};
    kyPropertyTable props;
    ASSERT_EQ(kytest::readWhole(p, out, fmt, nullptr, &props), KY_OK);
    EXPECT_STREQ(props.getUtf8(KYPROP_TITLE), title);
    EXPECT_STREQ(props.getUtf8(KYPROP_ARTIST), "The Artist");
    EXPECT_STREQ(props.getUtf8(KYPROP_YEAR), "1999");
    EXPECT_STREQ(props.getUtf8(KYPROP_COPYRIGHT), "(c) Someone");

    if (!kytest::haveTool("exiftool")) GTEST_SKIP() << "exiftool is not installed";
    const std::string tags =
        kytest::capture("exiftool -s -s -s -charset UTF8 -Title -Artist -Album -Comment "
                        "-Copyright " +
                        kytest::shellQuote(p));
    EXPECT_EQ(tags, std::string(title) + "\nThe Artist\nAn Album\nA comment\n(c) Someone\n");
}

TEST(MovWriter, PassesTheSourcesPcmThroughByteSwapped) {
    kytest::ScratchDir dir;
    const std::string p = dir.path("pass.mov");
    const uint32_t frames = 5000;
    std::vector<int16_t> pcm = kytest::testSignal(frames, 2, 44100);
    std::vector<uint8_t> bytes(pcm.size() * 2);
    std::memcpy(bytes.data(), pcm.data(), bytes.size());
    Written w = write(p, kMov, "<Auto select>", kytest::toPlanes(pcm, 2), 44100,
                      [&](mov_Writer&, kytest::MemorySource& src) {
                          src.setInterleaved("PCM 16-bit", bytes, 4);
                      });
    ASSERT_EQ(w.result, KY_OK);
    const Mp4Box mdat = box(w.file, "mdat");
    ASSERT_EQ(mdat.payloadSize(), bytes.size());
    for (size_t i = 0; i < pcm.size(); ++i)
        ASSERT_EQ(int16_t(be16(w.file, mdat.payload() + 2 * i)), pcm[i]) << i;
}

TEST(MovWriter, AFailedStreamLeavesAnEmptyFileAndNoTemporaryFile) {
    kytest::ScratchDir dir;
    const std::string p = dir.path("fail.mov");
    const uint64_t before = kyTempFile::bytesInUse();
    kyWriterFilter* w = nullptr;
    ASSERT_EQ(cat().CreateWriter(w, p.c_str(), "PCM 16-bit", kytest::catalogIndex(kMov, true)),
              KY_OK);
    auto* src = new FailingSource(20);
    src->Connect(w);
    EXPECT_EQ(w->Run(), KYERR_READ_FILE);
    EXPECT_EQ(kyTempFile::bytesInUse(), before);
    w->DestroyChain();
    EXPECT_TRUE(kytest::readFile(p).empty());

    // A subformat the entry does not list is refused before anything is written.
    const std::string q = dir.path("refused.mov");
    Written r = write(q, kMov, "PCM 12-bit (16)", kytest::sinePlanes(2, 100, 44100), 44100);
    EXPECT_EQ(r.result, KYERR_DATA_FORMAT);
    EXPECT_TRUE(r.file.empty());
}

TEST(MovWriter, AFullDiskWhileCopyingTheMediaIsReported) {
    kytest::ScratchDir dir;
    const std::string p = dir.path("full.mov");
    Written w = write(p, kMov, "PCM 16-bit", kytest::sinePlanes(2, 20000, 44100), 44100,
                      [](mov_Writer& wr, kytest::MemorySource&) { wr.SetFileSizeLimit(50000); });
    EXPECT_EQ(w.result, KYERR_WRITE_FILE);
    EXPECT_LE(w.file.size(), 50000u);
}
