// CUE sheets as other programs write them: one disc written in many forms (BINARY,
// MOTOROLA, WAVE files with either gap layout, AIFF, FLAC; lowercase, tabs, CR LF, lone CR,
// a UTF-8 mark, Windows-1252 text; "\" in names and names in another letter case) must
// load to the same table of contents, names and ISRCs and the same bytes in every sector.
#include "cd/virtual_drive.h"
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

constexpr uint32_t kSector = 2352;

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/kycuewildXXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string Write(const std::string& name, const std::string& bytes) const {
        std::filesystem::create_directories(std::filesystem::path(path + "/" + name).parent_path());
        std::ofstream(path + "/" + name, std::ios::binary) << bytes;
        return path + "/" + name;
    }
};

void Put16(std::string& s, uint32_t v, bool big) {
    s += char(big ? v >> 8 : v);
    s += char(big ? v : v >> 8);
}
void Put32(std::string& s, uint32_t v, bool big) {
    if (big) {
        Put16(s, v >> 16, true);
        Put16(s, v & 0xFFFF, true);
    } else {
        Put16(s, v & 0xFFFF, false);
        Put16(s, v >> 16, false);
    }
}

// A canonical RIFF/WAVE file around little-endian PCM.
std::string Wav(const std::string& pcm, uint32_t rate = 44100, uint32_t channels = 2,
                uint32_t bits = 16) {
    std::string s = "RIFF";
    Put32(s, uint32_t(36 + pcm.size()), false);
    s += "WAVEfmt ";
    Put32(s, 16, false);
    Put16(s, 1, false);
    Put16(s, channels, false);
    Put32(s, rate, false);
    Put32(s, rate * channels * bits / 8, false);
    Put16(s, channels * bits / 8, false);
    Put16(s, bits, false);
    s += "data";
    Put32(s, uint32_t(pcm.size()), false);
    return s + pcm;
}

// An AIFF file around the same samples (stored big-endian).
std::string Aiff(const std::string& pcm) {
    std::string body = "AIFFCOMM";
    Put32(body, 18, true);
    Put16(body, 2, true);
    Put32(body, uint32_t(pcm.size() / 4), true);
    Put16(body, 16, true);
    // 44100 as an 80-bit extended number.
    const uint8_t rate[10] = {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0};
    body.append(reinterpret_cast<const char*>(rate), 10);
    body += "SSND";
    Put32(body, uint32_t(pcm.size() + 8), true);
    Put32(body, 0, true);
    Put32(body, 0, true);
    for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
        body += pcm[i + 1];
        body += pcm[i];
    }
    std::string s = "FORM";
    Put32(s, uint32_t(body.size()), true);
    return s + body;
}

std::string Swapped(std::string pcm) {
    for (size_t i = 0; i + 1 < pcm.size(); i += 2) std::swap(pcm[i], pcm[i + 1]);
    return pcm;
}

// Music-like noise, different in every sector.
std::string Audio(uint32_t sectors) {
    std::string s(size_t(sectors) * kSector, '\0');
    uint32_t x = 12345;
    for (char& c : s) {
        x = x * 1103515245 + 12345;
        c = char(x >> 16);
    }
    return s;
}

// The reference disc: 3000 sectors, track 2's INDEX 00 at 900 and INDEX 01 at 1000,
// track 3 at 2000 with INDEX 02 at 2500.
struct Expected {
    std::vector<uint32_t> start{0, 1000, 2000};
    std::vector<uint32_t> pregap{0, 900, 2000};
};

