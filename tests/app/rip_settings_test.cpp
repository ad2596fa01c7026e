#include "app/rip_settings.h"
#include "app/settings_table.h"
#include "platform/music_folder.h"
#include "platform/settings_store.h"
#include "support/codec_test_files.h"
#include "support/scoped_env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// A fresh home and configuration folder per test, so that nothing of the user's is read.
class RipSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = m_scratch.dir();
        ::setenv("HOME", (m_dir / "home").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (m_dir / "config").c_str(), 1);
        fs::create_directories(m_dir / "config");
    }
    std::string storePath() const {
        return (m_dir / "config/Velmora/DskR 5/settings.reg").string();
    }

    kytest::ScopedEnv m_keep{"HOME", "XDG_CONFIG_HOME"};
    kytest::ScratchDir m_scratch;
    fs::path m_dir;
};

kySettingsStore readStore(const std::string& path) {
    kySettingsStore store;
    EXPECT_EQ(store.load(path), kySettingsStore::LoadResult::Loaded);
    return store;
}

} // namespace

TEST_F(RipSettingsTest, FirstStartWritesTheVersionUsesDefaultsAndOpensHelp) {
    RipSettings s;
    s.iSpeed = 4;
    SettingsLoadReport report;
    EXPECT_TRUE(loadSettings(s, &report));
    EXPECT_TRUE(report.openHelp);
    EXPECT_TRUE(report.message.empty());
    EXPECT_EQ(readStore(storePath()).find("VersionNumber")->text, "5.0");

    RipSettings defaults;
    EXPECT_EQ(s.szOutDir, (m_dir / "home/Music/").string());
    EXPECT_EQ(s.szFileFormat, "Microsoft wave format");
    EXPECT_EQ(s.szDataFormat, "PCM 16-bit");
    EXPECT_EQ(s.aiName, (std::array<int32_t, 10>{0, 1, 5, 2, 5, 5, 2, 3, 0, 0}));
    EXPECT_EQ(s.iSpeed, 255);
    EXPECT_EQ(s.dwNewSampleRate, 48000u);
    EXPECT_EQ(s.fNormalizeTarget, 89.0f);
    EXPECT_EQ(s.eNormalizeType, 11);
    EXPECT_TRUE(s.bEjectWhenDone);
    EXPECT_EQ(s.szDBServer, "gnudb.gnudb.org");
    EXPECT_TRUE(s.lastDirs.empty());

    // The second start is not a first start.
    EXPECT_TRUE(loadSettings(s, &report));
    EXPECT_FALSE(report.openHelp);
}

TEST_F(RipSettingsTest, VersionNumberCases) {
    struct Case {
        const char* stored;
        const char* after;
        bool help;
    } cases[] = {
        {"4.1", "5.0", false}, {"5.0", "5.0", false}, {"5.1", "5.1", false}, {"0.0", "5.0", true}};
    for (const Case& c : cases) {
        kySettingsStore store;
        store.setString("VersionNumber", c.stored);
        ASSERT_TRUE(store.save(storePath()));
        RipSettings s;
        SettingsLoadReport report;
        loadSettings(s, &report);
        EXPECT_EQ(readStore(storePath()).find("VersionNumber")->text, c.after) << c.stored;
        EXPECT_EQ(report.openHelp, c.help) << c.stored;
    }
}

