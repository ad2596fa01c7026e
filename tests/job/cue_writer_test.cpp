// The CUE sheet writer against the CUE loader: a layout with pregaps, indexes, ISRCs, a
// catalogue number and CD-Text (as a drive that reads them reports it) is written for one
// file per track and for one merged file, each file made from the disc's sectors; loading
// the sheet must give back the disc: table of contents, pregaps, indexes, ISRCs, text, and
// the same bytes in every sector.
#include "cd/virtual_drive.h"
#include "job/cue_writer.h"
#include "support/file_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

constexpr size_t kSector = 2352;

struct TempDir {
    fs::path path;
    TempDir() {
        char name[] = "/tmp/kycuewriteXXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { fs::remove_all(path); }
};

// The source disc as a model, from a sheet.
const char* kSource = "CATALOG 0724349831125\n"
                      "FILE \"src.bin\" BINARY\n"
                      "  TRACK 01 AUDIO\n    ISRC USABC0900001\n"
                      "    INDEX 00 00:00:00\n    INDEX 01 00:02:00\n"
                      "  TRACK 02 AUDIO\n    FLAGS DCP PRE\n    ISRC GBAYE0000351\n"
                      "    INDEX 00 00:12:00\n    INDEX 01 00:13:25\n"
                      "  TRACK 03 AUDIO\n    FLAGS 4CH\n"
                      "    INDEX 01 00:26:50\n    INDEX 02 00:33:25\n    INDEX 03 00:35:00\n";

// What a drive reporting everything gives for `image`.
kyDiscLayout LayoutOf(const kyDiscImage& image) {
    kyDiscLayout layout;
    layout.mcn = image.Mcn();
    layout.gapsDetected = true;
    for (const kyDiscTrack& t : image.Tracks())
        layout.tracks.push_back({t.number, t.pregapStart, t.start, t.indexes, t.isrc});
    layout.cdText.disc.title = "Caf\xC3\xA9 \"Noir\"";
    layout.cdText.disc.performer = "CD-Text Band";
    layout.cdText.disc.message = "Hello";
    layout.cdText.genre = "Jazz";
    layout.cdText.tracks.resize(4);
    layout.cdText.tracks[1].title = "CD-Text One";
    layout.cdText.tracks[2].title = "Zwei";
    layout.cdText.tracks[2].songwriter = "S. Writer";
    layout.cdText.tracks[2].composer = "C. Omposer";
    layout.cdText.tracks[3].performer = "Guest";
    layout.cdText.tracks[3].arranger = "A. Rranger";
    return layout;
}

struct Written {
    std::string sheet;
    std::unique_ptr<kyDiscImage> image;
};

// Writes files of the disc's sectors for `spans` and the sheet, and loads the sheet.
Written WriteAndLoad(const fs::path& dir, const kyDiscImage& source, const DiscInfo& disc,
                     const std::vector<std::pair<uint32_t, uint32_t>>& spans) {
    Written w;
    std::vector<kyCueFile> files;
    for (size_t i = 0; i < spans.size(); ++i) {
        const auto [first, end] = spans[i];
        std::string pcm((end - first) * kSector, '\0');
        EXPECT_TRUE(source.ReadSectors(first, end - first, reinterpret_cast<uint8_t*>(pcm.data())));
        // A canonical WAVE header.
        static const char kHeader[] = "RIFF____WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xAC\0\0"
                                      "\x10\xB1\x02\0\x04\0\x10\0data____";
        std::string wav(kHeader, 44);
        const uint32_t riff = uint32_t(36 + pcm.size()), data = uint32_t(pcm.size());
        std::memcpy(&wav[4], &riff, 4);
        std::memcpy(&wav[40], &data, 4);
        const std::string name = "Disc/" + std::to_string(i) + " file.wav";
        fs::create_directories(dir / "Disc");
        kytest::writeText(dir / name, wav + pcm);
        files.push_back({name, first, end});
    }
    const kyDiscToc toc = source.Toc();
    const kyDiscLayout layout = LayoutOf(source);
    w.sheet = kyCueSheetText(disc, toc, layout, files);
    std::string error;
    EXPECT_TRUE(kyWriteCueSheet((dir / "disc.cue").string(), w.sheet, error)) << error;
    w.image = kyDiscImage::LoadCue((dir / "disc.cue").string(), error);
    EXPECT_TRUE(w.image) << error << "\n" << w.sheet;
    return w;
}

void ExpectSameDisc(const kyDiscImage& a, const kyDiscImage& b, const std::string& sheet) {
    SCOPED_TRACE(sheet);
    ASSERT_EQ(a.Tracks().size(), b.Tracks().size());
    for (size_t i = 0; i < a.Tracks().size(); ++i) {
        const kyDiscTrack &x = a.Tracks()[i], &y = b.Tracks()[i];
        EXPECT_EQ(x.start, y.start) << i;
        EXPECT_EQ(x.pregapStart, y.pregapStart) << i;
        EXPECT_EQ(x.indexes, y.indexes) << i;
        EXPECT_EQ(x.isrc, y.isrc) << i;
    }
    EXPECT_EQ(a.LeadOut(), b.LeadOut());
    EXPECT_EQ(a.Mcn(), b.Mcn());
    std::string sa(a.LeadOut() * kSector, '\0'), sb(b.LeadOut() * kSector, '\0');
    ASSERT_TRUE(a.ReadSectors(0, a.LeadOut(), reinterpret_cast<uint8_t*>(sa.data())));
    ASSERT_TRUE(b.ReadSectors(0, b.LeadOut(), reinterpret_cast<uint8_t*>(sb.data())));
    EXPECT_TRUE(sa == sb) << "the sectors differ";
}

class CueWriter : public ::testing::Test {
protected:
    TempDir dir;
    std::unique_ptr<kyDiscImage> source;
    void SetUp() override {
        std::string bin(3000 * kSector, '\0');
        uint32_t x = 3;
        for (char& c : bin) c = char((x = x * 1103515245 + 12345) >> 16);
        kytest::writeText(dir.path / "src.bin", bin);
        kytest::writeText(dir.path / "src.cue", kSource);
        std::string error;
        source = kyDiscImage::LoadCue((dir.path / "src.cue").string(), error);
        ASSERT_TRUE(source) << error;
    }
};

TEST_F(CueWriter, OneFilePerTrackWithGapsAppendedLoadsToTheSameDisc) {
    DiscInfo disc;
    disc.makeRows(source->Toc());
    // The hidden audio before track 1 has a file of its own, then each track from its
    // INDEX 01 to the next track's.
    const Written w =
        WriteAndLoad(dir.path, *source, disc, {{0, 150}, {150, 1000}, {1000, 2000}, {2000, 3000}});
    ASSERT_TRUE(w.image);
    ExpectSameDisc(*source, *w.image, w.sheet);
    // CD-Text stands where the disc record has no names of its own (rows named by default).
    const kyCdText& t = w.image->CdText();
    EXPECT_EQ(t.disc.title, "Caf\xC3\xA9 'Noir'");
    EXPECT_EQ(t.disc.performer, "CD-Text Band");
    EXPECT_EQ(t.disc.message, "Hello");
    EXPECT_EQ(t.genre, "Jazz");
    ASSERT_NE(t.Track(3), nullptr);
    EXPECT_EQ(t.Track(1)->title, "CD-Text One");
    EXPECT_EQ(t.Track(2)->title, "Zwei");
    EXPECT_EQ(t.Track(2)->songwriter, "S. Writer");
    EXPECT_EQ(t.Track(2)->composer, "C. Omposer");
    EXPECT_EQ(t.Track(3)->performer, "Guest");
    EXPECT_EQ(t.Track(3)->arranger, "A. Rranger");
    // Flags: copy permitted and four channels; the files hold de-emphasised audio, so no PRE.
    EXPECT_EQ(w.image->Tracks()[1].control, 2);
    EXPECT_EQ(w.image->Tracks()[2].control, 8);
    EXPECT_NE(w.sheet.find("FLAGS DCP\r\n"), std::string::npos);
    EXPECT_EQ(w.sheet.find("PRE"), std::string::npos) << w.sheet;
    EXPECT_NE(w.sheet.find("REM COMMENT \"DskR 5\"\r\n"), std::string::npos);
    EXPECT_NE(w.sheet.find("REM DISCID "), std::string::npos);
}

TEST_F(CueWriter, MergedFileAndNamesFromTheDiscRecord) {
    DiscInfo disc;
    disc.makeRows(source->Toc());
    disc.artist = "Record Artist";
    disc.title = "Record Album";
    disc.year = 2001;
    disc.genre = "Bebop";
    disc.tracks[0].name = "First";
    disc.tracks[2].artist = "Track Artist";
    // One file from track 1's INDEX 01: its pregap becomes a PREGAP.
    const Written w = WriteAndLoad(dir.path, *source, disc, {{150, 3000}});
    ASSERT_TRUE(w.image);
    EXPECT_NE(w.sheet.find("PREGAP 00:02:00"), std::string::npos) << w.sheet;
    // The disc is the same, but the pregap of track 1 is silence now.
    ASSERT_EQ(w.image->Tracks().size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(w.image->Tracks()[i].start, source->Tracks()[i].start);
        EXPECT_EQ(w.image->Tracks()[i].pregapStart, source->Tracks()[i].pregapStart);
        EXPECT_EQ(w.image->Tracks()[i].indexes, source->Tracks()[i].indexes);
        EXPECT_EQ(w.image->Tracks()[i].isrc, source->Tracks()[i].isrc);
    }
    std::string a(2850 * kSector, '\0'), b(2850 * kSector, '\0');
    ASSERT_TRUE(source->ReadSectors(150, 2850, reinterpret_cast<uint8_t*>(a.data())));
    ASSERT_TRUE(w.image->ReadSectors(150, 2850, reinterpret_cast<uint8_t*>(b.data())));
    EXPECT_TRUE(a == b);
    const kyCdText& t = w.image->CdText();
    EXPECT_EQ(t.disc.title, "Record Album");
    EXPECT_EQ(t.disc.performer, "Record Artist");
    EXPECT_EQ(t.genre, "Bebop");
    EXPECT_EQ(w.image->Date(), "2001");
    EXPECT_EQ(t.Track(1)->title, "First");
    EXPECT_EQ(t.Track(3)->performer, "Track Artist");
    EXPECT_EQ(w.sheet.find("FILE "), w.sheet.rfind("FILE ")) << w.sheet;
}

TEST_F(CueWriter, TracksWithoutAFileAreLeftOutAndAFailedSheetSaysWhy) {
    DiscInfo disc;
    disc.makeRows(source->Toc());
    const kyDiscLayout layout = LayoutOf(*source);
    const std::string text = kyCueSheetText(disc, source->Toc(), layout, {{"b.wav", 2000, 3000}});
    EXPECT_EQ(text.find("TRACK 02"), std::string::npos) << text;
    EXPECT_NE(text.find("TRACK 01 AUDIO\r\n    FLAGS 4CH"), std::string::npos) << text;
    std::string error;
    EXPECT_FALSE(kyWriteCueSheet((dir.path / "no/such/folder/x.cue").string(), text, error));
    EXPECT_NE(error.find("x.cue"), std::string::npos);
    // An existing sheet is replaced only by a complete one.
    kytest::writeText(dir.path / "old.cue", "old");
    ASSERT_TRUE(kyWriteCueSheet((dir.path / "old.cue").string(), text, error)) << error;
    EXPECT_EQ(kytest::readText(dir.path / "old.cue"), text);
    EXPECT_EQ(kyCueSheetPath("/music/", disc), "/music/Play list.cue");
    disc.artist = "A/B";
    disc.title = "T";
    EXPECT_EQ(kyCueSheetPath("/music", disc), "/music/A,B - T.cue");
}

} // namespace
