// dskr-cli with Shorten and Musepack, as a user runs it: a demo rip to Shorten that ffmpeg
// and DskR's own reader give back as the CD audio, a rip to Musepack with its gains stored
// that mpcdec decodes and DskR reads back with its tags, and libmpcdec hidden from the
// loader: Musepack files are still written (our own encoder) but not read.
#include "cd/virtual_drive.h"
#include "support/chain_helpers.h"
#include "support/codec_library_files.h"
#include "support/codec_test_files.h"
#include "support/run_program.h"
#include "support/scoped_env.h"
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using kytest::haveTool;
using nlohmann::json;

namespace {
const std::string kCli = std::string(DSKR_BINARY_DIR) + "/bin/dskr-cli";

class CliShnMpcTest : public ::testing::Test {
protected:
    kytest::ScopedEnv env{"XDG_CONFIG_HOME", "HOME", "DSKR_LIBRARY_PATH"};
    kytest::ScratchDir scratch;
    fs::path dir = scratch.dir();

    void SetUp() override {
        fs::create_directories(dir / "config");
        setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        setenv("HOME", dir.c_str(), 1);
        unsetenv("DSKR_LIBRARY_PATH");
    }
    kytest::ProgramRun run(const std::vector<std::string>& args) {
        return kytest::runProgram(kCli, args, scratch.dir());
    }
    std::vector<fs::path> ripped(const kytest::ProgramRun& r) {
        std::vector<fs::path> files;
        EXPECT_EQ(r.code, 0) << r.err;
        if (r.code != 0) return files;
        const json answer = json::parse(r.out);
        for (const json& f : answer["files"]) {
            EXPECT_EQ(f["result"], "ok") << f.dump();
            files.push_back(f["path"].get<std::string>());
        }
        return files;
    }
    static std::vector<uint8_t> wavData(const fs::path& wav) {
        kytest::WavFormat f;
        std::vector<uint8_t> data;
        EXPECT_TRUE(kytest::parseWav(kytest::readFile(wav.string()), f, data)) << wav;
        return data;
    }
};

std::string q(const fs::path& p) {
    return kytest::shellQuote(p.string());
}
} // namespace

TEST_F(CliShnMpcTest, ShortenRipIsTheCdAudio) {
    auto demo = kyDiscImage::Demo();
    const kyTocEntry& e = demo->Toc().entries[2];
    std::vector<uint8_t> cd(size_t(e.length) * 2352);
    ASSERT_TRUE(demo->ReadSectors(e.start, e.length, cd.data()));
    const std::vector<fs::path> files =
        ripped(run({"rip", "--demo", "--tracks", "2", "--format", "shn", "--out",
                    (dir / "shn").string(), "--json"}));
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].extension(), ".shn");
    const fs::path back = dir / "back.wav";
    ASSERT_EQ(run({"convert", files[0].string(), back.string()}).code, 0);
    EXPECT_TRUE(wavData(back) == cd);
    if (haveTool("ffmpeg")) {
        const fs::path viaFfmpeg = dir / "ffmpeg.wav";
        ASSERT_TRUE(kytest::run("ffmpeg -v error -y -i " + q(files[0]) + " " + q(viaFfmpeg)));
        EXPECT_TRUE(wavData(viaFfmpeg) == cd);
    }
}

TEST_F(CliShnMpcTest, MusepackRipWithGainsAndWithoutTheLibrary) {
    const std::vector<fs::path> files = ripped(
        run({"rip", "--demo", "--tracks", "1", "--format", "mpc", "--subformat", "~130 kbit/s",
             "--out", (dir / "mpc").string(), "--json", "--normalize", "rg", "--meta"}));
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].extension(), ".mpc");
    if (haveTool("mpcdec")) EXPECT_TRUE(kytest::run("mpcdec " + q(files[0]) + " /dev/null"));
    if (kytest::haveMutagen()) {
        const std::string items = kytest::mutagenApeItems(files[0].string());
        EXPECT_NE(items.find("Replay Gain (radio)="), std::string::npos) << items;
    }
    const fs::path back = dir / "back.wav";
    kytest::ProgramRun converted = run({"convert", files[0].string(), back.string()});
    EXPECT_EQ(converted.code, 0) << converted.err;

    // Without libmpcdec: written still, not read, and the listing says nothing is missing
    // for writing.
    const fs::path empty = dir / "no-libs";
    fs::create_directories(empty);
    setenv("DSKR_LIBRARY_PATH", empty.c_str(), 1);
    const std::vector<fs::path> again =
        ripped(run({"rip", "--demo", "--tracks", "1", "--format", "mpc", "--out",
                    (dir / "again").string(), "--json"}));
    EXPECT_EQ(again.size(), 1u);
    kytest::ProgramRun refused = run({"convert", files[0].string(), (dir / "x.wav").string()});
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("libmpcdec.so.6 not found"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(dir / "x.wav"));
    kytest::ProgramRun formats = run({"formats", "--json"});
    ASSERT_EQ(formats.code, 0) << formats.err;
    bool listed = false;
    const json listing = json::parse(formats.out);
    for (const json& f : listing["formats"])
        if (f["extension"] == "mpc") {
            listed = true;
            EXPECT_TRUE(f["missing"].is_null()) << f.dump();
            EXPECT_EQ(f["subformats"].size(), 12u); // with "<Auto select>"
        }
    EXPECT_TRUE(listed);
}