void ExpectReferenceDisc(const kyDiscImage& image, const std::string& audio,
                         const std::string& form) {
    SCOPED_TRACE(form);
    const Expected want;
    ASSERT_EQ(image.Tracks().size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(image.Tracks()[i].start, want.start[i]) << i;
        EXPECT_EQ(image.Tracks()[i].pregapStart, want.pregap[i]) << i;
    }
    EXPECT_EQ(image.Tracks()[2].indexes, std::vector<uint32_t>{2500});
    EXPECT_TRUE(image.Tracks()[1].indexes.empty());
    EXPECT_EQ(image.LeadOut(), 3000u);
    EXPECT_EQ(image.Mcn(), "0724349831125");
    EXPECT_EQ(image.Isrc(1), "USABC0900001");
    EXPECT_EQ(image.Isrc(2), "GBAYE0000351");
    EXPECT_EQ(image.Isrc(3), ""); // all zeros: none
    const kyCdText& text = image.CdText();
    EXPECT_EQ(text.disc.title, "Caf\xC3\xA9 Noir");
    EXPECT_EQ(text.disc.performer, "The Band");
    EXPECT_EQ(text.genre, "Jazz");
    EXPECT_EQ(image.Date(), "1999");
    ASSERT_NE(text.Track(2), nullptr);
    EXPECT_EQ(text.Track(2)->title, "Zwei");
    EXPECT_EQ(text.Track(2)->songwriter, "S. Writer");
    EXPECT_EQ(text.Track(2)->composer, "C. Omposer");
    ASSERT_NE(text.Track(3), nullptr);
    EXPECT_EQ(text.Track(3)->performer, "Guest");
    std::string read(3000 * size_t(kSector), '\0');
    ASSERT_TRUE(image.ReadSectors(0, 3000, reinterpret_cast<uint8_t*>(read.data())));
    EXPECT_TRUE(read == audio) << "the sectors differ";
    // Read again, backwards in pieces, as a drive re-reads.
    for (uint32_t lba : {2990u, 1500u, 10u, 1499u}) {
        std::string one(kSector * 10, '\0');
        ASSERT_TRUE(image.ReadSectors(lba, std::min(10u, 3000 - lba),
                                      reinterpret_cast<uint8_t*>(one.data())));
        EXPECT_EQ(one.substr(0, std::min(10u, 3000 - lba) * kSector),
                  audio.substr(size_t(lba) * kSector, std::min(10u, 3000 - lba) * kSector))
            << lba;
    }
}

// The disc-level and track-level lines every form shares (UTF-8).
const char* kHead = "REM GENRE Jazz\nREM DATE 1999\nREM COMMENT \"ExactAudioCopy v1.0\"\n"
                    "CATALOG 0724349831125\nPERFORMER \"The Band\"\nTITLE \"Caf\xC3\xA9 Noir\"\n";
const char* kTrack2 =
    "    TITLE \"Zwei\"\n    SONGWRITER \"S. Writer\"\n    REM COMPOSER \"C. Omposer\"\n"
    "    ISRC GBAYE0000351\n";
const char* kTrack3 = "    PERFORMER Guest\n    ISRC 000000000000\n";

std::string OneFileSheet(const std::string& file, const std::string& type) {
    return std::string(kHead) + "FILE \"" + file + "\" " + type +
           "\n  TRACK 01 AUDIO\n    ISRC USABC0900001\n    INDEX 01 00:00:00\n"
           "  TRACK 02 AUDIO\n" +
           kTrack2 + "    INDEX 00 00:12:00\n    INDEX 01 00:13:25\n  TRACK 03 AUDIO\n" + kTrack3 +
           "    INDEX 01 00:26:50\n    INDEX 02 00:33:25\n";
}

