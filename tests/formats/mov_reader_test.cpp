// mov_Reader on files other programs write (ffmpeg: QuickTime PCM in both byte orders, G.711,
// ima4, MPEG-4 with MP3, iTunes and QuickTime AAC) compared with ffmpeg's own decoding, compressed
// movie headers, seeking, detection, and damaged files.
#include "core/quantizer.h"
#include "formats/format_catalog.h"
#include "formats/mov_common.h"
#include "formats/mov_reader.h"
#include "formats/reader_filter.h"
#include "formats/writer_filter.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include "support/mp4_files.h"
#include "support/round_trip.h"
#include <cmath>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>

namespace {

using kytest::be32;
using kytest::Mp4Box;
using Read = kytest::PlanesBack;
using kytest::readPlanes;

kyFormatCatalog& cat() {
    return kyFormatCatalog::Instance();
}

// A QuickTime file of our own writer.
kyError writeOwn(const std::string& path, const char* subformat,
                 std::vector<std::vector<float>> planes, uint32_t rate,
                 const char* title = nullptr) {
    kyWriterFilter* w = nullptr;
    kyError err = cat().CreateWriter(w, path.c_str(), subformat,
                                     kytest::catalogIndex("Apple QuickTime movie format", true));
    if (kyFailed(err)) return err;
    auto* src = new kytest::MemorySource(std::move(planes), rate);
    if (title) src->properties().setUtf8(KYPROP_TITLE, title);
    src->Connect(w);
    err = w->Run();
    w->DestroyChain();
    return err;
}

std::string text(kyPropertyTable& p, uint32_t slot) {
    const char* t = p.getUtf8(slot);
    return t ? t : "";
}

// A stereo 16-bit WAV file of the test signal, as input for ffmpeg.
std::string makeSource(kytest::ScratchDir& dir, uint32_t frames, std::vector<int16_t>& pcm) {
    pcm = kytest::testSignal(frames, 2, 44100);
    std::vector<uint8_t> data(pcm.size() * 2);
    std::memcpy(data.data(), pcm.data(), data.size());
    const kytest::WavFormat f = kytest::pcmWavFormat(2, 44100, 16);
    const std::string path = dir.path("source.wav");
    kytest::writeFile(path, kytest::makeWav(f, data));
    return path;
}

const char* const kMetadataArgs =
    " -metadata title='Ti\xC3\xADtulo \xE2\x98\x83' -metadata artist='Some Artist' -metadata "
    "album=Album"
    " -metadata date=2001 -metadata comment='A comment' -metadata genre=Jazz";

} // namespace

