// CUE sheets written by a rip, loaded again: a disc image with gaps, indexes, ISRCs, a
// catalogue number and CD-Text is ripped with --cue (one file per track, and one merged
// file), the written sheet is loaded with --image, and the disc it describes must have the
// same table of contents, disc id, names and ISRCs, and rip to the same bytes.
// cd-paranoia (libcdio's own CUE reader) reads the merged sheet's track table alike.
#include "support/cli_test_home.h"
#include "support/file_text.h"
#include "support/run_program.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const std::string kCli = std::string(DSKR_BINARY_DIR) + "/bin/dskr-cli";
constexpr size_t kSector = 2352;

class CliCueTest : public ::testing::Test {
protected:
    kytest::CliTestHome home{"dskr-cli-cue"};

    kytest::ProgramRun run(const std::vector<std::string>& args) {
        return kytest::runProgram(kCli, args, home.dir.string());
    }

    // A 3000-sector disc of noise (digital silence in track 1's pregap unless `hidden`).
    std::string makeDisc(bool hidden) {
        // Music-like (smooth, with a little noise): cd-paranoia guesses the byte order of
        // an image from its samples.
        std::string bin(3000 * kSector, '\0');
        uint32_t x = 7;
        for (size_t i = (hidden ? 0 : 150 * kSector); i < bin.size(); i += 2) {
            x = x * 1664525 + 1013904223;
            const double t = double(i / 4);
            const int v = int(9000 * std::sin(t * (i % 4 ? 0.031 : 0.017)) + (x >> 26)) - 32;
            bin[i] = char(v & 0xFF);
            bin[i + 1] = char((v >> 8) & 0xFF);
        }
        kytest::writeText(home.dir / "src.bin", bin);
        kytest::writeText(home.dir / "src.cue", R"(REM GENRE Jazz
REM DATE 1999
CATALOG 0724349831125
PERFORMER "The Band"
TITLE "Caf)"
                                                "\xC3\xA9"
                                                R"( Noir"
FILE "src.bin" BINARY
  TRACK 01 AUDIO
    TITLE "Eins"
    ISRC USABC0900001
    INDEX 00 00:00:00
    INDEX 01 00:02:00
  TRACK 02 AUDIO
    TITLE "Zwei"
    SONGWRITER "S. Writer"
    FLAGS DCP
    ISRC GBAYE0000351
    INDEX 00 00:12:00
    INDEX 01 00:13:25
  TRACK 03 AUDIO
    PERFORMER "Guest"
    FLAGS 4CH
    INDEX 01 00:26:50
    INDEX 02 00:33:25
)");
        return bin;
    }

    // `toc` of an image, without its drive line.
    std::string toc(const fs::path& cue) {
        const kytest::ProgramRun r = run({"toc", "--image", cue.string()});
        EXPECT_EQ(r.code, 0) << r.err;
        return r.out.substr(r.out.find('\n') + 1);
    }

    // Rips every track of an image into `out` with extra options; the files' paths.
    std::vector<fs::path> rip(const fs::path& cue, const fs::path& out,
                              std::vector<std::string> extra) {
        std::vector<std::string> args = {
            "rip",         "--image",     cue.string(), "--out",     out.string(),
            "--no-lookup", "--overwrite", "replace",    "--pattern", "0,5,2,3,0,0,0,0,0,0"};
        args.insert(args.end(), extra.begin(), extra.end());
        const kytest::ProgramRun r = run(args);
        EXPECT_EQ(r.code, 0) << r.out << r.err;
        std::vector<fs::path> files;
        for (const auto& e : fs::directory_iterator(out))
            if (e.path().extension() == ".wav") files.push_back(e.path());
        std::sort(files.begin(), files.end());
        return files;
    }

    static std::string pcm(const fs::path& wav) {
        const std::string d = kytest::readText(wav);
        const size_t at = d.find("data");
        if (at == std::string::npos || at + 8 > d.size()) return {};
        uint32_t n;
        std::memcpy(&n, &d[at + 4], 4);
        return d.substr(at + 8, n);
    }

