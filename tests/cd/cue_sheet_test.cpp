// CUE sheets as disc models: layout, the drive's view of them, errors naming the line, and
// agreement with cd-paranoia (libcdio's own CUE reader) on the track table.
#include "cd/dsk_reader_mode_spti.h"
#include "cd/virtual_drive.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

constexpr uint32_t kSector = 2352;

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/kycueXXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string Write(const std::string& name, const std::string& text) const {
        std::ofstream(path + "/" + name, std::ios::binary) << text;
        return path + "/" + name;
    }
    // A BINARY file whose every sector starts with its file tag and its sector number.
    void Bin(const std::string& name, uint32_t sectors, uint8_t tag,
             uint32_t extraBytes = 0) const {
        std::string data(size_t(sectors) * kSector + extraBytes, '\x11');
        for (uint32_t s = 0; s < sectors; ++s) {
            data[size_t(s) * kSector] = char(tag);
            std::memcpy(&data[size_t(s) * kSector + 1], &s, 4);
        }
        Write(name, data);
    }
};

// The tag and sector number a sector read from a Bin() file carries; tag 0 for silence.
std::pair<uint8_t, uint32_t> Tag(const kyDiscImage& image, uint32_t lba) {
    uint8_t sector[kSector];
    EXPECT_TRUE(image.ReadSectors(lba, 1, sector)) << lba;
    uint32_t n;
    std::memcpy(&n, sector + 1, 4);
    return {sector[0], sector[0] ? n : 0};
}

const char* kEnhancedSheet = R"(REM a comment line
CATALOG 0724349831125
FILE "one.bin" BINARY
  TRACK 01 AUDIO
    TITLE "Ignored"
    ISRC GBAYE0000351
    INDEX 01 00:00:00
  TRACK 02 AUDIO
    FLAGS DCP PRE
    INDEX 00 00:10:00
    INDEX 01 00:12:00
FILE "two part.bin" BINARY
  TRACK 03 AUDIO
    FLAGS 4CH
    PREGAP 00:01:00
    INDEX 01 00:00:00
    INDEX 02 00:05:00
    POSTGAP 00:00:10
REM SESSION 02
FILE "data.bin" BINARY
  TRACK 04 MODE1/2352
    INDEX 01 00:00:00
  TRACK 05 MODE2/2352
    INDEX 01 00:04:00
)";

TEST(CueSheet, LayoutOfFilesGapsAndSessions) {
    TempDir dir;
    dir.Bin("one.bin", 1500, 1);
    dir.Bin("two part.bin", 1000, 2, 100); // not a whole number of sectors
    dir.Bin("data.bin", 600, 3);
    std::string error;
    auto image = kyDiscImage::LoadCue(dir.Write("disc.cue", kEnhancedSheet), error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->Mcn(), "0724349831125");
    const auto& t = image->Tracks();
    ASSERT_EQ(t.size(), 5u);
    // Track 1 at 0; track 2's INDEX 00 at 750 and INDEX 01 at 900.
    EXPECT_EQ(t[0].start, 0u);
    EXPECT_EQ(t[0].isrc, "GBAYE0000351");
    EXPECT_EQ(t[1].pregapStart, 750u);
    EXPECT_EQ(t[1].start, 900u);
    EXPECT_EQ(t[1].control, 3);
    // File two follows file one at 1500, after 75 sectors of PREGAP silence.
    EXPECT_EQ(t[2].pregapStart, 1500u);
    EXPECT_EQ(t[2].start, 1575u);
    EXPECT_EQ(t[2].control, 8);
    // 1001 sectors (the tail padded), then 10 of POSTGAP: session 1 ends at 2586.
    ASSERT_EQ(image->Sessions().size(), 2u);
    EXPECT_EQ(image->Sessions()[0].leadOut, 1575u + 1001 + 10);
    EXPECT_EQ(image->Sessions()[0].lastTrack, 3u);
    EXPECT_EQ(t[3].session, 2u);
    EXPECT_EQ(t[3].start, 2586u + 11400);
    EXPECT_EQ(t[3].control, 4);
    EXPECT_EQ(t[4].start, t[3].start + 300);
    EXPECT_EQ(t[4].mode, 2);
    EXPECT_EQ(image->Sessions()[1].firstTrack, 4u);
    EXPECT_EQ(image->LeadOut(), t[3].start + 600);

    EXPECT_EQ(Tag(*image, 0), std::make_pair(uint8_t(1), 0u));
    EXPECT_EQ(Tag(*image, 1499), std::make_pair(uint8_t(1), 1499u));
    EXPECT_EQ(Tag(*image, 1500), std::make_pair(uint8_t(0), 0u)); // PREGAP
    EXPECT_EQ(Tag(*image, 1575), std::make_pair(uint8_t(2), 0u));
    EXPECT_EQ(Tag(*image, 2574), std::make_pair(uint8_t(2), 999u));
    EXPECT_EQ(Tag(*image, 2585), std::make_pair(uint8_t(0), 0u)); // POSTGAP
    EXPECT_EQ(Tag(*image, t[4].start), std::make_pair(uint8_t(3), 300u));
    uint8_t sector[kSector];
    EXPECT_FALSE(image->ReadSectors(2586, 1, sector));             // between the sessions
    EXPECT_FALSE(image->ReadSectors(t[3].start - 1, 2, sector));   // runs into the gap
    EXPECT_FALSE(image->ReadSectors(image->LeadOut(), 1, sector)); // past the end
}