TEST(MovReader, ReadsWhatFfmpegWritesAsFfmpegDecodesIt) {
    if (!kytest::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    const struct {
        const char* extension;
        const char* codec;
        const char* subformat;
        bool lossless; // against the 16-bit input
        bool exactLength;
        // Against ffmpeg's decoding: AAC's noise substitution differs between decoders.
        double minSnr = 40.0;
    } cases[] = {
        {"mov", "pcm_s16be", "PCM 16-bit", true, true},
        {"mov", "pcm_s16le", "PCM 16-bit", true, true},
        {"mov", "pcm_s24le", "PCM 24-bit", true, true},
        {"mov", "pcm_s32be", "PCM 32-bit", true, true},
        {"mov", "pcm_f32le", "Float 32-bit", true, true},
        {"mov", "pcm_f64be", "Float 64-bit", true, true},
        {"mov", "pcm_u8", "PCM 8-bit", false, true},
        {"mov", "pcm_alaw", "A-Law", false, true},
        {"mov", "adpcm_ima_qt", "IMA ADPCM 4-bit", false, false},
        {"mp4", "libmp3lame", "MPEG audio layer III", false, true},
        {"mov", "libmp3lame", "MPEG audio layer III", false, true},
        {"m4a", "aac", "MPEG AAC", false, true, 25.0},
        {"mov", "aac", "MPEG AAC", false, true, 25.0},
    };
    kytest::ScratchDir dir;
    const uint32_t frames = 44100 + 777;
    std::vector<int16_t> pcm;
    const std::string source = makeSource(dir, frames, pcm);
    const auto in = kytest::toPlanes(pcm, 2);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.codec) + " in " + c.extension);
        const std::string path = dir.path(std::string("ff_") + c.codec + "." + c.extension);
        ASSERT_TRUE(kytest::run("ffmpeg -nostdin -v error -y -i " + kytest::shellQuote(source) +
                                " -c:a " + c.codec + kMetadataArgs + " " +
                                kytest::shellQuote(path)));
        Read r = readPlanes(path);
        ASSERT_EQ(r.open, KY_OK);
        ASSERT_EQ(r.run, KY_OK);
        EXPECT_EQ(r.subformat, c.subformat);
        EXPECT_EQ(r.fmt.channels, 2u);
        EXPECT_EQ(r.fmt.sampleRate, 44100u);
        ASSERT_EQ(r.planes.size(), 2u);
        if (c.exactLength) {
            EXPECT_EQ(r.fmt.lengthFrames, frames);
        } else {
            EXPECT_GE(r.fmt.lengthFrames, frames); // no length beyond the packets' is stored
        }
        EXPECT_EQ(r.planes[0].size(), r.fmt.lengthFrames);

        // The metadata, whichever form ffmpeg chose for the container.
        EXPECT_EQ(text(r.props, KYPROP_TITLE), "Ti\xC3\xADtulo \xE2\x98\x83");
        EXPECT_EQ(text(r.props, KYPROP_ARTIST), "Some Artist");
        EXPECT_EQ(text(r.props, KYPROP_ALBUM), "Album");
        EXPECT_EQ(text(r.props, KYPROP_YEAR), "2001");
        EXPECT_EQ(text(r.props, KYPROP_COMMENT), "A comment");

        // Sample for sample what ffmpeg decodes (aligned: the edit list is applied alike).
        std::vector<int16_t> ff;
        ASSERT_TRUE(kytest::ffmpegDecode(path, "", 2, ff));
        ASSERT_GE(ff.size() / 2, size_t(r.fmt.lengthFrames) - (c.exactLength ? 0 : 64));
        const auto theirs = kytest::toPlanes(ff, 2);
        for (uint32_t k = 0; k < 2; ++k) {
            if (c.lossless) {
                for (uint32_t i = 0; i < frames; ++i)
                    ASSERT_EQ(kyRoundSample(r.planes[k][i], 16), pcm[size_t(i) * 2 + k]) << i;
            }
            std::vector<float> ours = r.planes[k];
            ours.resize(std::min(ours.size(), theirs[k].size()));
            EXPECT_GT(kytest::snrDb(theirs[k], ours), c.minSnr) << "channel " << k;
        }
    }
}