// Rewrites a sheet with CR LF, tabs and lowercase keywords.
std::string Windowsy(const std::string& sheet) {
    std::string out;
    size_t at = 0;
    while (at < sheet.size()) {
        const size_t end = sheet.find('\n', at);
        std::string line = sheet.substr(at, end - at);
        size_t word = line.find_first_not_of(' ');
        line.replace(0, word, std::string(word ? 1 : 0, '\t'));
        word = word ? 1 : 0;
        for (size_t i = word; i < line.size() && line[i] != ' '; ++i)
            line[i] = char(std::tolower(static_cast<unsigned char>(line[i])));
        out += line + "\r\n";
        at = end == std::string::npos ? sheet.size() : end + 1;
    }
    return out;
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

TEST(CueSheetWild, OneDiscInEveryFormLoadsAlike) {
    TempDir dir;
    const std::string audio = Audio(3000);
    dir.Write("disc.bin", audio);
    dir.Write("disc.motorola", Swapped(audio));
    dir.Write("disc.wav", Wav(audio));
    dir.Write("disc.aiff", Aiff(audio));
    // Per track files: with the gaps at the end of the previous file, and in a sub-folder
    // whose names differ in letter case from the sheet's.
    dir.Write("Sub/track 01.wav", Wav(audio.substr(0, 1000 * size_t(kSector))));
    dir.Write("Sub/track 02.wav",
              Wav(audio.substr(1000 * size_t(kSector), 1000 * size_t(kSector))));
    dir.Write("Sub/track 03.wav", Wav(audio.substr(2000 * size_t(kSector))));
    // ... and with each track's gap at the start of its own file.
    dir.Write("g1.wav", Wav(audio.substr(0, 900 * size_t(kSector))));
    dir.Write("g2.wav", Wav(audio.substr(900 * size_t(kSector), 1100 * size_t(kSector))));
    dir.Write("g3.wav", Wav(audio.substr(2000 * size_t(kSector))));

    const std::string split =
        std::string(kHead) +
        "FILE \"sub\\Track 01.WAV\" WAVE\n  TRACK 01 AUDIO\n    ISRC US-ABC-09-00001\n"
        "    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n" +
        kTrack2 +
        "    INDEX 00 00:12:00\nFILE \"SUB\\track 02.wav\" WAVE\n    INDEX 01 00:00:00\n"
        "FILE \"sub/track 03.wav\" WAVE\n  TRACK 03 AUDIO\n" +
        kTrack3 + "    INDEX 01 00:00:00\n    INDEX 02 00:06:50\n";
    const std::string gapsAhead =
        std::string(kHead) +
        "FILE g1.wav WAVE\n  TRACK 01 AUDIO\n    ISRC USABC0900001\n    INDEX 01 00:00:00\n"
        "FILE g2.wav WAVE\n  TRACK 02 AUDIO\n" +
        kTrack2 +
        "    INDEX 00 00:00:00\n    INDEX 01 00:01:25\nFILE g3.wav WAVE\n  TRACK 03 AUDIO\n" +
        kTrack3 + "    INDEX 01 00:00:00\n    INDEX 02 00:06:50\n";
    const std::string cp1252 =
        Replace(Replace(OneFileSheet("disc.bin", "BINARY"), "Caf\xC3\xA9", "Caf\xE9"), "\n", "\r");
    struct Form {
        const char* name;
        std::string sheet;
    };
    const std::vector<Form> forms = {
        {"binary", OneFileSheet("disc.bin", "BINARY")},
        {"crlf, tabs, lowercase, UTF-8 mark",
         "\xEF\xBB\xBF" + Windowsy(OneFileSheet("disc.bin", "BINARY"))},
        {"Windows-1252, lone CR", cp1252},
        {"motorola", OneFileSheet("disc.motorola", "MOTOROLA")},
        {"wave", OneFileSheet("disc.wav", "WAVE")},
        {"aiff", OneFileSheet("disc.aiff", "AIFF")},
        {"wave named in another case", OneFileSheet("DISC.WAV", "WAVE")},
        {"a Windows path", OneFileSheet("C:\\Rips\\disc.wav", "WAVE")},
        {"gaps appended to the previous file", split},
        {"gaps at the start of each file", gapsAhead},
        {"comments", "; written by some ripper\n// and another\n" +
                         Replace(OneFileSheet("disc.bin", "BINARY"), "CATALOG 0724349831125",
                                 "CATALOG 724349831125")},
    };
    for (const Form& f : forms) {
        std::string error;
        const std::string cue = dir.Write("form.cue", f.sheet);
        std::unique_ptr<kyDiscImage> image = kyDiscImage::LoadCue(cue, error);
        ASSERT_TRUE(image) << f.name << ": " << error;
        ExpectReferenceDisc(*image, audio, f.name);
    }
}

TEST(CueSheetWild, GapsAnywhereTheWritersPutThem) {
    TempDir dir;
    dir.Write("a.bin", Audio(400));
    std::string error;
    // PREGAP after the INDEX lines, POSTGAP before them: both still around the track.
    auto image = kyDiscImage::LoadCue(dir.Write("a.cue", "FILE a.bin BINARY\n"
                                                         "TRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                                                         "TRACK 02 AUDIO\nINDEX 01 00:02:00\n"
                                                         "PREGAP 00:01:00\nPOSTGAP 00:00:30\n"),
                                      error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->Tracks()[1].pregapStart, 150u);
    EXPECT_EQ(image->Tracks()[1].start, 225u);
    EXPECT_EQ(image->LeadOut(), 400u + 75 + 30);
}

TEST(CueSheetWild, DataTracksStoredWithoutTheirHeaders) {
    TempDir dir;
    std::string file = Audio(300);
    std::string mode1(200 * 2048, '\0'), mode2(100 * 2336, '\0');
    for (size_t i = 0; i < mode1.size(); ++i) mode1[i] = char(i / 2048 + 1);
    for (size_t i = 0; i < mode2.size(); ++i) mode2[i] = char(i / 2336 + 7);
    dir.Write("mixed.bin", file + mode1 + mode2);
    std::string error;
    auto image = kyDiscImage::LoadCue(
        dir.Write("mixed.cue", "FILE mixed.bin BINARY\n TRACK 1 AUDIO\n  INDEX 1 00:00:00\n"
                               " TRACK 2 MODE1/2048\n  INDEX 1 00:04:00\n"
                               " TRACK 3 MODE2/2336\n  INDEX 1 00:06:50\n"),
        error);
    ASSERT_TRUE(image) << error;
    ASSERT_EQ(image->Tracks().size(), 3u);
    EXPECT_EQ(image->Tracks()[1].start, 300u);
    EXPECT_EQ(image->Tracks()[1].mode, 1);
    EXPECT_TRUE(image->Tracks()[1].IsData());
    EXPECT_EQ(image->Tracks()[2].start, 500u);
    EXPECT_EQ(image->Tracks()[2].mode, 2);
    EXPECT_EQ(image->LeadOut(), 600u);
    uint8_t s[kSector];
    ASSERT_TRUE(image->ReadSectors(305, 1, s));
    const uint8_t sync[12] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    EXPECT_EQ(std::memcmp(s, sync, 12), 0);
    // 00:06:05 as BCD (LBA 305 + 150), mode 1, then the user data.
    EXPECT_EQ(s[12], 0x00);
    EXPECT_EQ(s[13], 0x06);
    EXPECT_EQ(s[14], 0x05);
    EXPECT_EQ(s[15], 1);
    EXPECT_EQ(s[16], 6);
    EXPECT_EQ(s[16 + 2047], 6);
    ASSERT_TRUE(image->ReadSectors(599, 1, s));
    EXPECT_EQ(s[15], 2);
    EXPECT_EQ(s[16], 7 + 99);
    EXPECT_EQ(s[16 + 2335], 7 + 99);
}

TEST(CueSheetWild, FlacFilesReadBitExact) {
    if (std::system("command -v flac > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "flac is not installed";
    TempDir dir;
    const std::string audio = Audio(3000);
    dir.Write("disc.wav", Wav(audio));
    ASSERT_EQ(
        std::system(
            ("flac -s -f -o '" + dir.path + "/disc.flac' '" + dir.path + "/disc.wav'").c_str()),
        0);
    std::filesystem::remove(dir.path + "/disc.wav");
    std::string error;
    auto image = kyDiscImage::LoadCue(dir.Write("f.cue", OneFileSheet("disc.flac", "FLAC")), error);
    if (!image && error.find("needs") != std::string::npos) GTEST_SKIP() << error;
    ASSERT_TRUE(image) << error;
    ExpectReferenceDisc(*image, audio, "flac");
}

TEST(CueSheetWild, AudioFilesACdCannotHoldAreRefused) {
    TempDir dir;
    const std::string pcm = Audio(10);
    dir.Write("mono.wav", Wav(pcm, 44100, 1));
    dir.Write("48k.wav", Wav(pcm, 48000));
    dir.Write("24.wav", Wav(pcm.substr(0, 6 * 1000), 44100, 2, 24));
    dir.Write("noise.xyz", pcm);
    // A BINARY file too large for any CD, without writing its bytes.
    const std::string huge = dir.Write("huge.bin", "");
    ASSERT_EQ(::truncate(huge.c_str(), off_t(1000) * 1000 * 1000), 0);
    struct Case {
        const char* file;
        const char* type;
        const char* words;
    };
    const Case cases[] = {
        {"mono.wav", "WAVE", "1 channel"},   {"48k.wav", "WAVE", "48000 Hz"},
        {"24.wav", "WAVE", "24-bit"},        {"noise.xyz", "MP3", "no format"},
        {"huge.bin", "BINARY", "too large"},
    };
    for (const Case& c : cases) {
        std::string error;
        const std::string cue =
            dir.Write("bad.cue", "REM x\nFILE \"" + std::string(c.file) + "\" " + c.type +
                                     "\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n");
        EXPECT_EQ(kyDiscImage::LoadCue(cue, error), nullptr) << c.file;
        EXPECT_NE(error.find(cue + ":2: "), std::string::npos) << error;
        EXPECT_NE(error.find(c.words), std::string::npos) << error;
    }
    // A data track cannot come from an audio file.
    dir.Write("ok.wav", Wav(pcm));
    std::string error;
    EXPECT_EQ(
        kyDiscImage::LoadCue(dir.Write("d.cue", "FILE ok.wav WAVE\nTRACK 01 MODE1/2352\n"), error),
        nullptr);
    EXPECT_NE(error.find("d.cue:2: a data track needs a BINARY file"), std::string::npos) << error;
}

} // namespace