TEST_F(RipSettingsTest, EveryFieldRoundTripsThroughTheStore) {
    RipSettings s;
    loadSettings(s);
    s.szOutDir = "/srv/müsic/Ripped/";
    s.szFileFormat = "Broadcast wave format (EBU BWF)";
    s.szDataFormat = "PCM 24-bit";
    s.iOutChannels = 1;
    s.bNoOverwritePrompt = s.bMergeConsecutive = s.bCreatePlaylist = true;
    s.aiName = {3, 9, 4, 0, 2, 7, 3, 8, 1, 6};
    s.bResample = true;
    s.dwNewSampleRate = 96000;
    s.eResamplingAlg = 2;
    s.bRemoveSilence = s.bCutOff = true;
    s.iCutOffLength = 95;
    s.bCutOffFade = false;
    s.bNormalize = true;
    s.eNormalizeType = 22;
    s.bNormalizeMeta = false;
    s.fNormalizeTarget = -23.5f;
    s.bNormalizeUnitDB = false;
    s.bNormalizeAlbum = true;
    s.bNormalizeNeverClip = false;
    s.iDevice = 2;
    s.iSpeed = 8;
    s.eMode = 2;
    s.bEjectWhenDone = false;
    s.bExitWhenDone = true; // never saved
    s.szDBServer = "example.org";
    s.szDBProxy = "proxy:8080";
    s.szDBEmail = "ann\xE9@example.org"; // single-byte é
    s.lastDirs = {"/a/", "/b/"};
    // The fields beyond the original record: each away from its default.
    s.iCompressionLevel = 7;
    s.bMp3Id3v2 = s.bMp3Id3v1 = s.bMp2Id3v1 = false;
    s.bMp3Ape = s.bMp2Id3v2 = s.bAacId3v2 = s.bAacId3v1 = s.bAacApe = true;
    s.bContinueOnReadError = s.bTestAndCopy = true;
    s.szMusicBrainzServer = "http://127.0.0.1:5000";
    s.szCoverArtServer = "caa.example.org";
    s.szLookupOrder = "gnudb,musicbrainz";
    s.bFetchCoverArt = false;
    ASSERT_TRUE(saveSettings(s));

    RipSettings back;
    loadSettings(back);
    EXPECT_EQ(back.szOutDir, s.szOutDir);
    EXPECT_EQ(back.szFileFormat, s.szFileFormat);
    EXPECT_EQ(back.szDataFormat, s.szDataFormat);
    EXPECT_EQ(back.iOutChannels, 1);
    EXPECT_TRUE(back.bNoOverwritePrompt && back.bMergeConsecutive && back.bCreatePlaylist);
    EXPECT_EQ(back.aiName, s.aiName);
    EXPECT_TRUE(back.bResample);
    EXPECT_EQ(back.dwNewSampleRate, 96000u);
    EXPECT_EQ(back.eResamplingAlg, 2);
    EXPECT_TRUE(back.bRemoveSilence && back.bCutOff);
    EXPECT_EQ(back.iCutOffLength, 95);
    EXPECT_FALSE(back.bCutOffFade);
    EXPECT_TRUE(back.bNormalize);
    EXPECT_EQ(back.eNormalizeType, 22);
    EXPECT_FALSE(back.bNormalizeMeta);
    EXPECT_EQ(back.fNormalizeTarget, -23.5f);
    EXPECT_FALSE(back.bNormalizeUnitDB);
    EXPECT_TRUE(back.bNormalizeAlbum);
    EXPECT_FALSE(back.bNormalizeNeverClip);
    EXPECT_EQ(back.iDevice, 2);
    EXPECT_EQ(back.iSpeed, 8);
    EXPECT_EQ(back.eMode, 2);
    EXPECT_FALSE(back.bEjectWhenDone);
    EXPECT_FALSE(back.bExitWhenDone);
    EXPECT_EQ(back.szDBServer, s.szDBServer);
    EXPECT_EQ(back.szDBProxy, s.szDBProxy);
    EXPECT_EQ(back.szDBEmail, s.szDBEmail);
    EXPECT_EQ(back.lastDirs, s.lastDirs);
    // The broadcast wave format has no compression levels: a stored 7 is not one of its
    // levels and is put back to the default when loaded.
    EXPECT_EQ(back.iCompressionLevel, -1);
    EXPECT_FALSE(back.bMp3Id3v2 || back.bMp3Id3v1 || back.bMp2Id3v1);
    EXPECT_TRUE(back.bMp3Ape && back.bMp2Id3v2 && back.bAacId3v2 && back.bAacId3v1 && back.bAacApe);
    EXPECT_TRUE(back.bContinueOnReadError && back.bTestAndCopy);
    EXPECT_EQ(back.szMusicBrainzServer, s.szMusicBrainzServer);
    EXPECT_EQ(back.szCoverArtServer, s.szCoverArtServer);
    EXPECT_EQ(back.szLookupOrder, s.szLookupOrder);
    EXPECT_FALSE(back.bFetchCoverArt);

    // The stored types are those of the registry record.
    kySettingsStore store = readStore(storePath());
    EXPECT_EQ(store.find("szOutDir")->type, kySettingsStore::Type::String);
    EXPECT_EQ(store.find("iOutChannels")->type, kySettingsStore::Type::Dword);
    EXPECT_EQ(store.find("bCutOff")->bytes.size(), 1u);
    EXPECT_EQ(store.find("aiName")->bytes.size(), 40u);
    EXPECT_EQ(store.find("fNormalizeTarget")->dword, 0xC1BC0000u);
    EXPECT_EQ(store.find("bExitWhenDone"), nullptr);
    EXPECT_EQ(store.find("VersionNumber")->text, "5.0");
}

