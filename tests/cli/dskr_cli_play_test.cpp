// dskr-cli play and devices as a user runs them: a disc image's track and a WAV file played
// into ALSA devices that write files (the samples must be exactly the image's), a start
// time, the JSON and help forms, the device list with and without the sound library, and
// the errors.
#include "support/alsa_test_config.h"
#include "support/cli_test_home.h"
#include "support/run_program.h"
#include <cstring>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {
const std::string kCli = std::string(DSKR_BINARY_DIR) + "/bin/dskr-cli";

class CliPlay : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kytest::AlsaTestConfig::available()) GTEST_SKIP() << "ALSA's configuration is missing";
        kytest::AlsaTestConfig::Get();
        // No sound server: the PulseAudio entry must stay away quietly.
        ::setenv("PULSE_SERVER", "unix:/nonexistent/dskr-test", 1);
    }
    kytest::ProgramRun run(const std::vector<std::string>& args) {
        return kytest::runProgram(kCli, args, home.dir.string());
    }
    // The image's samples from `sector` to `end` as 16-bit values.
    std::vector<int16_t> imageSamples(uint32_t sector, uint32_t end) {
        const std::string bin = kytest::readText(home.dir / "disc.bin");
        std::vector<int16_t> v((end - sector) * 2352 / 2);
        std::memcpy(v.data(), bin.data() + sector * 2352, v.size() * 2);
        return v;
    }
    static std::vector<int16_t> fileAsShorts(const fs::path& path, bool floats) {
        const std::string bytes = kytest::readText(path);
        std::vector<int16_t> out;
        if (floats) {
            std::vector<float> f(bytes.size() / 4);
            if (!f.empty()) std::memcpy(f.data(), bytes.data(), f.size() * 4);
            for (float v : f) out.push_back(int16_t(std::lround(v * 32768.0f)));
        } else {
            out.resize(bytes.size() / 2);
            if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 2);
        }
        return out;
    }
    kytest::CliTestHome home{"dskr-cli-play"};
};
} // namespace

TEST_F(CliPlay, PlaysADiscTrackAndAFileExactly) {
    const auto& cfg = kytest::AlsaTestConfig::Get();
    // Track 2 of the image, from 1.5 s on, through our float output.
    fs::remove(cfg.floatFile);
    auto r = run({"play", "--image", home.cue.string(), "--track", "2", "--start", "0:01.5",
                  "--device", "alsa:dskrfloat", "--no-realtime", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j["completed"], true);
    EXPECT_EQ(j["source"], "track 2");
    EXPECT_TRUE(j["error"].is_null());
    EXPECT_NEAR(j["position_seconds"].get<double>(), 4.0, 1e-9);
    const auto expected = imageSamples(300, 600);
    const auto got = fileAsShorts(cfg.floatFile, true);
    ASSERT_EQ(got.size(), expected.size() - 66150 * 2);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin() + 66150 * 2));

    // The same samples as a WAV file, through ALSA's conversion to 16 bits.
    std::string wav = "RIFF____WAVEfmt ";
    const uint32_t dataBytes = 300 * 2352;
    auto le32 = [](uint32_t v) {
        return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    };
    auto le16 = [](uint16_t v) { return std::string{char(v), char(v >> 8)}; };
    wav += le32(16) + le16(1) + le16(2) + le32(44100) + le32(44100 * 4) + le16(4) + le16(16);
    wav += "data" + le32(dataBytes) + kytest::readText(home.dir / "disc.bin").substr(300 * 2352);
    wav.replace(4, 4, le32(uint32_t(wav.size() - 8)));
    kytest::writeText(home.dir / "track.wav", wav);
    fs::remove(cfg.s16File);
    r = run(
        {"play", (home.dir / "track.wav").string(), "--device", "alsa:dskrs16", "--no-realtime"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(fileAsShorts(cfg.s16File, false) == expected);
}

TEST_F(CliPlay, DevicesAndHelp) {
    auto r = run({"devices", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const json j = json::parse(r.out);
    ASSERT_GE(j["devices"].size(), 1u);
    EXPECT_EQ(j["devices"][0]["name"], "System default [SHARED]");
    EXPECT_EQ(j["devices"][0]["interface"], "ALSA");
    EXPECT_EQ(j["devices"][0]["identity"], "default");
    EXPECT_EQ(j["devices"][0]["exclusive"], false);
    EXPECT_NE(std::find(j["devices"][0]["rates"].begin(), j["devices"][0]["rates"].end(), 44100),
              j["devices"][0]["rates"].end());
    // The PulseAudio entry is missing, and says why.
    EXPECT_FALSE(j["problems"].empty());
    r = run({"devices"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("  0  System default [SHARED] (ALSA default; Mono, Stereo"),
              std::string::npos)
        << r.out;

    for (const char* command : {"play", "devices"}) {
        r = run({command, "--help"});
        EXPECT_EQ(r.code, 0);
        EXPECT_NE(r.out.find(std::string("Usage: dskr-cli ") + command), std::string::npos);
    }
    r = run({"--help"});
    EXPECT_NE(r.out.find("  play      listen to an audio file or a disc's track"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  devices   list the sound output devices"), std::string::npos);
}

TEST_F(CliPlay, WithoutSoundLibrariesNothingIsListedAndPlayFails) {
    ::setenv("DSKR_LIBRARY_PATH", home.dir.c_str(), 1); // a folder without them
    auto r = run({"devices"});
    auto j = run({"devices", "--json"});
    auto p = run({"play", "--image", home.cue.string(), "--no-realtime"});
    ::unsetenv("DSKR_LIBRARY_PATH");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("No sound output device found."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("libasound.so.2 not found"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("libpulse-simple.so.0 not found"), std::string::npos) << r.out;
    EXPECT_TRUE(json::parse(j.out)["devices"].empty());
    EXPECT_EQ(p.code, 1);
    EXPECT_NE(p.err.find("couldn't play track 1"), std::string::npos) << p.err;
}

TEST_F(CliPlay, Errors) {
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* message;
    };
    const std::string cue = home.cue.string();
    for (const Case& c : {
             Case{{"play", "--image", cue, "--start", "1:75"}, 2, "--start takes"},
             Case{{"play", "--image", cue, "--start", "-3"}, 2, "--start takes"},
             Case{{"play", "--image", cue, "--track", "0"}, 2, "--track takes"},
             Case{{"play", "--image", cue, "--track", "9", "--device", "alsa:dskrfloat"},
                  1,
                  "the disc has no track 9"},
             Case{{"play", "--image", cue, "--start", "99", "--device", "alsa:dskrfloat"},
                  1,
                  "Invalid parameter"},
             Case{{"play", "--image", cue, "--device", "no such device"},
                  1,
                  "no sound output device 'no such device'"},
             Case{{"play", "--image", cue, "--device", "alsa:dskr_undefined"}, 1, "dskr_undefined"},
             Case{{"play", (home.dir / "missing.wav").string()}, 1, "missing.wav"},
             Case{{"play", "a.wav", "b.wav"}, 2, "one file"},
             Case{{"devices", "x"}, 2, "no file names"},
         }) {
        auto r = run(c.args);
        EXPECT_EQ(r.code, c.code) << c.args.back() << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}
