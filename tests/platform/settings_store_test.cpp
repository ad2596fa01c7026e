#include "platform/settings_store.h"

#include "support/codec_test_files.h"
#include "support/file_text.h"
#include "support/scoped_env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

namespace fs = std::filesystem;

TEST(SettingsStore, RoundTripsEveryTypeThroughAFile) {
    kytest::ScratchDir scratch;
    const fs::path dir = scratch.dir();
    std::string path = (dir / "a" / "b" / "settings.reg").string();
    kySettingsStore store;
    store.setString("szOutDir", "/home/ann/Musik \"live\" \\ Ünïcödé 音楽/");
    store.setString("Empty", "");
    store.setString("Control", "line one\nline two\ttab");
    store.setDword("iSpeed", 0xFFu);
    store.setDword("Big", 0xDEADBEEFu);
    std::vector<uint8_t> bytes(40);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    store.setBinary("aiName", bytes.data(), bytes.size());
    store.setBinary("Nothing", nullptr, 0);
    ASSERT_TRUE(store.save(path));

    std::string text = kytest::readText(path);
    EXPECT_EQ(text.rfind("REGEDIT4\n", 0), 0u);
    EXPECT_NE(text.find("\"iSpeed\"=dword:000000ff\n"), std::string::npos);

    kySettingsStore back;
    ASSERT_EQ(back.load(path), kySettingsStore::LoadResult::Loaded);
    ASSERT_EQ(back.size(), store.size());
    EXPECT_EQ(back.find("szoutdir")->text, store.find("szOutDir")->text);
    EXPECT_EQ(back.find("Empty")->text, "");
    EXPECT_EQ(back.find("Control")->text, "line one\nline two\ttab");
    EXPECT_EQ(back.find("iSpeed")->dword, 0xFFu);
    EXPECT_EQ(back.find("Big")->dword, 0xDEADBEEFu);
    EXPECT_EQ(back.find("aiName")->bytes, bytes);
    EXPECT_TRUE(back.find("Nothing")->bytes.empty());
    // No temporary file is left beside the store.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "a" / "b"), {}), 1);
}

TEST(SettingsStore, RawBytesFollowTheRegistryRead) {
    kySettingsStore store;
    store.setDword("w", 0x01020304u);
    store.setString("t", "Aé");
    EXPECT_EQ(*store.rawBytes("w", true), (std::vector<uint8_t>{4, 3, 2, 1}));
    EXPECT_EQ(*store.rawBytes("t", true), (std::vector<uint8_t>{'A', 0, 0xE9, 0, 0, 0}));
    EXPECT_EQ(*store.rawBytes("t", false), (std::vector<uint8_t>{'A', 0xE9, 0}));
    EXPECT_FALSE(store.rawBytes("absent", true));
}

TEST(SettingsStore, ParsesWrappedHexCommentsAndDeletions) {
    kySettingsStore store;
    ASSERT_TRUE(store.parse("\xEF\xBB\xBFREGEDIT4\r\n\r\n; comment\r\n"
                            "[HKEY_CURRENT_USER\\Software\\Velmora\\DskR 5]\r\n"
                            "\"a\"=hex:01,02,\\\r\n  03,04\r\n"
                            "\"b\"=\"x\"\r\n\"b\"=-\r\n@=\"ignored\"\r\n"
                            "\"c\"=hex(1):41,42,00\r\n\"d\"=\"C:\\\\\"\r\n"));
    EXPECT_EQ(store.find("a")->bytes, (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(store.find("b"), nullptr);
    EXPECT_EQ(store.find("c")->text, "AB");
    EXPECT_EQ(store.find("d")->text, "C:\\");
}

TEST(SettingsStore, RejectsMalformedText) {
    const char* cases[] = {
        "",
        "REGEDIT5\n",
        "REGEDIT4\n\"a\"=dword:123456789\n",
        "REGEDIT4\n\"a\"=dword:xyz\n",
        "REGEDIT4\n\"a\"=hex:1,2\n",
        "REGEDIT4\n\"a\"=hex:01,\n",
        "REGEDIT4\n\"a\"=\"unterminated\n",
        "REGEDIT4\n\"a\"\n",
        "REGEDIT4\n[unclosed\n",
        "REGEDIT4\nname=\"x\"\n",
        "REGEDIT4\n\"a\"=\"x\" trailing\n",
        "REGEDIT4\n\"a\"=hex(1:41\n",
    };
    for (const char* text : cases) {
        kySettingsStore store;
        store.setDword("left", 1);
        EXPECT_FALSE(store.parse(text)) << text;
        EXPECT_EQ(store.size(), 0u) << text;
    }
}

TEST(SettingsStore, MalformedFileIsPutAsideWithOneMessage) {
    kytest::ScratchDir scratch;
    const fs::path dir = scratch.dir();
    fs::path path = dir / "settings.reg";
    kytest::writeText(path, "this is not a settings file");
    kySettingsStore store;
    std::string message;
    EXPECT_EQ(store.load(path.string(), &message), kySettingsStore::LoadResult::Malformed);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(kytest::readText(path.string() + ".bad"), "this is not a settings file");
    EXPECT_NE(message.find(".bad"), std::string::npos);
    EXPECT_EQ(store.load((dir / "none.reg").string()), kySettingsStore::LoadResult::Missing);
}

TEST(SettingsStore, InterruptedSaveLeavesTheOldStoreIntact) {
    kytest::ScratchDir scratch;
    const fs::path dir = scratch.dir();
    std::string path = (dir / "settings.reg").string();
    kySettingsStore old;
    old.setString("szOutDir", "/old/");
    ASSERT_TRUE(old.save(path));
    std::string before = kytest::readText(path);

    kySettingsStore next;
    next.setString("szOutDir", "/new/");
    std::string temp = next.writeTemporary(path);
    ASSERT_FALSE(temp.empty());
    // The process dies here: the rename never happens.
    EXPECT_EQ(kytest::readText(path), before);
    kySettingsStore reread;
    ASSERT_EQ(reread.load(path), kySettingsStore::LoadResult::Loaded);
    EXPECT_EQ(reread.find("szOutDir")->text, "/old/");

    ASSERT_TRUE(kySettingsStore::commitTemporary(temp, path));
    ASSERT_EQ(reread.load(path), kySettingsStore::LoadResult::Loaded);
    EXPECT_EQ(reread.find("szOutDir")->text, "/new/");
}

TEST(SettingsStore, SaveIntoAnUnwritablePlaceFailsCleanly) {
    kytest::ScratchDir scratch;
    const fs::path dir = scratch.dir();
    fs::path blocker = dir / "file";
    kytest::writeText(blocker, "x");
    kySettingsStore store;
    store.setDword("a", 1);
    EXPECT_FALSE(store.save((blocker / "settings.reg").string()));
}

TEST(SettingsStore, DefaultPathFollowsXdgConfigHome) {
    kytest::ScopedEnv keep{"XDG_CONFIG_HOME", "HOME"};
    ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(kySettingsStore::defaultPath(), "/cfg/Velmora/DskR 5/settings.reg");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);
    ::setenv("HOME", "/home/ann", 1);
    EXPECT_EQ(kySettingsStore::defaultPath(), "/home/ann/.config/Velmora/DskR 5/settings.reg");
    ::unsetenv("HOME");
    EXPECT_EQ(kySettingsStore::defaultPath(), "");
}