TEST_F(RipSettingsTest, ExitWhenDoneIsReadButNeverWritten) {
    kySettingsStore store;
    store.setString("VersionNumber", "5.0");
    uint8_t one = 1;
    store.setBinary("bExitWhenDone", &one, 1);
    ASSERT_TRUE(store.save(storePath()));
    RipSettings s;
    loadSettings(s);
    EXPECT_TRUE(s.bExitWhenDone);
    s.bExitWhenDone = false;
    saveSettings(s);
    loadSettings(s);
    EXPECT_TRUE(s.bExitWhenDone);
}

TEST_F(RipSettingsTest, WrongTypesAndSizesAreReadAsFarAsTheFieldAllows) {
    kySettingsStore store;
    store.setString("VersionNumber", "5.0");
    uint8_t two[] = {7, 1};
    store.setBinary("iSpeed", two, 1);    // one byte into a 32-bit field
    store.setBinary("bCutOff", two, 2);   // two bytes into a flag
    store.setDword("szDataFormat", 0x41); // a word read as text: "A"
    store.setBinary("aiName", two, 2);    // a short pattern
    store.setString("szFileFormat", std::string(300, 'x'));
    store.setString("szDBServer", std::string(400, 'h'));
    // A folder too long for the record is not taken at all: cut, it would name another.
    store.setString("szOutDir", "/" + std::string(300, 'd') + "/");
    store.setString("LastDirs.0", "/first/");
    store.setString("LastDirs.1", "/" + std::string(300, 'd') + "/");
    store.setString("LastDirs.2", "/third/");
    ASSERT_TRUE(store.save(storePath()));
    RipSettings s;
    SettingsLoadReport report;
    loadSettings(s, &report);
    EXPECT_EQ(s.iSpeed, 7);
    EXPECT_TRUE(s.bCutOff);
    EXPECT_EQ(s.szDBServer.size(), RipSettings::kDbTextBytes);
    EXPECT_EQ(s.szOutDir, (m_dir / "home/Music/").string());
    EXPECT_EQ(s.lastDirs, (std::vector<std::string>{"/first/", "/third/"}));
    // What was read that way but is no value its setting takes is reported, and the
    // default used: the text "A", the pattern 0x107, 1, 5, ... and the cut format name.
    EXPECT_EQ(s.szDataFormat, "PCM 16-bit");
    EXPECT_EQ(s.aiName, RipSettings{}.aiName);
    EXPECT_EQ(s.szFileFormat, "Microsoft wave format");
    ASSERT_EQ(report.problems.size(), 3u);
    EXPECT_NE(report.problems[0].find("szFileFormat (\"" + std::string(127, 'x') + "\")"),
              std::string::npos)
        << report.problems[0];
    EXPECT_NE(report.problems[1].find("szDataFormat (\"A\")"), std::string::npos);
    EXPECT_NE(report.problems[2].find("aiName (\"263,1,5,2,5,5,2,3,0,0\")"), std::string::npos);
}

