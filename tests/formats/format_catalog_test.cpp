#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "formats/wav_common.h"
#include "formats/writer_filter.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

kyFormatCatalog& cat() {
    return kyFormatCatalog::Instance();
}

int32_t indexOf(const char* display, bool writer) {
    return kytest::catalogIndex(display, writer);
}

// A writer that only negotiates, to look at the choice.
class NegotiatingWriter : public kyWriterFilter {
public:
    using kyWriterFilter::kyWriterFilter;
    kyError Run() override { return NegotiateFormat(preferred); }
    const char* preferred = nullptr;
};

} // namespace

TEST(FormatCatalog, WavEntriesFollowTheTable) {
    int32_t bwf = indexOf("Broadcast wave format (EBU BWF)", true);
    int32_t wavW = indexOf("Microsoft wave format", true);
    int32_t wavR = indexOf("Microsoft wave format", false);
    ASSERT_GE(bwf, 0);
    // BWF sorts first; of the two equal WAV entries the later-registered writer is first.
    EXPECT_EQ(wavW, bwf + 1);
    EXPECT_EQ(wavR, bwf + 2);
    const kyFormatEntry* b = cat().Entry(bwf);
    EXPECT_EQ(b->maxChannels, 2u);
    EXPECT_EQ(b->parameter, 2);
    EXPECT_TRUE(b->reader && b->writer && b->probe);
    EXPECT_EQ(b->subformats.size(), 20u);
    const kyFormatEntry* w = cat().Entry(wavW);
    EXPECT_EQ(w->subformats.size(), 58u);
    EXPECT_EQ(w->subformats.front(), "<Auto select>");
    EXPECT_EQ(w->subformats[15], "*MPEG audio layer III");
    EXPECT_EQ(w->subformats.back(), "*DTS");
    EXPECT_EQ(w->maxChannels, 1000u);
    EXPECT_EQ(cat().Entry(wavR)->writer, nullptr);
}

TEST(FormatCatalog, SortedInsertionKeepsEqualEntriesOnceEach) {
    kyFormatCatalog c;
    kyFormatEntry a{"wav", "B"}, b{"WAV", "a"}, x{"aif", "Z"}, y{"wav", "B"};
    c.RegisterFormat(&a);
    c.RegisterFormat(&b);
    c.RegisterFormat(&x);
    c.RegisterFormat(&a); // already in place
    c.RegisterFormat(&y); // equal to a: goes before it
    ASSERT_EQ(c.Count(), 4u);
    EXPECT_EQ(c.Entry(0), &x);
    EXPECT_EQ(c.Entry(1), &b);
    EXPECT_EQ(c.Entry(2), &y);
    EXPECT_EQ(c.Entry(3), &a);
}

TEST(FormatCatalog, WriterListingAndSubformats) {
    int32_t i = 0;
    std::string ext, name;
    std::vector<std::string> writers;
    while (cat().NextWriterFormat(i, &ext, &name)) {
        writers.push_back(name);
        ++i;
    }
    EXPECT_NE(std::find(writers.begin(), writers.end(), "Microsoft wave format"), writers.end());
    int32_t neg = -1;
    EXPECT_FALSE(cat().NextWriterFormat(neg));

    int32_t wav = indexOf("Microsoft wave format", true);
    std::string sub;
    uint32_t maxCh = 0, minCh = 0;
    ASSERT_TRUE(cat().GetWriterSubformat(wav, 0, sub, &maxCh, &minCh));
    EXPECT_EQ(sub, "<Auto select>");
    EXPECT_EQ(maxCh, 1000u);
    EXPECT_EQ(minCh, 1u);
    // Headers are not counted: item 15 is the first MP3 item.
    ASSERT_TRUE(cat().GetWriterSubformat(wav, 15, sub));
    EXPECT_EQ(sub, "MP3 CBR 8 kbit/s");
    ASSERT_TRUE(cat().GetWriterSubformat(wav, 53, sub));
    EXPECT_EQ(sub, "MP2 CBR 384 kbit/s");
    EXPECT_FALSE(cat().GetWriterSubformat(wav, 54, sub));
    EXPECT_FALSE(cat().GetWriterSubformat(indexOf("Microsoft wave format", false), 0, sub));
    EXPECT_FALSE(cat().GetWriterSubformat(-1, 0, sub));
}

