// The cdplayer.ini fall-back: the disc key, the profile-file reading rules, and names
// in UTF-8 and in the old 8-bit code page.
#include "metadata/cdplayer_ini.h"
#include "platform/profile_file.h"
#include "support/file_text.h"
#include "support/scoped_env.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

kyDiscToc toc(std::initializer_list<std::pair<uint32_t, bool>> tracks, uint32_t leadout) {
    kyDiscToc t;
    t.firstTrack = 1;
    t.lastTrack = static_cast<uint32_t>(tracks.size());
    uint32_t n = 1;
    for (const auto& [start, data] : tracks) {
        t.entries[n].start = start;
        t.entries[n].data = data;
        ++n;
    }
    for (uint32_t i = 1; i < n; ++i)
        t.entries[i].length = (i + 1 < n ? t.entries[i + 1].start : leadout) - t.entries[i].start;
    t.entries[n].start = leadout;
    return t;
}

class CdPlayerIniTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/dskr-cdplayer-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

} // namespace

TEST(CdPlayerIni, DiscKey) {
    // A first track at frame 0 starts at 0:02:00: 2 × 256.
    EXPECT_EQ(cdPlayerIniKey(toc({{0, false}}, 1000)), 512u);
    // 15000 + 150 frames = 3:22:00 -> 3 × 65536 + 22 × 256.
    EXPECT_EQ(cdPlayerIniKey(toc({{0, false}, {15000, false}}, 30000)),
              512u + 3 * 65536 + 22 * 256);
    // Frames count too, and data tracks do not.
    EXPECT_EQ(cdPlayerIniKey(toc({{33, false}, {15000, true}}, 30000)), 512u + 33);
    EXPECT_EQ(cdPlayerIniKey(kyDiscToc{}), 0u);
}

TEST(CdPlayerIni, ProfileFileRules) {
    kyProfileFile f;
    f.parse("; comment\r\n[Disc]\r\nArtist = Spaced Out \r\ntitle=\"Quoted\"\r\n"
            "single='one'\r\nmismatched=\"half'\r\nnumtracks=12 tracks\r\nneg=-3\r\n"
            "text=abc\r\nartist=second wins not\r\n[ other ]\r\nkey=v\r\n[disc]\r\n"
            "artist=later section\r\nkeyless line\r\n=no key\r\n");
    EXPECT_TRUE(f.hasSection("DISC"));
    EXPECT_EQ(f.getString("disc", "ARTIST"), "Spaced Out");
    EXPECT_EQ(f.getString("Disc", "title"), "Quoted");
    EXPECT_EQ(f.getString("Disc", "single"), "one");
    EXPECT_EQ(f.getString("Disc", "mismatched"), "\"half'");
    EXPECT_EQ(f.getString("Disc", "missing", "fallback"), "fallback");
    EXPECT_EQ(f.getString("Other", "key"), "v");
    EXPECT_EQ(f.getString("nowhere", "key", "d"), "d");
    EXPECT_EQ(f.getInt("Disc", "numtracks", 7), 12);
    EXPECT_EQ(f.getInt("Disc", "neg", 7), -3);
    EXPECT_EQ(f.getInt("Disc", "text", 7), 0);
    EXPECT_EQ(f.getInt("Disc", "missing", 7), 7);
    EXPECT_FALSE(f.load("/nonexistent/cdplayer.ini"));
    EXPECT_FALSE(f.hasSection("Disc"));
}

TEST_F(CdPlayerIniTest, NamesFromTheDiscsSection) {
    const kyDiscToc disc = toc({{0, false}, {15000, false}, {30000, false}}, 45000);
    // Key: 0x200 + (3:22:00) + (6:42:00) = 0x200 + 0x31600 + 0x62A00 = 0x94200.
    ASSERT_EQ(cdPlayerIniKey(disc), 0x94200u);
    const fs::path ini = dir / "cdplayer.ini";
    kytest::writeText(ini, "[12345]\r\nnumtracks=3\r\nartist=Wrong disc\r\n"
                           "[94200]\r\nnumtracks=2\r\nartist=Caf\xE9 Tacvba\r\n"
                           "title=Re\r\n0=El Ciclón\r\n1=\r\n2=not read: beyond numtracks\r\n");
    DiscInfo info;
    info.makeRows(disc);
    ASSERT_TRUE(readCdPlayerIni(info, disc, ini.string()));
    EXPECT_EQ(info.artist, "Caf\xC3\xA9 Tacvba"); // 8-bit text read as Windows-1252
    EXPECT_EQ(info.title, "Re");
    EXPECT_EQ(info.tracks[0].name, "El Ciclón"); // UTF-8 kept
    EXPECT_EQ(info.tracks[1].name, "Track 02");  // an empty value leaves the name
    EXPECT_EQ(info.tracks[2].name, "Track 03");

    // Values are read up to 1023 characters, never half a character.
    std::string longName;
    for (int i = 0; i < 1100; ++i) longName += "\xC3\xA9";
    kytest::writeText(ini, "[94200]\nnumtracks=1\ntitle=" + longName + "\n");
    ASSERT_TRUE(readCdPlayerIni(info, disc, ini.string()));
    EXPECT_EQ(info.title.size(), 2046u);
}

TEST_F(CdPlayerIniTest, UnknownDiscsAndBadCountsLeaveTheRecord) {
    const kyDiscToc disc = toc({{0, false}, {15000, false}}, 30000);
    const fs::path ini = dir / "cdplayer.ini";
    for (const char* text : {"[32E00]\nnumtracks=1\nartist=x\n", "[31800]\nnumtracks=0\nartist=x\n",
                             "[31800]\nnumtracks=3\nartist=x\n", "[31800]\nartist=x\n",
                             "[31800]\nnumtracks=-1\nartist=x\n", ""}) {
        kytest::writeText(ini, text);
        DiscInfo info;
        info.makeRows(disc);
        EXPECT_FALSE(readCdPlayerIni(info, disc, ini.string())) << text;
        EXPECT_EQ(info.artist, "");
        EXPECT_EQ(info.tracks[0].name, "Track 01");
    }
    DiscInfo info;
    info.makeRows(disc);
    EXPECT_FALSE(readCdPlayerIni(info, disc, (dir / "missing.ini").string()));

    // The default file lives in the configuration folder.
    kytest::ScopedEnv env{"XDG_CONFIG_HOME"};
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    EXPECT_EQ(cdPlayerIniPath(), (dir / "Velmora/cdplayer.ini").string());
    fs::create_directories(dir / "Velmora");
    kytest::writeText(dir / "Velmora/cdplayer.ini", "[31800]\nnumtracks=1\n0=Default file\n");
    EXPECT_TRUE(readCdPlayerIni(info, disc));
    EXPECT_EQ(info.tracks[0].name, "Default file");
}