// Opens virtual drive 0 through the pass-through method and builds its table of contents.
kyDiscToc DriveToc(std::shared_ptr<kyDiscImage> image, std::unique_ptr<kyDskReaderModeSPTI>& mode) {
    kyClearVirtualDrives();
    std::string error;
    EXPECT_EQ(kyAddVirtualDrive(std::move(image), "", error), 0);
    kyOpticalDriveRoots none{"/nonexistent-dev", "/nonexistent-info"};
    mode = std::make_unique<kyDskReaderModeSPTI>(none);
    uint8_t plain[KY_PLAIN_TOC_BYTES], full[KY_FULL_TOC_BYTES];
    bool fullValid = false;
    uint32_t largest, speed;
    kyDiscToc toc;
    EXPECT_TRUE(mode->Open(0, plain, fullValid, full, largest, speed));
    EXPECT_TRUE(toc.BuildFromPlain(plain, sizeof plain));
    if (fullValid) toc.RefineFromFull(full, sizeof full);
    return toc;
}

TEST(CueSheet, DriveTableOfContentsEqualsTheSheet) {
    TempDir dir;
    dir.Bin("one.bin", 1500, 1);
    dir.Bin("two part.bin", 1000, 2);
    dir.Bin("data.bin", 600, 3);
    std::string error;
    std::shared_ptr<kyDiscImage> image =
        kyDiscImage::LoadCue(dir.Write("disc.cue", kEnhancedSheet), error);
    ASSERT_TRUE(image) << error;
    std::unique_ptr<kyDskReaderModeSPTI> mode;
    const kyDiscToc toc = DriveToc(image, mode);
    const uint32_t expectedStart[] = {0, 0, 900, 1575, 2585 + 11400, 2585 + 11700, 2585 + 12000};
    const uint32_t expectedLength[] = {0, 900, 675, 1010, 300, 300, 0};
    EXPECT_EQ(toc.firstTrack, 1u);
    EXPECT_EQ(toc.lastTrack, 5u);
    for (uint32_t n = 1; n <= 6; ++n) {
        EXPECT_EQ(toc.entries[n].start, expectedStart[n]) << n;
        EXPECT_EQ(toc.entries[n].length, expectedLength[n]) << n;
    }
    EXPECT_EQ(toc.entries[2].preEmphasis, 1);
    EXPECT_EQ(toc.entries[2].copyPermitted, 1);
    EXPECT_EQ(toc.entries[3].fourChannel, 1);
    EXPECT_EQ(toc.entries[4].data, 1);
    EXPECT_EQ(mode->MediaCatalogNumber(), std::optional<std::string>("0724349831125"));
    EXPECT_EQ(mode->Isrc(1), std::optional<std::string>("GBAYE0000351"));
    EXPECT_EQ(mode->Isrc(2), std::nullopt);
    // The audio reads back as the files hold it.
    std::vector<uint8_t> audio(10 * kSector);
    ASSERT_EQ(mode->ReadAudio(audio.data(), 1575, 10), KY_OK);
    uint32_t n;
    std::memcpy(&n, &audio[5 * kSector + 1], 4);
    EXPECT_EQ(audio[5 * kSector], 2);
    EXPECT_EQ(n, 5u);
    kyClearVirtualDrives();
}

TEST(CueSheet, SheetWithoutCatalogueHasNoMcn) {
    TempDir dir;
    dir.Bin("a.bin", 400, 1);
    std::string error;
    std::shared_ptr<kyDiscImage> image = kyDiscImage::LoadCue(
        dir.Write("a.cue", "FILE a.bin BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n"),
        error);
    ASSERT_TRUE(image) << error;
    std::unique_ptr<kyDskReaderModeSPTI> mode;
    const kyDiscToc toc = DriveToc(image, mode);
    EXPECT_EQ(toc.lastTrack, 1u);
    EXPECT_EQ(toc.entries[1].length, 400u);
    EXPECT_EQ(mode->MediaCatalogNumber(), std::nullopt);
    EXPECT_EQ(mode->Isrc(1), std::nullopt);
    kyClearVirtualDrives();
}

