#include "job/output_naming.h"
#include "job/playlist.h"
#include "support/scripted_frontend.h"

#include "support/codec_test_files.h"
#include "support/file_text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

DiscInfo bandLive() {
    DiscInfo disc;
    disc.artist = "Band";
    disc.title = "Live";
    disc.year = 1999;
    disc.category = categoryIndex("rock");
    disc.appendRow(TrackEntry{7, 588 * 100, 44100 * 187, "Intro", "", false, false, true});
    return disc;
}

} // namespace

TEST(OutputNaming, PatternsSeparatorsAndReplacements) {
    struct Case {
        std::array<int32_t, 10> pattern;
        const char* artist;
        const char* track;
        int32_t number;
        const char* expected;
    } cases[] = {
        {{0, 1, 5, 2, 5, 5, 2, 3, 0, 0}, "Band", "Intro", 7, "Band/Live/07 - Intro.wav"},
        {{0, 1, 5, 2, 5, 5, 2, 3, 0, 0}, "", "Intro", 7, "Live/07 - Intro.wav"},
        {{3, 1, 5, 2, 5, 5, 2, 3, 0, 0}, "Band", "Intro", 7, "Band/Live/07-Intro.wav"},
        {{1, 1, 5, 2, 5, 5, 2, 3, 0, 0}, "Band", "Intro", 7, "Band/Live/07_-_Intro.wav"},
        {{2, 1, 5, 2, 5, 5, 2, 3, 0, 0}, "Band", "Intro", 7, "Band/Live/07.-.Intro.wav"},
        {{0, 5, 2, 3, 0, 0, 0, 0, 0, 0}, "Band", "What?: Part 1/2", 7, "07 - What#, Part 1,2.wav"},
        {{0, 5, 0, 3, 0, 0, 0, 0, 0, 0}, "Band", "*|\"<>", 123, "(3&;'().wav"},
        {{0, 4, 1, 6, 3, 7, 4, 8, 6, 9}, "Band", "x", 7, "7 00.01, 03.07.Rock_1999.wav"},
        {{0, 9, 7, 2, 0, 0, 0, 0, 0, 0}, "Band", "x", 7, "1999'Live.wav"},
        {{0, 3, 1, 1, 0, 0, 0, 0, 0, 0}, "Band  ", "Intro  ", 7, "Intro   Band.wav"},
        {{0, 4, 2, 3, 0, 0, 0, 0, 0, 0}, "Band", "Intro", -1, "Intro.wav"},
        {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "Band", "Intro", 7, ".wav"},
    };
    for (const Case& c : cases) {
        DiscInfo disc = bandLive();
        disc.artist = c.artist;
        disc.tracks[0].name = c.track;
        disc.tracks[0].number = c.number;
        RipSettings s;
        s.aiName = c.pattern;
        EXPECT_EQ(buildFileName(s, disc, &disc.tracks[0], "wav"), c.expected) << c.expected;
    }
}

TEST(OutputNaming, RowChoiceGenreAndExtension) {
    DiscInfo disc = bandLive();
    disc.appendRow(TrackEntry{8, 0, 0, "Second", "", false, false, true});
    RipSettings s;
    s.aiName = {0, 3, 0, 0, 0, 0, 0, 0, 0, 0};
    disc.tracks[0].selected = false;
    EXPECT_EQ(buildFileName(s, disc, nullptr, "wav"), "Second.wav");
    disc.tracks[1].selected = false;
    EXPECT_EQ(buildFileName(s, disc, nullptr, "wav"), "");

    s.aiName = {0, 8, 0, 0, 0, 0, 0, 0, 0, 0};
    disc.genre = "Post Rock";
    EXPECT_EQ(buildFileName(s, disc, &disc.tracks[0], "flac"), "Post Rock.flac");
    // No catalogue entry of that name: the name ends with the dot.
    s.szFileFormat = "No such format";
    EXPECT_EQ(buildFileName(s, disc, &disc.tracks[0]), "Post Rock.");
    EXPECT_EQ(findWriterFormatByName("No such format"), -1);
}

