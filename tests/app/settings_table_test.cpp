// What each setting takes: stored values checked on loading, values typed by a user, and
// every setting's text read back.
#include "app/settings_table.h"
#include "platform/settings_store.h"
#include "support/codec_test_files.h"
#include "support/scoped_env.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

namespace fs = std::filesystem;

namespace {

class SettingsTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("HOME", (fs::path(m_scratch.dir()) / "home").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (fs::path(m_scratch.dir()) / "config").c_str(), 1);
    }
    std::string storePath() const {
        return (fs::path(m_scratch.dir()) / "config/Velmora/DskR 5/settings.reg").string();
    }
    kytest::ScopedEnv m_keep{"HOME", "XDG_CONFIG_HOME"};
    kytest::ScratchDir m_scratch;
};

void storeDword(kySettingsStore& s, const char* name, uint32_t v) {
    s.setDword(name, v);
}

} // namespace

TEST_F(SettingsTableTest, StoredValuesOutsideTheirSettingAreReportedAndDefaulted) {
    struct Case {
        const char* name;
        std::function<void(kySettingsStore&)> store;
        bool reported;
        std::function<bool(const RipSettings&)> holds; // what the record holds afterwards
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    uint32_t nanBits;
    std::memcpy(&nanBits, &nan, 4);
    const Case cases[] = {
        {"iOutChannels", [](auto& s) { storeDword(s, "iOutChannels", 7); }, true,
         [](const RipSettings& r) { return r.iOutChannels == 2; }},
        {"iOutChannels", [](auto& s) { storeDword(s, "iOutChannels", 0); }, true,
         [](const RipSettings& r) { return r.iOutChannels == 2; }},
        {"iOutChannels", [](auto& s) { storeDword(s, "iOutChannels", 1); }, false,
         [](const RipSettings& r) { return r.iOutChannels == 1; }},
        {"szFileFormat", [](auto& s) { s.setString("szFileFormat", "Nonsense"); }, true,
         [](const RipSettings& r) { return r.szFileFormat == "Microsoft wave format"; }},
        {"szFileFormat",
         [](auto& s) { s.setString("szFileFormat", "microsoft wave format"); }, // exact only
         true, [](const RipSettings& r) { return r.szFileFormat == "Microsoft wave format"; }},
        {"szDataFormat",
         [](auto& s) {
             s.setString("szFileFormat", "Broadcast wave format (EBU BWF)");
             s.setString("szDataFormat", "Float 32-bit"); // WAV has it, BWF does not
         },
         true, [](const RipSettings& r) { return r.szDataFormat == "PCM 16-bit"; }},
        {"szDataFormat", [](auto& s) { s.setString("szDataFormat", "<Auto select>"); }, false,
         [](const RipSettings& r) { return r.szDataFormat == "<Auto select>"; }},
        {"aiName",
         [](auto& s) {
             const uint8_t p[40] = {4}; // space handling 4 does not exist
             s.setBinary("aiName", p, 40);
         },
         true, [](const RipSettings& r) { return r.aiName == RipSettings{}.aiName; }},
        {"aiName",
         [](auto& s) {
             uint8_t p[40] = {};
             p[8] = 8; // separator 8 does not exist
             s.setBinary("aiName", p, 40);
         },
         true, [](const RipSettings& r) { return r.aiName == RipSettings{}.aiName; }},
        {"aiName",
         [](auto& s) {
             uint8_t p[40] = {};
             p[4] = 9; // the year as the first part
             s.setBinary("aiName", p, 40);
         },
         false, [](const RipSettings& r) { return r.aiName[1] == 9; }},
        {"dwNewSampleRate", [](auto& s) { storeDword(s, "dwNewSampleRate", 0); }, true,
         [](const RipSettings& r) { return r.dwNewSampleRate == 48000; }},
        {"dwNewSampleRate", [](auto& s) { storeDword(s, "dwNewSampleRate", 5000000); }, true,
         [](const RipSettings& r) { return r.dwNewSampleRate == 48000; }},
        {"eResamplingAlg", [](auto& s) { storeDword(s, "eResamplingAlg", 8); }, true,
         [](const RipSettings& r) { return r.eResamplingAlg == 5; }},
        {"eResamplingAlg", [](auto& s) { storeDword(s, "eResamplingAlg", 999); }, false,
         [](const RipSettings& r) { return r.eResamplingAlg == 999; }},
        {"eResamplingAlg", [](auto& s) { storeDword(s, "eResamplingAlg", 3); }, false,
         [](const RipSettings& r) { return r.eResamplingAlg == 3; }},
        {"iCutOffLength", [](auto& s) { storeDword(s, "iCutOffLength", 0xFFFFFFFF); }, true,
         [](const RipSettings& r) { return r.iCutOffLength == 30; }},
        {"eNormalizeType",
         [](auto& s) {
             const uint8_t t = 12;
             s.setBinary("eNormalizeType", &t, 1);
         },
         true, [](const RipSettings& r) { return r.eNormalizeType == 11; }},
        {"eNormalizeType",
         [](auto& s) {
             const uint8_t t = 22;
             s.setBinary("eNormalizeType", &t, 1);
         },
         false, [](const RipSettings& r) { return r.eNormalizeType == 22; }},
        {"fNormalizeTarget", [nanBits](auto& s) { storeDword(s, "fNormalizeTarget", nanBits); },
         true, [](const RipSettings& r) { return r.fNormalizeTarget == 89.0f; }},
        {"iDevice", [](auto& s) { storeDword(s, "iDevice", 0xFFFFFFFF); }, true,
         [](const RipSettings& r) { return r.iDevice == 0; }},
        {"iSpeed", [](auto& s) { storeDword(s, "iSpeed", 0); }, true,
         [](const RipSettings& r) { return r.iSpeed == 255; }},
        {"iSpeed", [](auto& s) { storeDword(s, "iSpeed", 256); }, true,
         [](const RipSettings& r) { return r.iSpeed == 255; }},
        {"eMode", [](auto& s) { storeDword(s, "eMode", 4); }, true,
         [](const RipSettings& r) { return r.eMode == 0; }},
        {"szDBProxy", [](auto& s) { s.setString("szDBProxy", "a\tb"); }, true,
         [](const RipSettings& r) { return r.szDBProxy.empty(); }},
        {"bMergeConsecutive",
         [](auto& s) {
             const uint8_t b = 7; // any non-zero byte is on
             s.setBinary("bMergeConsecutive", &b, 1);
         },
         false, [](const RipSettings& r) { return r.bMergeConsecutive; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kySettingsStore store;
        store.setString("VersionNumber", "5.0");
        c.store(store);
        ASSERT_TRUE(store.save(storePath()));
        RipSettings s;
        SettingsLoadReport report;
        loadSettings(s, &report);
        size_t mentions = 0;
        for (const std::string& p : report.problems)
            if (p.find(std::string(" ") + c.name + " ") != std::string::npos) ++mentions;
        EXPECT_EQ(mentions, c.reported ? 1u : 0u);
        EXPECT_EQ(report.problems.size(), c.reported ? 1u : 0u);
        EXPECT_TRUE(c.holds(s));
    }
}

TEST_F(SettingsTableTest, TypedValues) {
    struct Case {
        const char* setting;
        const char* typed;
        bool ok;
        const char* text; // the value as text afterwards
    };
    static const std::string longServer(300, 'h');
    const Case cases[] = {
        {"iOutChannels", "Mono", true, "1"},
        {"iOutChannels", "2", true, "2"},
        {"iOutChannels", "3", false, ""},
        {"iOutChannels", "1.0", false, ""},
        {"bCutOff", "YES", true, "on"},
        {"bCutOff", "0", true, "off"},
        {"bCutOff", "maybe", false, ""},
        {"eMode", "Jitter", true, "1"},
        {"eMode", "scratch correcting mode", true, "2"},
        {"eMode", "-1", false, ""},
        {"iSpeed", "MAX", true, "255"},
        {"iSpeed", "+8", true, "8"},
        {"iSpeed", "0x10", false, ""},
        {"iSpeed", "", false, ""},
        {"dwNewSampleRate", "96000", true, "96000"},
        {"dwNewSampleRate", "44.1k", false, ""},
        {"eResamplingAlg", "cubic", true, "2"},
        {"eResamplingAlg", "999", true, "999"},
        {"eResamplingAlg", "3", true, "3"},
        {"eNormalizeType", "r128", true, "22"},
        {"eNormalizeType", "rg-iso", true, "11"},
        {"eNormalizeType", "2", false, ""},
        {"fNormalizeTarget", "-6.5", true, "-6.5"},
        {"fNormalizeTarget", "1e3", false, ""},
        {"fNormalizeTarget", "-6,5", false, ""},
        {"szFileFormat", "BWF", true, "Broadcast wave format (EBU BWF)"},
        {"szFileFormat", "flac?", false, ""},
        {"szDataFormat", "a-law", true, "A-Law"},
        {"aiName", " 1,2,3,4,5,6,7,8,9,0 ", false, ""}, // P0 is the space handling, 0-3
        {"aiName", "3,9,7,8,6,1,5,2,4,3", true, "3,9,7,8,6,1,5,2,4,3"},
        {"szOutDir", "/srv/a/../music", true, "/srv/music/"},
        {"szDBEmail", "ann@example.org", true, "ann@example.org"},
        {"szDBServer", longServer.c_str(), false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.setting) + " " + c.typed);
        const kySettingInfo* info = kyFindSetting(c.setting);
        ASSERT_NE(info, nullptr);
        RipSettings s;
        const RipSettings before = s;
        std::string error;
        ASSERT_EQ(info->parse(s, c.typed, error), c.ok) << error;
        if (c.ok) {
            EXPECT_EQ(info->text(s), c.text);
            EXPECT_TRUE(info->valid(s));
        } else {
            EXPECT_EQ(error.rfind("takes", 0), 0u) << error;
            EXPECT_EQ(info->text(s), info->text(before)); // unchanged
        }
    }
    // Names compare without regard to letter case, as stored names do.
    EXPECT_EQ(kyFindSetting("ioutchannels"), kyFindSetting("iOutChannels"));
    EXPECT_EQ(kyFindSetting("nothing"), nullptr);
}

TEST_F(SettingsTableTest, EveryDefaultIsValidAndEveryValueReadsBackFromItsText) {
    RipSettings defaults;
    for (const kySettingInfo& info : kySettingsTable()) info.reset(defaults);
    std::vector<std::string> problems;
    RipSettings checked = defaults;
    kyValidateSettings(checked, &problems);
    EXPECT_TRUE(problems.empty()) << problems.front();
    for (const kySettingInfo& info : kySettingsTable()) {
        SCOPED_TRACE(info.name);
        EXPECT_TRUE(info.meaning && *info.meaning);
        EXPECT_TRUE(info.accepts && *info.accepts);
        if (!info.settable) continue;
        RipSettings s = defaults;
        std::string error;
        EXPECT_TRUE(info.parse(s, info.text(defaults), error)) << error;
        EXPECT_EQ(info.text(s), info.text(defaults));
    }
    EXPECT_EQ(kyDefaultDataFormat("Microsoft wave format"), "PCM 16-bit");
    EXPECT_EQ(kyDefaultDataFormat("no such format"), "PCM 16-bit");
}