TEST(CueSheet, ErrorsNameTheLine) {
    TempDir dir;
    dir.Bin("a.bin", 300, 1);
    dir.Write("empty.bin", "");
    const std::string head = "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\n";
    struct Case {
        std::string sheet;
        int line;
        const char* words;
    };
    const std::vector<Case> cases = {
        {"FILE \"missing.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", 1, "missing.bin"},
        {head + "INDEX 01 00:04:00\n", 3, "beyond the end"},
        {head + "INDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 01 00:04:01\n", 5, "beyond the end"},
        {"FILE \"a.bin\" WAVE\n", 1, "WAVE"},
        {"FILE \"a.bin\" BINARY\nTRACK 01 MODE3/2048\n", 2, "MODE3/2048"},
        {"TRACK 01 AUDIO\n", 1, "before the first FILE"},
        {"INDEX 01 00:00:00\n", 1, "before the first TRACK"},
        {head + "INDEX 01 00:60:00\n", 3, "mm:ss:ff"},
        {head + "INDEX 01 00:00:75\n", 3, "mm:ss:ff"},
        {head + "INDEX 01 00:00:00\nTRACK 03 AUDIO\n", 4, "does not follow"},
        {head + "INDEX 00 00:00:00\nTRACK 02 AUDIO\nINDEX 01 00:01:00\n", 2, "only INDEX 00"},
        {head + "INDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 00 00:01:00\n", 4, "only INDEX 00"},
        {head + "INDEX 01 00:00:00\nTRACK 02 AUDIO\n", 4, "no INDEX 01"},
        {head + "INDEX 01 00:01:00\nTRACK 02 AUDIO\nINDEX 01 00:00:10\n", 5, "backwards"},
        {head + "INDEX 01 00:01:00\nINDEX 00 00:01:10\n", 4, "INDEX 00"},
        {head + "INDEX 01 00:00:00\nINDEX 03 00:02:00\n", 4, "does not follow INDEX 01"},
        {head + "INDEX 01 00:00:00\nTRACK 100 AUDIO\n", 4, "at most 99 tracks"},
        {head + "PREGAP 99:59:00\nINDEX 01 00:00:00\n", 2, "longer than a CD can hold"},
        {head + "INDEX 01 00:00:00\nISRC GB-AYE-00-0035\n", 4, "ISRC"},
        {"CATALOG 12345678901\n", 1, "CATALOG"},
        {"FILE \"a.bin\"\n", 1, "a type"},
        {head + "FLAGS PRE LOUD\n", 3, "LOUD"},
        {head + "ISRC 12345\n", 3, "ISRC"},
        {"CATALOG 12345678901234\n", 1, "CATALOG"},
        {"FILE \"a.bin BINARY\n", 1, "quotation"},
        {head + "INDEX 01 00:00:00\nREM SESSION 03\n", 4, "session 3"},
        {"REM SESSION 02\n" + head, 1, "no track"},
        {head + "INDEX 01 00:00:00\nFILE \"a.bin\" BINARY\n", 4, "without a TRACK"},
        {head + "INDEX 01 00:00:00\nWOBBLE\n", 4, "WOBBLE"},
        {"REM nothing here\n\n", 2, "no TRACK"},
        {"FILE \"empty.bin\" BINARY\n", 1, "empty"},
        {"FILE \".\" BINARY\n", 1, "regular file"},
    };
    for (const Case& c : cases) {
        std::string error;
        const std::string path = dir.Write("bad.cue", c.sheet);
        EXPECT_EQ(kyDiscImage::LoadCue(path, error), nullptr) << c.sheet;
        EXPECT_NE(error.find(path + ":" + std::to_string(c.line) + ":"), std::string::npos)
            << c.sheet << " -> " << error;
        EXPECT_NE(error.find(c.words), std::string::npos) << c.sheet << " -> " << error;
    }
    std::string error;
    EXPECT_EQ(kyDiscImage::LoadCue(dir.path + "/none.cue", error), nullptr);
    EXPECT_NE(error.find("none.cue"), std::string::npos);
    EXPECT_EQ(kyDiscImage::LoadCue(dir.Write("bin.cue", std::string("FILE\0x", 6)), error),
              nullptr);
    EXPECT_FALSE(error.empty());
}

// cd-paranoia -Q prints libcdio's view of the sheet:
//   "  2.     2100 [00:28.00]      900 [00:12.00]    OK  yes  2"
struct ParanoiaTrack {
    uint32_t number, length, begin;
    bool copy, pre;
    int channels;
};