TEST(OutputNaming, NamesFromTheDiscNeverLeaveTheOutputDirectory) {
    struct Case {
        const char* artist;
        const char* album;
        const char* track;
        const char* expected;
    } cases[] = {
        {"..", "..", "..", "__/__/07 - ...wav"},
        {"Band", "Live", "..\\..\\..\\x", "Band/Live/07 - ../__/__/x.wav"},
        {"\\etc", "\\\\passwd", "x", "etc/passwd/07 - x.wav"},
        {"/etc", ".", "x", ",etc/_/07 - x.wav"},
        {"a\tb\x01", "Live", "x", "a_b_/Live/07 - x.wav"},
        {"", "", "\\", "07 - /.wav"},
    };
    for (const Case& c : cases) {
        DiscInfo disc = bandLive();
        disc.artist = c.artist;
        disc.title = c.album;
        disc.tracks[0].name = c.track;
        RipSettings s;
        std::string name = buildFileName(s, disc, &disc.tracks[0], "wav");
        EXPECT_EQ(name, c.expected);
        // Whatever the name, it stays below the output directory.
        fs::path p = fs::path("/out") / name;
        EXPECT_EQ(p.lexically_normal().string().rfind("/out/", 0), 0u) << name;
    }
}

TEST(OutputNaming, LongLevelsAreCutTo255BytesKeepingTheExtension) {
    DiscInfo disc = bandLive();
    disc.artist = std::string(300, 'a');
    std::string longName;
    for (int i = 0; i < 150; ++i) longName += "é"; // two bytes each
    disc.tracks[0].name = longName;
    RipSettings s;
    s.aiName = {0, 1, 5, 3, 0, 0, 0, 0, 0, 0};
    std::string name = buildFileName(s, disc, &disc.tracks[0], "wav");
    size_t slash = name.find('/');
    ASSERT_NE(slash, std::string::npos);
    EXPECT_EQ(name.substr(0, slash), std::string(255, 'a'));
    std::string file = name.substr(slash + 1);
    EXPECT_LE(file.size(), 255u);
    EXPECT_EQ(file.substr(file.size() - 4), ".wav");
    EXPECT_EQ(file.substr(0, 4), "éé"); // cut on a character boundary, not inside one
    EXPECT_EQ(file.size() % 2, 0u);

    // The name buffer's room: parts that no longer fit are left out.
    disc.artist = std::string(510, 'b');
    disc.tracks[0].name = "Intro";
    s.aiName = {0, 1, 2, 3, 0, 0, 0, 0, 0, 0};
    name = buildFileName(s, disc, &disc.tracks[0], "wav");
    EXPECT_EQ(name.find("Intro"), std::string::npos);
}

TEST(OutputNaming, SubDirectoriesAreCreated) {
    kytest::ScratchDir scratch;
    const fs::path tmpPath = scratch.dir();
    const std::string tmpDir = scratch.dir() + "/";
    makeSubDirectories(tmpDir, "Band/Live/07 - Intro.wav");
    EXPECT_TRUE(fs::is_directory(tmpPath / "Band" / "Live"));
    makeSubDirectories(tmpDir, "plain.wav");
    EXPECT_EQ(std::distance(fs::directory_iterator(tmpPath), {}), 1);
    // A missing output directory is made too, also for a name without folders.
    makeSubDirectories(tmpDir + "new/out/", "plain.wav");
    EXPECT_TRUE(fs::is_directory(tmpPath / "new" / "out"));
    RipSettings s;
    s.szOutDir = "/x";
    EXPECT_EQ(outputDirectory(s), "/x/");
}