TEST_F(RipSettingsTest, RecentDirectoriesStopAtTheFirstGapAndSaveDeletesTheRest) {
    kySettingsStore store;
    store.setString("VersionNumber", "5.0");
    for (int i = 0; i < 16; ++i)
        if (i != 3) store.setString("LastDirs." + std::to_string(i), "/d" + std::to_string(i));
    ASSERT_TRUE(store.save(storePath()));
    RipSettings s;
    loadSettings(s);
    EXPECT_EQ(s.lastDirs, (std::vector<std::string>{"/d0", "/d1", "/d2"}));
    saveSettings(s);
    store = readStore(storePath());
    EXPECT_NE(store.find("LastDirs.2"), nullptr);
    for (int i = 3; i < 16; ++i) EXPECT_EQ(store.find("LastDirs." + std::to_string(i)), nullptr);
}

TEST_F(RipSettingsTest, AddRecentDirectoryRules) {
    RipSettings s;
    addRecentDirectory(s, "/Music/A/");
    addRecentDirectory(s, "/Music/B/");
    addRecentDirectory(s, "/music/a/"); // same folder in other letter case
    EXPECT_EQ(s.lastDirs, (std::vector<std::string>{"/music/a/", "/Music/B/"}));
    addRecentDirectory(s, "/MÜSIK/");
    addRecentDirectory(s, "/müsik/");
    EXPECT_EQ(s.lastDirs.size(), 3u);
    EXPECT_EQ(s.lastDirs.front(), "/müsik/");

    addRecentDirectory(s, "");
    EXPECT_EQ(s.lastDirs.size(), 3u);

    RipSettings full;
    for (int i = 0; i < 17; ++i) addRecentDirectory(full, "/d" + std::to_string(i));
    ASSERT_EQ(full.lastDirs.size(), 16u);
    EXPECT_EQ(full.lastDirs.front(), "/d16");
    EXPECT_EQ(full.lastDirs.back(), "/d1"); // the oldest, /d0, was dropped
}

TEST_F(RipSettingsTest, DamagedStoreIsPutAsideAndDefaultsUsed) {
    fs::create_directories(fs::path(storePath()).parent_path());
    std::ofstream(storePath()) << "garbage";
    RipSettings s;
    SettingsLoadReport report;
    EXPECT_TRUE(loadSettings(s, &report));
    EXPECT_FALSE(report.message.empty());
    EXPECT_FALSE(report.openHelp);
    EXPECT_TRUE(fs::exists(storePath() + ".bad"));
    EXPECT_EQ(s.iSpeed, 255);
}

TEST_F(RipSettingsTest, MusicFolderFromUserDirs) {
    EXPECT_EQ(kyParseUserDirsMusic("# c\nXDG_MUSIC_DIR=\"$HOME/Tunes\"\n", "/home/ann"),
              "/home/ann/Tunes");
    EXPECT_EQ(kyParseUserDirsMusic("XDG_MUSIC_DIR=\"/data/Mu\\\"sic/\"\n", "/home/ann"),
              "/data/Mu\"sic");
    EXPECT_EQ(kyParseUserDirsMusic("XDG_MUSIC_DIR=\"$HOME/\"\n", "/home/ann"), "");
    EXPECT_EQ(kyParseUserDirsMusic("XDG_MUSIC_DIR=\"relative\"\n", "/home/ann"), "");
    EXPECT_EQ(kyParseUserDirsMusic("XDG_MUSIC_DIR=\"$HOME/unclosed\n", "/home/ann"), "");

    std::ofstream(m_dir / "config/user-dirs.dirs") << "XDG_MUSIC_DIR=\"$HOME/Tunes\"\n";
    EXPECT_EQ(kyUserMusicFolder(), (m_dir / "home/Tunes").string());
    RipSettings s;
    loadSettings(s);
    EXPECT_EQ(s.szOutDir, (m_dir / "home/Tunes/").string());
}