std::vector<ParanoiaTrack> Paranoia(const std::string& cue) {
    std::vector<ParanoiaTrack> tracks;
    const std::string command = "cd-paranoia -Q -d '" + cue + "' 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (!p) return tracks;
    std::string out;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, p)) out += buffer;
    pclose(p);
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        ParanoiaTrack t;
        char copy[4], pre[4];
        if (std::sscanf(line.c_str(), " %u. %u [%*[^]]] %u [%*[^]]] %3s %3s %d", &t.number,
                        &t.length, &t.begin, copy, pre, &t.channels) != 6)
            continue;
        t.copy = std::strcmp(copy, "OK") == 0;
        t.pre = std::strcmp(pre, "yes") == 0;
        tracks.push_back(t);
    }
    return tracks;
}

TEST(CueSheet, TrackTableAgreesWithCdParanoia) {
    if (std::system("command -v cd-paranoia > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "cd-paranoia is not installed";
    TempDir dir;
    // libcdio finds the image by the sheet's own name, so both share it.
    dir.Bin("check.bin", 9000, 1);
    const std::string cue = dir.Write("check.cue", R"(CATALOG 0000000000017
FILE "check.bin" BINARY
  TRACK 01 AUDIO
    ISRC USABC0900001
    INDEX 01 00:00:00
  TRACK 02 AUDIO
    FLAGS PRE
    INDEX 00 00:20:00
    INDEX 01 00:22:10
  TRACK 03 AUDIO
    FLAGS DCP
    INDEX 01 00:40:00
  TRACK 04 AUDIO
    FLAGS 4CH DCP
    INDEX 00 01:00:00
    INDEX 01 01:01:00
  TRACK 05 AUDIO
    INDEX 01 01:30:33
)");
    std::string error;
    std::shared_ptr<kyDiscImage> image = kyDiscImage::LoadCue(cue, error);
    ASSERT_TRUE(image) << error;
    std::unique_ptr<kyDskReaderModeSPTI> mode;
    const kyDiscToc toc = DriveToc(image, mode);
    const std::vector<ParanoiaTrack> theirs = Paranoia(cue);
    ASSERT_EQ(theirs.size(), toc.lastTrack - toc.firstTrack + 1);
    for (const ParanoiaTrack& p : theirs) {
        const kyTocEntry& e = toc.entries[p.number];
        EXPECT_EQ(e.start, p.begin) << p.number;
        EXPECT_EQ(e.length, p.length) << p.number;
        EXPECT_EQ(e.copyPermitted != 0, p.copy) << p.number;
        EXPECT_EQ(e.preEmphasis != 0, p.pre) << p.number;
        EXPECT_EQ(e.fourChannel ? 4 : 2, p.channels) << p.number;
    }
    kyClearVirtualDrives();
}

} // namespace

namespace {

TEST(CueSheet, GeneratedTestImageLoads) {
    TempDir dir;
    std::string error;
    EXPECT_EQ(kyWriteTestImage(dir.path, 0, error), "");
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(kyWriteTestImage(dir.path + "/missing/folder", 1, error), "");
    EXPECT_FALSE(error.empty());
    const std::string cue = kyWriteTestImage(dir.path, 6, error);
    ASSERT_FALSE(cue.empty()) << error;
    EXPECT_FALSE(std::filesystem::exists(dir.path + "/DskR test image.bin.part"));
    auto image = kyDiscImage::LoadCue(cue, error);
    ASSERT_TRUE(image) << error;
    ASSERT_EQ(image->Tracks().size(), 2u); // 4:30 and 1:30
    EXPECT_EQ(image->Tracks()[1].start, 270u * 75);
    EXPECT_EQ(image->LeadOut(), 6u * 60 * 75);
    std::vector<uint8_t> audio(75 * kSector);
    ASSERT_TRUE(image->ReadSectors(300 * 75, 75, audio.data()));
    EXPECT_GT(std::count(audio.begin(), audio.end(), 0), 0);
    EXPECT_LT(std::count(audio.begin(), audio.end(), 0), long(audio.size() / 4));
}

TEST(DemoDisc, RecordMatchesTheTracks) {
    auto demo = kyDiscImage::Demo();
    ASSERT_TRUE(demo->Record());
    const kyDemoDiscRecord& r = *demo->Record();
    EXPECT_FALSE(r.artist.empty());
    EXPECT_FALSE(r.album.empty());
    size_t audio = 0;
    for (const kyDiscTrack& t : demo->Tracks()) audio += !t.IsData();
    EXPECT_GE(audio, 5u);
    EXPECT_LE(audio, 8u);
    EXPECT_EQ(r.trackTitles.size(), audio);
    EXPECT_EQ(demo->Sessions().size(), 2u);
    // Two renderings of the same disc are the same bytes.
    auto again = kyDiscImage::Demo();
    std::vector<uint8_t> a(10 * kSector), b(10 * kSector);
    ASSERT_TRUE(demo->ReadSectors(3000, 10, a.data()));
    ASSERT_TRUE(again->ReadSectors(3000, 10, b.data()));
    EXPECT_EQ(a, b);
}

} // namespace