TEST(MovReader, ReadsCompressedMovieHeaders) {
    if (!kytest::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    kytest::ScratchDir dir;
    std::vector<int16_t> pcm;
    const std::string source = makeSource(dir, 30000, pcm);
    for (const char* ext : {"mov", "mp4"}) {
        SCOPED_TRACE(ext);
        const std::string plain = dir.path(std::string("plain.") + ext);
        const std::string codec = std::string(ext) == "mov" ? "pcm_s16be" : "libmp3lame";
        ASSERT_TRUE(kytest::run("ffmpeg -nostdin -v error -y -i " + kytest::shellQuote(source) +
                                " -c:a " + codec + kMetadataArgs + " " +
                                kytest::shellQuote(plain)));
        const std::vector<uint8_t> packed = kytest::compressMovie(kytest::readFile(plain));
        ASSERT_FALSE(packed.empty());
        Mp4Box dcom;
        ASSERT_TRUE(kytest::mp4Find(packed, "moov/cmov/dcom", dcom));
        const std::string compressed = dir.path(std::string("compressed.") + ext);
        kytest::writeFile(compressed, packed);

        Read a = readPlanes(plain), b = readPlanes(compressed);
        ASSERT_EQ(b.open, KY_OK);
        ASSERT_EQ(b.run, KY_OK);
        EXPECT_EQ(b.fmt, a.fmt);
        EXPECT_EQ(b.subformat, a.subformat);
        EXPECT_EQ(b.planes, a.planes);
        EXPECT_EQ(text(b.props, KYPROP_TITLE), "Ti\xC3\xADtulo \xE2\x98\x83");
    }
}

TEST(MovReader, RefusesCompressedHeadersItCannotOrShouldNotInflate) {
    // Built from a QuickTime file of our own writer, then damaged in the compressed part.
    kytest::ScratchDir dir;
    const std::string plain = dir.path("plain.mov");
    ASSERT_EQ(writeOwn(plain, "PCM 16-bit", kytest::sinePlanes(2, 20000, 44100), 44100), KY_OK);
    const std::vector<uint8_t> good = kytest::compressMovie(kytest::readFile(plain));
    ASSERT_FALSE(good.empty());
    Mp4Box dcom, cmvd;
    ASSERT_TRUE(kytest::mp4Find(good, "moov/cmov/dcom", dcom));
    ASSERT_TRUE(kytest::mp4Find(good, "moov/cmov/cmvd", cmvd));
    auto put32 = [](std::vector<uint8_t>& f, size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) f[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    };
    const struct {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        kyError expected;
    } cases[] = {
        {"intact", [](std::vector<uint8_t>&) {}, KY_OK},
        {"another method",
         [&](std::vector<uint8_t>& f) { std::memcpy(&f[dcom.payload()], "lzss", 4); },
         KYERR_COMPRESSION},
        {"announced beyond the limit",
         [&](std::vector<uint8_t>& f) {
             put32(f, cmvd.payload(), uint32_t(mov_Reader::kMaxMovieBytes + 1));
         },
         KYERR_CORRUPT},
        {"announced shorter than it inflates",
         [&](std::vector<uint8_t>& f) { put32(f, cmvd.payload(), 100); }, KYERR_CORRUPT},
        {"not deflate data",
         [&](std::vector<uint8_t>& f) { std::memset(&f[cmvd.payload() + 4], 0x5A, 32); },
         KYERR_CORRUPT},
        {"data cut short",
         [&](std::vector<uint8_t>& f) {
             put32(f, cmvd.offset, static_cast<uint32_t>(cmvd.size - (cmvd.payloadSize() - 4) / 2));
         },
         KYERR_CORRUPT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> f = good;
        c.damage(f);
        const std::string p = dir.path("damaged.mov");
        kytest::writeFile(p, f);
        Read r = readPlanes(p, 0, kytest::catalogIndex("Apple QuickTime movie format", false));
        EXPECT_EQ(r.open, c.expected);
        if (c.expected == KY_OK) {
            EXPECT_EQ(r.fmt.lengthFrames, 20000u);
        }
    }
}

TEST(MovReader, SeeksToAnyFrame) {
    // From a frame in the middle the same samples come as when reading from the start.
    kytest::ScratchDir dir;
    const struct {
        const char* subformat;
        uint32_t channels, rate;
    } cases[] = {
        {"PCM 24-bit", 2, 44100},
        {"IMA ADPCM 4-bit", 2, 44100},
        {"AMR 12.2 kbit/s", 1, 8000},
        {"mu-Law", 1, 8000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.subformat);
        const std::string p = dir.path("seek.mov");
        ASSERT_EQ(
            writeOwn(p, c.subformat,
                     kytest::toPlanes(kytest::testSignal(9000, c.channels, c.rate), c.channels),
                     c.rate),
            KY_OK);
        Read whole = readPlanes(p);
        ASSERT_EQ(whole.run, KY_OK);
        for (uint32_t at : {1u, 63u, 64u, 1000u, 4321u, 8999u}) {
            Read part = readPlanes(p, at);
            ASSERT_EQ(part.run, KY_OK);
            ASSERT_EQ(part.planes[0].size(), 9000u - at) << at;
            for (uint32_t k = 0; k < c.channels; ++k)
                EXPECT_TRUE(std::equal(part.planes[k].begin(), part.planes[k].end(),
                                       whole.planes[k].begin() + at))
                    << at;
        }
    }
}

TEST(MovReader, DetectionByBrandAndExtension) {
    const struct {
        std::vector<uint8_t> head;
        int mov, mp4, m4a;
    } cases[] = {
        {{0, 0, 0, 20, 'f', 't', 'y', 'p', 'q', 't', ' ', ' ', 0, 0, 0, 0, 'q', 't', ' ', ' '},
         6,
         4,
         4},
        {{0, 0, 0, 20, 'f', 't', 'y', 'p', 'M', '4', 'A', ' ', 0, 0, 0, 0, 'M', '4', 'A', ' '},
         4,
         4,
         6},
        {{0, 0, 0, 20, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 0, 0, 'i', 's', 'o', 'm'},
         4,
         6,
         4},
        {{0, 0, 0, 8, 'w', 'i', 'd', 'e', 0, 0, 0, 8, 'm', 'd', 'a', 't'}, 6, 4, 4},
        {{0, 0, 1, 0, 'm', 'o', 'o', 'v'}, 6, 4, 4},
        {{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}, 0, 0, 0},
        {{0, 0, 0, 4, 'f', 't', 'y', 'p', 'q', 't', ' ', ' '}, 0, 0, 0}, // too short for a brand
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> head = c.head;
        head.resize(KY_PROBE_BYTES, 0);
        EXPECT_EQ(mov::ProbeMov(head.data(), head.size()), c.mov);
        EXPECT_EQ(mov::ProbeMp4(head.data(), head.size()), c.mp4);
        EXPECT_EQ(mov::ProbeM4a(head.data(), head.size()), c.m4a);
    }

    // Without an extension the brand decides; with one, the extension.
    kytest::ScratchDir dir;
    const std::string plain = dir.path("noext");
    ASSERT_EQ(writeOwn(plain, "PCM 16-bit", kytest::sinePlanes(1, 100, 8000), 8000), KY_OK);
    EXPECT_EQ(readPlanes(plain).entry, "Apple QuickTime movie format");
    const std::string named = dir.path("named.m4a");
    kytest::writeFile(named, kytest::readFile(plain));
    EXPECT_EQ(readPlanes(named).entry, "iTunes MPEG-4 audio format");
}

TEST(MovReader, DamagedFilesGiveErrorsOrLessAudioNeverACrash) {
    // Every truncation of a small file, and box sizes made too large or too small at every
    // box header: the reader must refuse or read what is there, within the file.
    kytest::ScratchDir dir;
    const std::string plain = dir.path("plain.mov");
    for (const char* sub : {"PCM 16-bit", "IMA ADPCM 4-bit", "AMR 5.9 kbit/s"}) {
        SCOPED_TRACE(sub);
        ASSERT_EQ(writeOwn(plain, sub, kytest::sinePlanes(1, 1200, 8000), 8000, "Title"), KY_OK);
        const std::vector<uint8_t> good = kytest::readFile(plain);
        const std::string p = dir.path("damaged.mov");
        const int32_t index = kytest::catalogIndex("Apple QuickTime movie format", false);
        for (size_t cut = 0; cut < good.size(); cut += 7) {
            kytest::writeFile(p, std::vector<uint8_t>(good.begin(), good.begin() + cut));
            Read r = readPlanes(p, 0, index);
            if (kySucceeded(r.open) && !r.planes.empty()) {
                EXPECT_LE(r.planes[0].size(), 1200u);
            }
        }
        // Every 4-byte position that could be a box size: huge, 0, 1 (64-bit follows), 7.
        for (size_t at = 0; at + 8 <= good.size(); ++at) {
            if (!std::isalpha(good[at + 4]) && good[at + 4] != 0xA9) continue;
            for (uint32_t v : {0xFFFFFFF0u, 0u, 1u, 7u, 9u}) {
                std::vector<uint8_t> f = good;
                for (int i = 0; i < 4; ++i) f[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
                kytest::writeFile(p, f);
                Read r = readPlanes(p, 0, index);
                if (kySucceeded(r.open) && !r.planes.empty()) {
                    EXPECT_LE(r.planes[0].size(), 1200u + 160);
                }
            }
        }
    }
}

TEST(MovReader, BoundsNestingAndSampleTables) {
    kytest::ScratchDir dir;
    const std::string p = dir.path("odd.mov");
    const auto box = kytest::mp4MakeBox;
    // User data nested far deeper than any real file: ignored, not followed without end.
    std::vector<uint8_t> deep = box("\xA9nam", {0, 1, 0x55, 0xC4, 'x'});
    for (int i = 0; i < 1000; ++i) deep = box("udta", deep);
    std::vector<uint8_t> file = box("ftyp", {'q', 't', ' ', ' ', 0, 0, 0, 0});
    const std::vector<uint8_t> moov = box("moov", deep);
    file.insert(file.end(), moov.begin(), moov.end());
    kytest::writeFile(p, file);
    Read r = readPlanes(p);
    EXPECT_EQ(r.open, KY_OK); // a movie, but without sound
    EXPECT_EQ(r.run, KYERR_NO_AUDIO);

    // A sample description claiming millions of channels is refused, not allocated for.
    ASSERT_EQ(writeOwn(p, "PCM 16-bit", kytest::sinePlanes(6, 1000, 48000), 48000), KY_OK);
    file = kytest::readFile(p);
    Mp4Box lpcm;
    ASSERT_TRUE(kytest::mp4Find(file, "moov/trak/mdia/minf/stbl/stsd/lpcm", lpcm));
    ASSERT_EQ(be32(file, lpcm.payload() + 40), 6u);
    file[lpcm.payload() + 40] = 0x10;
    kytest::writeFile(p, file);
    EXPECT_TRUE(kyFailed(
        readPlanes(p, 0, kytest::catalogIndex("Apple QuickTime movie format", false)).open));

    // No movie at all.
    kytest::writeFile(p, box("ftyp", {'q', 't', ' ', ' ', 0, 0, 0, 0}));
    EXPECT_EQ(readPlanes(p, 0, kytest::catalogIndex("Apple QuickTime movie format", false)).open,
              KYERR_CORRUPT);
}