// Read offsets belong to drives: kept under each drive's vendor and product however the
// access method pads them, in both signs, clamped to what a drive can have.
TEST_F(RipSettingsTest, ReadOffsetsAreKeptPerDrive) {
    RipSettings s;
    loadSettings(s);
    s.bContinueOnReadError = s.bTestAndCopy = true;
    setReadOffset(s, "HL-DT-ST  DVDRAM GH24NSD1 ", 6);
    setReadOffset(s, "PLEXTOR DVDR   PX-716A", 30);
    setReadOffset(s, "ASUS    BW-16D1HT", -1164);
    setReadOffset(s, "plextor dvdr px-716a", 48); // the same drive: replaces 30
    setReadOffset(s, "TOO FAR", 9999);
    setReadOffset(s, "   ", 667); // a drive without a name keeps nothing
    EXPECT_EQ(s.readOffsets.size(), 4u);
    ASSERT_TRUE(saveSettings(s));

    RipSettings back;
    loadSettings(back);
    EXPECT_TRUE(back.bContinueOnReadError && back.bTestAndCopy);
    EXPECT_EQ(readOffsetFor(back, "HL-DT-ST DVDRAM GH24NSD1"), 6);
    EXPECT_EQ(readOffsetFor(back, "PLEXTOR  DVDR PX-716A"), 48);
    EXPECT_EQ(readOffsetFor(back, "ASUS BW-16D1HT"), -1164);
    EXPECT_EQ(readOffsetFor(back, "TOO FAR"), 5880);
    EXPECT_EQ(readOffsetFor(back, "ASUS BW-16D1HT2"), 0);
    EXPECT_EQ(readOffsetFor(back, ""), 0);
    EXPECT_EQ(readStore(storePath()).find("iReadOffset.ASUS BW-16D1HT")->dword,
              static_cast<uint32_t>(-1164));

    // Q sub-channel biases the rips learned are kept beside the offsets, by the same name;
    // a bias no drive can have is not kept, and one a drive contradicted goes.
    setSubQBias(back, "PLEXTOR  DVDR PX-716A", -2);
    setSubQBias(back, "ASUS BW-16D1HT", 1);
    setSubQBias(back, "HL-DT-ST DVDRAM GH24NSD1", 0);
    setSubQBias(back, "TOO FAR", 76);
    EXPECT_EQ(back.subQBiases.size(), 3u);
    ASSERT_TRUE(saveSettings(back));
    RipSettings biased;
    loadSettings(biased);
    EXPECT_EQ(subQBiasFor(biased, "plextor dvdr px-716a"), -2);
    EXPECT_EQ(subQBiasFor(biased, "ASUS    BW-16D1HT"), 1);
    EXPECT_EQ(subQBiasFor(biased, "HL-DT-ST DVDRAM GH24NSD1"), 0);
    EXPECT_EQ(subQBiasFor(biased, "TOO FAR"), std::nullopt);
    EXPECT_EQ(readOffsetFor(biased, "ASUS BW-16D1HT"), -1164);
    setSubQBias(biased, "ASUS BW-16D1HT", std::nullopt);
    // Resetting the offsets (as 'dskr-cli settings reset iReadOffset' does) removes them
    // from the store too.
    kyFindSetting("iReadOffset")->reset(biased);
    ASSERT_TRUE(saveSettings(biased));
    RipSettings after;
    loadSettings(after);
    EXPECT_EQ(subQBiasFor(after, "ASUS BW-16D1HT"), std::nullopt);
    EXPECT_EQ(subQBiasFor(after, "PLEXTOR DVDR PX-716A"), -2);
    EXPECT_TRUE(after.readOffsets.empty());
    EXPECT_EQ(readStore(storePath()).find("iReadOffset.ASUS BW-16D1HT"), nullptr);
    EXPECT_EQ(readStore(storePath()).find("iSubQBias.PLEXTOR DVDR PX-716A")->dword,
              static_cast<uint32_t>(-2));
}