TEST(FormatCatalog, FindWriterFormatByExtension) {
    int32_t bwf = indexOf("Broadcast wave format (EBU BWF)", true);
    EXPECT_EQ(cat().FindWriterFormat("/music/Track 01.WAV"), bwf);
    EXPECT_EQ(cat().FindWriterFormat("x.tar.wav"), bwf);
    EXPECT_EQ(cat().FindWriterFormat("noextension"), -1);
    EXPECT_EQ(cat().FindWriterFormat("a.xyz"), -1);
}

TEST(FormatCatalog, DetectionScoresExtensionAndContent) {
    kytest::ScratchDir dir;
    std::vector<uint8_t> riff = {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'};
    std::vector<uint8_t> zeros(64, 0);
    struct Case {
        const char* name;
        const std::vector<uint8_t>* bytes;
        bool detected;
    } cases[] = {
        {"song.mp3", &riff, true},     // 0 + 6
        {"song.wav", &zeros, false},   // 3 + 0
        {"song", &riff, true},         // no extension, certain content
        {"empty.wav", nullptr, false}, // an empty file reads as zeros
    };
    for (const Case& c : cases) {
        std::string p = dir.path(c.name);
        ASSERT_TRUE(kytest::writeFile(p, c.bytes ? *c.bytes : std::vector<uint8_t>{}));
        int fd = ::open(p.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        int32_t idx = cat().FindReaderFormat(p.c_str(), fd);
        EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 0);
        ::close(fd);
        if (c.detected)
            EXPECT_EQ(idx, indexOf("Microsoft wave format", false)) << c.name;
        else
            EXPECT_EQ(idx, -1) << c.name;
    }
    kyReaderFilter* r = nullptr;
    EXPECT_EQ(cat().OpenReader(r, dir.path("song.wav").c_str(), -2), KYERR_FILE_FORMAT);
    EXPECT_EQ(cat().OpenReader(r, dir.path("missing.wav").c_str(), -2), KYERR_OPEN_FILE);
    EXPECT_EQ(cat().OpenReader(r, dir.path("song.mp3").c_str(), 100000), KYERR_INVALID_PARAMETER);
    EXPECT_EQ(r, nullptr);
}

TEST(FormatCatalog, BwfProbeLooksForBext) {
    auto file = [](std::initializer_list<const char*> chunks) {
        std::vector<uint8_t> f = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
        for (const char* id : chunks) {
            f.insert(f.end(), id, id + 4);
            uint8_t size[4] = {3, 0, 0, 0}; // odd: padded to 4
            f.insert(f.end(), size, size + 4);
            f.insert(f.end(), 4, 0);
        }
        f.resize(4096);
        return f;
    };
    EXPECT_EQ(wav::ProbeBwf(file({"fmt ", "bext"}).data(), 4096), 6);
    EXPECT_EQ(wav::ProbeBwf(file({"fmt ", "data", "bext"}).data(), 4096), 2);
    EXPECT_EQ(wav::ProbeBwf(file({"a   ", "b   ", "c   ", "d   ", "bext"}).data(), 4096), 2);
    std::vector<uint8_t> zeros(4096, 0);
    EXPECT_EQ(wav::ProbeBwf(zeros.data(), 4096), 0);
}

TEST(FormatCatalog, CreateWriterChoosesDefaultsAndFailsCleanly) {
    kytest::ScratchDir dir;
    kyWriterFilter* w = nullptr;
    ASSERT_EQ(cat().CreateWriter(w, dir.path("a.wav").c_str(), "", -2), KY_OK);
    EXPECT_STREQ(w->GetPropertyUtf8(1), "Broadcast wave format (EBU BWF)");
    EXPECT_STREQ(w->GetPropertyUtf8(2), "PCM 16-bit");
    delete w;
    EXPECT_EQ(cat().CreateWriter(w, dir.path("a.xyz").c_str(), "", -2), KYERR_FILE_FORMAT);
    EXPECT_EQ(cat().CreateWriter(w, dir.path("a.wav").c_str(), "", 9999), KYERR_INVALID_PARAMETER);
    EXPECT_EQ(cat().CreateWriter(w, dir.path("nodir/a.wav").c_str(), "", -2), KYERR_CREATE_FILE);
    // An existing file is written afresh: none of what it held stays behind, whether it was
    // long or empty (as the temporary file of a rip is).
    for (size_t before : {size_t(100000), size_t(0)}) {
        const std::string path = dir.path("old.wav");
        ASSERT_TRUE(kytest::writeFile(path, std::vector<uint8_t>(before, 'x')));
        ASSERT_EQ(cat().CreateWriter(w, path.c_str(), "", -2), KY_OK);
        delete w;
        const std::vector<uint8_t> after = kytest::readFile(path);
        EXPECT_LT(after.size(), size_t(1000)) << before;
        EXPECT_TRUE(std::search_n(after.begin(), after.end(), 4, uint8_t('x')) == after.end())
            << before;
    }

    // Without "PCM 16-bit" in the list, the middle item (n / 2, every item counted).
    kyFormatEntry e{"x", "X"};
    for (int i = 0; i < 12; ++i) e.subformats.push_back("item " + std::to_string(i));
    EXPECT_EQ(kyDefaultSubformat(e), "item 6");
}

TEST(FormatCatalog, NegotiationCases) {
    kyFormatEntry entry{
        "wav",   "Test",  nullptr,
        nullptr, nullptr, {"<Auto select>", "PCM 8-bit", "PCM 16-bit", "PCM 24-bit", "*AC3"},
        1,       1,       0};
    struct Case {
        const char* requested;
        const char* sourceFormat; // property 2 of the source
        const char* native;       // interleaved form offered, or null
        uint32_t channels;
        kyError result;
        const char* chosen;
        bool passthrough;
    } cases[] = {
        {"<Auto select>", "Lossless 16-bit", nullptr, 1, KY_OK, "PCM 16-bit", false},
        {"<Auto select>", "PCM 24-bit", "PCM 24-bit", 1, KY_OK, "PCM 24-bit", true},
        {"<Auto select>", "AC3", "AC3", 1, KY_OK, "AC3", true},
        {"<Auto select>", "Weird", nullptr, 1, KY_OK, "PCM 16-bit", false},
        {"PCM 12-bit (16)", "", nullptr, 1, KYERR_DATA_FORMAT, "PCM 12-bit (16)", false},
        {"PCM 8-bit", "", "PCM 8-bit", 1, KY_OK, "PCM 8-bit", true},
        {"PCM 8-bit", "", nullptr, 2, KYERR_CHANNEL_FORMAT, "PCM 8-bit", false},
    };
    for (const Case& c : cases) {
        auto* src = new kytest::MemorySource(kytest::sinePlanes(c.channels, 16, 44100), 44100);
        if (c.native) src->setInterleaved(c.native, std::vector<uint8_t>(16), 1);
        if (*c.sourceFormat) src->properties().setUtf8(2, c.sourceFormat);
        auto* w = new NegotiatingWriter(-1, "x.wav", c.requested, &entry);
        src->Connect(w);
        EXPECT_EQ(w->Run(), c.result) << c.requested << " / " << c.sourceFormat;
        EXPECT_STREQ(w->Subformat(), c.chosen) << c.requested << " / " << c.sourceFormat;
        EXPECT_EQ(w->passthrough(), c.passthrough) << c.requested << " / " << c.sourceFormat;
        w->DestroyChain();
    }
    // Without a source.
    NegotiatingWriter lone(-1, "x.wav", "PCM 8-bit", &entry);
    EXPECT_EQ(lone.Run(), KYERR_SEQUENCE);
}