TEST(OutputNaming, EveryOverwriteAnswer) {
    kytest::ScratchDir scratch;
    const fs::path tmpPath = scratch.dir();
    const std::string tmpDir = scratch.dir() + "/";
    std::string existing = tmpDir + "a.wav";
    std::ofstream(existing) << "old";
    struct Case {
        int answer;
        std::optional<std::string> renamed;
        kyOverwriteDecision decision;
        std::string path;
        bool replaceAll;
    } cases[] = {
        {1, std::nullopt, kyOverwriteDecision::Write, existing, false},
        {2, std::nullopt, kyOverwriteDecision::Skip, existing, false},
        {3, tmpDir + "b.wav", kyOverwriteDecision::Write, tmpDir + "b.wav", false},
        {3, std::nullopt, kyOverwriteDecision::Skip, existing, false},
        {4, std::nullopt, kyOverwriteDecision::Write, existing, true},
        {99, std::nullopt, kyOverwriteDecision::Write, existing, false},
    };
    for (const Case& c : cases) {
        ScriptedFrontend fe;
        fe.answers.push_back(c.answer);
        fe.fileNames.push_back(c.renamed);
        RipSettings s;
        std::string path = existing;
        EXPECT_EQ(checkOverwrite(s, path, fe), c.decision) << c.answer;
        EXPECT_EQ(path, c.path);
        EXPECT_EQ(s.bNoOverwritePrompt, c.replaceAll);
        ASSERT_EQ(fe.prompts.size(), 1u);
        EXPECT_EQ(fe.prompts[0].caption, "Replace existing file?");
        EXPECT_EQ(fe.prompts[0].text, "This output file aldready exists:\n        \n" + existing +
                                          "\n        \nWhat would you like to do with it?");
        ASSERT_EQ(fe.prompts[0].buttons.size(), 4u);
        EXPECT_EQ(fe.prompts[0].buttons[0].text, "Replace it");
        EXPECT_EQ(fe.prompts[0].buttons[1].text, "Skip it");
        EXPECT_EQ(fe.prompts[0].buttons[2].text, "Rename it");
        EXPECT_EQ(fe.prompts[0].buttons[3].text, "Replace All");

        // After "Replace All" nothing is asked any more.
        if (c.replaceAll) {
            EXPECT_EQ(checkOverwrite(s, path, fe), kyOverwriteDecision::Write);
            EXPECT_EQ(fe.prompts.size(), 1u);
        }
    }
    // A file that does not exist is not asked about.
    ScriptedFrontend fe;
    RipSettings s;
    std::string fresh = tmpDir + "new.wav";
    EXPECT_EQ(checkOverwrite(s, fresh, fe), kyOverwriteDecision::Write);
    EXPECT_TRUE(fe.prompts.empty());
}

TEST(Playlist, NamesLinesAndDeletion) {
    kytest::ScratchDir scratch;
    const fs::path tmpPath = scratch.dir();
    const std::string tmpDir = scratch.dir() + "/";
    DiscInfo disc;
    disc.artist = "Band";
    EXPECT_EQ(kyPlaylist::pathFor(tmpDir, disc), tmpDir + "Band - Play list.m3u");
    disc.title = "Live";
    EXPECT_EQ(kyPlaylist::pathFor(tmpDir, disc), tmpDir + "Band - Live.m3u");
    disc.artist = "";
    EXPECT_EQ(kyPlaylist::pathFor(tmpPath.string(), disc), tmpDir + "Live.m3u");
    disc.artist = "../../AC/DC";
    disc.title = "";
    EXPECT_EQ(kyPlaylist::pathFor(tmpDir, disc), tmpDir + "..,..,AC,DC - Play list.m3u");

    {
        kyPlaylist list;
        ASSERT_TRUE(list.create(tmpDir + "a.m3u"));
        list.add("Band/Live/07 - Intro.wav");
        list.add("Группа/Живой/01 - Начало.wav");
        list.finish(true);
    }
    EXPECT_EQ(kytest::readText(tmpPath / "a.m3u"),
              "Band/Live/07 - Intro.wav\r\nГруппа/Живой/01 - Начало.wav\r\n");

    {
        std::ofstream(tmpPath / "b.m3u") << "stale";
        kyPlaylist list;
        ASSERT_TRUE(list.create(tmpDir + "b.m3u"));
        list.add("x.wav");
        list.finish(false);
    }
    // A playlist dropped leaves the one it was to replace as it was, and nothing beside it.
    EXPECT_EQ(kytest::readText(tmpPath / "b.m3u"), "stale");
    {
        kyPlaylist list;
        ASSERT_TRUE(list.create(tmpDir + "d.m3u"));
        list.finish(false);
    }
    EXPECT_FALSE(fs::exists(tmpPath / "d.m3u"));
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(tmpPath)) files += e.is_regular_file();
    EXPECT_EQ(files, 2u); // a.m3u, b.m3u

    // A playlist that cannot be created loses its lines quietly.
    kyPlaylist broken;
    EXPECT_FALSE(broken.create(tmpDir + "missing/dir/c.m3u"));
    broken.add("x.wav");
    broken.finish(false);
}