    static fs::path sheetIn(const fs::path& dir) {
        for (const auto& e : fs::directory_iterator(dir))
            if (e.path().extension() == ".cue") return e.path();
        return {};
    }
};

TEST_F(CliCueTest, OneFilePerTrackRoundTrips) {
    const std::string bin = makeDisc(false);
    const fs::path out = home.dir / "out";
    const std::vector<fs::path> first = rip(home.dir / "src.cue", out, {"--cue"});
    ASSERT_EQ(first.size(), 3u);
    const fs::path sheet = sheetIn(out);
    ASSERT_FALSE(sheet.empty());
    const std::string text = kytest::readText(sheet);
    EXPECT_NE(text.find("REM COMMENT \"DskR 5\"\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("REM DISCID "), std::string::npos) << text;
    EXPECT_NE(text.find("CATALOG 0724349831125\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("FLAGS DCP\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("FLAGS 4CH\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("FILE \"01 - Eins.wav\" WAVE"), std::string::npos) << text;
    // Track 1's pregap was not ripped: silence of its length keeps the table of contents.
    EXPECT_NE(text.find("PREGAP 00:02:00"), std::string::npos) << text;
    // Every track is named by the file that holds it; no temporary file is left.
    for (const auto& e : fs::directory_iterator(out))
        EXPECT_EQ(e.path().filename().string().find(".part"), std::string::npos);

    // The written sheet is the same disc: table of contents, disc ids, MCN, ISRCs, names,
    // and what the toc shows of gaps and CD-Text.
    EXPECT_EQ(toc(sheet), toc(home.dir / "src.cue"));
    // Its tracks rip to the same bytes, which are the disc's.
    const std::vector<fs::path> again = rip(sheet, home.dir / "again", {});
    ASSERT_EQ(again.size(), 3u);
    const size_t starts[] = {150, 1000, 2000, 3000};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(kytest::readText(first[i]), kytest::readText(again[i])) << first[i];
        EXPECT_TRUE(pcm(first[i]) ==
                    bin.substr(starts[i] * kSector, (starts[i + 1] - starts[i]) * kSector))
            << first[i];
    }
}

TEST_F(CliCueTest, MergedWholeDiscRoundTripsAndCdParanoiaAgrees) {
    const std::string bin = makeDisc(false);
    const fs::path out = home.dir / "merged";
    const std::vector<fs::path> files = rip(home.dir / "src.cue", out, {"--cue", "--merge"});
    ASSERT_EQ(files.size(), 1u);
    const fs::path sheet = sheetIn(out);
    ASSERT_FALSE(sheet.empty());
    const std::string text = kytest::readText(sheet);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n') > 0, true);
    EXPECT_EQ(text.find("FILE "), text.rfind("FILE ")) << "one FILE line: " << text;
    EXPECT_EQ(toc(sheet), toc(home.dir / "src.cue"));
    EXPECT_TRUE(pcm(files[0]) == bin.substr(150 * kSector)) << "the merged file's audio";
    const std::vector<fs::path> again = rip(sheet, home.dir / "again", {});
    ASSERT_EQ(again.size(), 3u);
    EXPECT_TRUE(pcm(again[1]) == bin.substr(1000 * kSector, 1000 * kSector));

    if (std::system("command -v cd-paranoia > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "cd-paranoia is not installed";
    // libcdio reads audio only from a raw image named like the sheet: the merged file's
    // samples as check.bin beside a copy of the sheet. It places tracks by their position
    // in that file (a PREGAP is not on the image), so its addresses are ours less track
    // 1's start.
    kytest::writeText(home.dir / "check.bin", pcm(files[0]));
    fs::copy_file(sheet, home.dir / "check.cue");
    const kytest::ProgramRun q = kytest::runProgram(
        "/bin/sh", {"-c", "cd-paranoia -Q -d '" + (home.dir / "check.cue").string() + "' 2>&1"},
        home.dir.string());
    const std::regex row(
        R"(^\s*(\d+)\.\s+(\d+) \[[^\]]*\]\s+(\d+) \[[^\]]*\]\s+(OK|no)\s+(yes|no)\s+(\d))");
    std::istringstream lines(q.out);
    std::string line;
    std::vector<std::vector<long>> theirs;
    while (std::getline(lines, line)) {
        std::smatch m;
        if (std::regex_search(line, m, row))
            theirs.push_back(
                {std::stol(m[1]), std::stol(m[2]), std::stol(m[3]), m[4] == "OK", std::stol(m[6])});
    }
    const std::vector<std::vector<long>> ours = {
        {1, 850, 0, 0, 2}, {2, 1000, 850, 1, 2}, {3, 1000, 1850, 0, 4}};
    EXPECT_EQ(theirs, ours) << q.out;
    // And its rip of track 2 from that sheet is the disc's track 2.
    const kytest::ProgramRun w =
        kytest::runProgram("/bin/sh",
                           {"-c", "cd '" + home.dir.string() +
                                      "' && cd-paranoia -d check.cue -w 2 t2.wav >/dev/null 2>&1"},
                           home.dir.string());
    EXPECT_EQ(w.code, 0);
    const std::string t2 = pcm(home.dir / "t2.wav");
    EXPECT_EQ(t2.size(), 1000 * kSector) << w.out << w.err;
    EXPECT_TRUE(t2 == bin.substr(1000 * kSector, 1000 * kSector));
}

TEST_F(CliCueTest, HiddenTrackOneAudioIsRippedAndDescribed) {
    const std::string bin = makeDisc(true);
    const fs::path out = home.dir / "hidden";
    const std::vector<fs::path> files = rip(home.dir / "src.cue", out, {"--cue", "--hidden-track"});
    ASSERT_EQ(files.size(), 4u);
    EXPECT_EQ(files[0].filename(), "00 - Hidden Track.wav");
    EXPECT_TRUE(pcm(files[0]) == bin.substr(0, 150 * kSector));
    const fs::path sheet = sheetIn(out);
    const std::string text = kytest::readText(sheet);
    EXPECT_NE(text.find("FILE \"00 - Hidden Track.wav\" WAVE\r\n  TRACK 01 AUDIO\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("PREGAP"), std::string::npos) << text;
    EXPECT_EQ(toc(sheet), toc(home.dir / "src.cue"));
    // Loaded again, the pregap holds the hidden audio.
    const std::vector<fs::path> again = rip(sheet, home.dir / "again", {"--hidden-track"});
    ASSERT_EQ(again.size(), 4u);
    EXPECT_EQ(kytest::readText(again[0]), kytest::readText(files[0]));

    // Silence before track 1 is no hidden track.
    makeDisc(false);
    const std::vector<fs::path> plain =
        rip(home.dir / "src.cue", home.dir / "silent", {"--hidden-track"});
    EXPECT_EQ(plain.size(), 3u);
}

// The pregaps, indexes and CD-Text the drive reports reach the written sheet: track 2's
// INDEX 00 at 00:12:00 on the disc is 00:10:00 into track 1's file, which starts at 00:02:00.
TEST_F(CliCueTest, SheetCarriesGapsIndexesAndCdText) {
    makeDisc(false);
    const fs::path out = home.dir / "out";
    rip(home.dir / "src.cue", out, {"--cue", "--detect-gaps"});
    const std::string text = kytest::readText(sheetIn(out));
    EXPECT_NE(text.find("TITLE \"Caf\xC3\xA9 Noir\"\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("PERFORMER \"The Band\"\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("REM GENRE \"Jazz\"\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("    TITLE \"Zwei\"\r\n    SONGWRITER \"S. Writer\"\r\n"),
              std::string::npos)
        << text;
    // Track 2's INDEX 00 at the end of track 1's file, INDEX 02 of track 3 in its own.
    EXPECT_NE(text.find("  TRACK 02 AUDIO\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("    INDEX 00 00:10:00\r\nFILE \"02 - Zwei.wav\" WAVE\r\n"
                        "    INDEX 01 00:00:00\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("    INDEX 02 00:06:50\r\n"), std::string::npos) << text;
}

} // namespace
