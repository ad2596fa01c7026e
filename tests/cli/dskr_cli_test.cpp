// dskr-cli run as a user runs it: each command's text and JSON, rips of the demo disc and
// of a CUE/BIN image, read offsets, suspect files, replacing rips that are stopped or
// fail, convert, analyze, info, usage errors and Ctrl-C.
#include "cd/virtual_drive.h"
#include "core/quantizer.h"
#include "filters/itu_bs1770_analyzer.h"
#include "filters/replaygain_analyzer.h"
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include "support/encoded_streams.h"
#include "support/file_text.h"
#include "support/round_trip.h"
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace fs = std::filesystem;
using nlohmann::json;
extern char** environ;

namespace {
const std::string kCli = std::string(DSKR_BINARY_DIR) + "/bin/dskr-cli";

struct CliRun {
    int code = -1;
    std::string out, err;
};

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/dskr-cli-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        // Keep the user's settings out of it: the store lives in the test's own folder.
        fs::create_directories(dir / "config");
        setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        setenv("HOME", dir.c_str(), 1);
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs dskr-cli with `args`, stdin from /dev/null; returns exit code and output.
    // With `signal`, sends it once the batch has started writing a file under `watch`.
    CliRun run(const std::vector<std::string>& args, int signal = 0, const fs::path& watch = {}) {
        const fs::path outFile = dir / "stdout.txt", errFile = dir / "stderr.txt";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        std::vector<std::string> all = {kCli};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid;
        CliRun r;
        if (posix_spawn(&pid, kCli.c_str(), &fa, nullptr, argv.data(), environ) != 0) return r;
        posix_spawn_file_actions_destroy(&fa);
        if (signal) {
            // Wait until the batch writes its temporary file, then send the signal.
            for (int i = 0; i < 600 && pendingFiles(watch).empty(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            kill(pid, signal);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = slurp(outFile);
        r.err = slurp(errFile);
        return r;
    }

    // The temporary files of runs under `top`.
    static std::vector<fs::path> pendingFiles(const fs::path& top) {
        std::vector<fs::path> found;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(top, ec); !ec && it != fs::end(it);
             it.increment(ec)) {
            static const std::regex ours(R"(\.dskr-[0-9]+-[A-Za-z0-9]{6}\.part)");
            if (std::regex_match(it->path().filename().string(), ours)) found.push_back(it->path());
        }
        return found;
    }

    static std::string slurp(const fs::path& p) {
        std::ifstream f(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }

    // The sample bytes of a PCM WAV file's "data" chunk.
    static std::vector<uint8_t> wavData(const fs::path& p) {
        std::string s = slurp(p);
        for (size_t pos = 12; pos + 8 <= s.size();) {
            uint32_t size;
            std::memcpy(&size, &s[pos + 4], 4);
            if (s.compare(pos, 4, "data") == 0)
                return std::vector<uint8_t>(s.begin() + pos + 8,
                                            s.begin() + std::min<size_t>(s.size(), pos + 8 + size));
            pos += 8 + size + (size & 1);
        }
        return {};
    }

    // The samples of any file our readers take, as 16-bit little-endian bytes (as a CD
    // track holds them).
    static std::vector<uint8_t> pcm16(const fs::path& p) {
        kyReaderFilter* reader = nullptr;
        if (kyFailed(kyFormatCatalog::Instance().OpenReader(reader, p.c_str(), -2))) return {};
        kyAudioFormat fmt{};
        reader->GetFormat(fmt);
        struct Keep : kySinkFilter2 {
            std::vector<uint8_t> bytes;
            Keep() : kySinkFilter2("keep") {}
            kyError Write(float** planes, uint32_t frames) override {
                for (uint32_t i = 0; i < frames; ++i)
                    for (uint32_t c = 0; planes[c]; ++c) {
                        const int32_t v = kyRoundSample(planes[c][i], 16);
                        bytes.push_back(static_cast<uint8_t>(v));
                        bytes.push_back(static_cast<uint8_t>(v >> 8));
                    }
                return KY_OK;
            }
        };
        auto* keep = new Keep;
        reader->Connect(keep);
        kyError err = keep->Run();
        std::vector<uint8_t> out = std::move(keep->bytes);
        keep->DestroyChain();
        return kyFailed(err) ? std::vector<uint8_t>{} : out;
    }

    static std::vector<uint8_t> imageTrack(const kyDiscImage& image, uint32_t track) {
        kyDiscToc toc = image.Toc();
        const kyTocEntry& e = toc.entries[track];
        std::vector<uint8_t> pcm(size_t(e.length) * 2352);
        EXPECT_TRUE(image.ReadSectors(e.start, e.length, pcm.data()));
        return pcm;
    }

    fs::path dir;
};
} // namespace

TEST_F(CliTest, InformationCommandsInTextAndJson) {
    CliRun drives = run({"drives", "--demo", "--json"});
    ASSERT_EQ(drives.code, 0) << drives.err;
    json d = json::parse(drives.out);
    ASSERT_FALSE(d["drives"].empty());
    EXPECT_NE(d["drives"].back()["name"].get<std::string>().find("virtual"), std::string::npos);
    EXPECT_TRUE(d["skipped"].is_array());

    CliRun toc = run({"toc", "--demo", "--json"});
    ASSERT_EQ(toc.code, 0) << toc.err;
    json t = json::parse(toc.out);
    const int first = t["first_track"], last = t["last_track"];
    ASSERT_EQ(first, 1);
    ASSERT_GE(last, 6);
    EXPECT_TRUE(t["tracks"].back()["data"].get<bool>()); // the enhanced disc's data track
    auto image = kyDiscImage::Demo();
    // Names, catalogue number, ISRCs and indexes as the disc has them.
    EXPECT_EQ(t["tracks"][0]["name"], image->Record()->trackTitles[0]);
    EXPECT_EQ(t["mcn"], image->Mcn());
    for (auto& tr : t["tracks"]) {
        const std::string isrc = image->Isrc(tr["number"].get<uint32_t>());
        if (isrc.empty() || tr["data"].get<bool>())
            EXPECT_TRUE(tr["isrc"].is_null()) << tr;
        else
            EXPECT_EQ(tr["isrc"], isrc);
        ASSERT_FALSE(tr["indexes"].empty());
        EXPECT_EQ(tr["indexes"].back()["start"], tr["start"]) << tr;
    }
    bool emphasis = false;
    for (auto& tr : t["tracks"]) emphasis |= tr["preemphasis"].get<bool>();
    EXPECT_TRUE(emphasis);
    const std::string id = t["freedb_id"];
    EXPECT_EQ(id.size(), 8u);
    EXPECT_EQ(t["query"].get<std::string>().rfind(id + "+" + std::to_string(last) + "+150+", 0),
              0u);
    EXPECT_EQ(t["leadout"].get<uint32_t>(), image->LeadOut());

    CliRun drivesText = run({"drives", "--demo"});
    ASSERT_EQ(drivesText.code, 0);
    EXPECT_NE(drivesText.out.find("virtual0 <SPTI"), std::string::npos) << drivesText.out;
    CliRun formatsText = run({"formats"});
    ASSERT_EQ(formatsText.code, 0);
    EXPECT_NE(formatsText.out.find("Microsoft wave format"), std::string::npos);
    EXPECT_NE(formatsText.out.find("PCM 24-bit"), std::string::npos);

    CliRun text = run({"toc", "--demo"});
    ASSERT_EQ(text.code, 0);
    EXPECT_NE(text.out.find("freedb id " + id), std::string::npos);
    EXPECT_NE(text.out.find(image->Record()->trackTitles[0]), std::string::npos);
    EXPECT_NE(text.out.find("MCN " + image->Mcn()), std::string::npos) << text.out;

    CliRun formats = run({"formats", "--json"});
    ASSERT_EQ(formats.code, 0);
    json f = json::parse(formats.out);
    bool wav = false;
    for (auto& e : f["formats"])
        if (e["name"] == "Microsoft wave format") {
            wav = e["extension"] == "wav";
            EXPECT_NE(std::find(e["subformats"].begin(), e["subformats"].end(), "PCM 16-bit"),
                      e["subformats"].end());
        }
    EXPECT_TRUE(wav);
}

TEST_F(CliTest, UsageErrorsExitTwoWithAHelpfulMessage) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {{}, "Usage"},
        {{"bogus"}, "unknown command 'bogus'"},
        {{"toc", "--bogus"}, "unknown option '--bogus'"},
        {{"rip", "--demo", "--channels", "3"}, "--channels"},
        {{"rip", "--demo", "--tracks", "0"}, "--tracks"},
        {{"rip", "--demo", "--tracks", "42"}, "no track 42"},
        {{"rip", "--demo", "--mode", "fast"}, "--mode"},
        {{"rip", "--demo", "--format", "nonsense"}, "unknown format"},
        {{"rip", "--demo", "--pattern", "1,2,3"}, "--pattern"},
        {{"rip", "--demo", "--drive", "0"}, "choose one"},
        {{"toc", "--faults", "seed=1"}, "--faults"},
        {{"toc", "--demo", "--faults", "seek=2:1"}, "--faults"},
        {{"toc", "--drive"}, "needs a value"},
        {{"convert", "only-one.wav"}, "convert"},
    };
    for (const auto& c : cases) {
        CliRun r = run(c.args);
        EXPECT_EQ(r.code, 2) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    CliRun help = run({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("rip [DRIVE]"), std::string::npos);
}

TEST_F(CliTest, DemoRipMakesNamedFilesEqualToTheDisc) {
    const fs::path out = dir / "rips";
    CliRun r =
        run({"rip", "--demo", "--out", out.string(), "--playlist", "--json", "--tracks", "1-3,5"});
    ASSERT_EQ(r.code, 0) << r.err;
    json j = json::parse(r.out);
    ASSERT_EQ(j["files"].size(), 4u);
    auto image = kyDiscImage::Demo();
    const auto& record = image->Record();
    ASSERT_TRUE(record.has_value());
    const int tracks[] = {1, 2, 3, 5};
    for (size_t i = 0; i < 4; ++i) {
        const json& f = j["files"][i];
        EXPECT_EQ(f["result"], "ok");
        EXPECT_TRUE(f["error"].is_null());
        EXPECT_EQ(f["first_track"], tracks[i]);
        const fs::path p = f["path"].get<std::string>();
        // The default pattern: artist/album/NN - title.wav
        EXPECT_EQ(p.parent_path().filename(), record->album);
        EXPECT_EQ(p.parent_path().parent_path().filename(), record->artist);
        char prefix[8];
        std::snprintf(prefix, sizeof prefix, "%02d - ", tracks[i]);
        EXPECT_EQ(p.filename().string().rfind(prefix, 0), 0u) << p;
        EXPECT_EQ(wavData(p), imageTrack(*image, tracks[i])) << p;
    }
    ASSERT_FALSE(j["playlist"].is_null());
    const std::string playlist = slurp(j["playlist"].get<std::string>());
    EXPECT_NE(playlist.find(".wav\r\n"), std::string::npos);
    EXPECT_NE(j["summary"].get<std::string>().find("Successfully completed 4 out of 4 files"),
              std::string::npos);

    // Run again: without a terminal the existing files are skipped, and it says so.
    CliRun again = run({"rip", "--demo", "--out", out.string(), "--json", "--tracks", "1"});
    ASSERT_EQ(again.code, 0) << again.err;
    EXPECT_EQ(json::parse(again.out)["files"][0]["result"], "skipped");
    EXPECT_NE(again.err.find("Skip it"), std::string::npos);
}

TEST_F(CliTest, JitterRipOfAFaultyImageIsBitExact) {
    std::string error;
    const std::string cue = kyWriteTestImage(dir.string(), 6, error);
    ASSERT_FALSE(cue.empty()) << error;
    std::unique_ptr<kyDiscImage> image = kyDiscImage::LoadCue(cue, error);
    ASSERT_TRUE(image) << error;
    const fs::path out = dir / "jitter";
    // One merged range: the drive has settled for its first read, and jitter correction
    // realigns every read after it.
    CliRun r =
        run({"rip", "--image", cue, "--faults", "seed=11,seek=0.3:-9..2,settle=1", "--mode",
             "jitter", "--merge", "--out", out.string(), "--json", "--overwrite", "replace"});
    ASSERT_EQ(r.code, 0) << r.err;
    json j = json::parse(r.out);
    ASSERT_EQ(j["files"].size(), 1u);
    const json& f = j["files"][0];
    ASSERT_EQ(f["result"], "ok");
    std::vector<uint8_t> whole;
    for (int t = f["first_track"]; t <= f["last_track"].get<int>(); ++t) {
        auto pcm = imageTrack(*image, t);
        whole.insert(whole.end(), pcm.begin(), pcm.end());
    }
    EXPECT_GT(f["last_track"].get<int>(), f["first_track"].get<int>());
    EXPECT_EQ(wavData(f["path"].get<std::string>()), whole);
}

// A re-rip that replaces a good file and is stopped (Ctrl-C, SIGTERM, SIGHUP), fails
// (a sector that never reads) or is killed outright never harms the earlier file.
TEST_F(CliTest, StoppedOrFailedReplacingRipLeavesTheEarlierFile) {
    const fs::path out = dir / "replace";
    CliRun first = run({"rip", "--demo", "--out", out.string(), "--tracks", "1", "--json"});
    ASSERT_EQ(first.code, 0) << first.err;
    const fs::path file = json::parse(first.out)["files"][0]["path"].get<std::string>();
    const std::string earlier = slurp(file);
    ASSERT_FALSE(earlier.empty());
    const std::vector<std::string> replace = {"rip",      "--demo", "--out",       out.string(),
                                              "--tracks", "1",      "--overwrite", "replace"};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = replace;
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };

    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        // A slow drive (2x) so that the signal lands in the middle of the file.
        CliRun r = run(with({"--faults", "speed=2"}), sig, out);
        EXPECT_EQ(r.code, 130) << strsignal(sig) << ": " << r.err;
        EXPECT_NE(r.err.find("Cancelled after"), std::string::npos) << r.err;
        EXPECT_TRUE(slurp(file) == earlier) << strsignal(sig);
        EXPECT_TRUE(pendingFiles(out).empty()) << strsignal(sig);
    }

    // A sector that never reads fails the file, naming the sector.
    CliRun failed = run(with({"--faults", "bad=1000:1000000", "--json"}));
    EXPECT_EQ(failed.code, 1);
    const json f = json::parse(failed.out)["files"][0];
    EXPECT_EQ(f["result"], "failed");
    EXPECT_EQ(f["error"], "Couldn't read from file: sector 1000 (track 1, 00:13.25)");
    EXPECT_TRUE(slurp(file) == earlier);
    EXPECT_TRUE(pendingFiles(out).empty());

    // Killed outright, a run leaves its temporary file; the next run into that folder
    // removes it, and nothing else.
    CliRun killed = run(with({"--faults", "speed=2"}), SIGKILL, out);
    EXPECT_EQ(killed.code, 128 + SIGKILL);
    EXPECT_TRUE(slurp(file) == earlier);
    ASSERT_EQ(pendingFiles(out).size(), 1u);
    const fs::path folder = file.parent_path();
    for (const char* keep : {".dskr-notes.part", "x.part", ".dskr-1-abcdef.wav"})
        std::ofstream(folder / keep) << "mine";
    CliRun next = run(with({"--tracks", "2"}));
    EXPECT_EQ(next.code, 0) << next.err;
    EXPECT_TRUE(pendingFiles(out).empty());
    for (const char* keep : {".dskr-notes.part", "x.part", ".dskr-1-abcdef.wav"})
        EXPECT_EQ(slurp(folder / keep), "mine") << keep;
}

// A full disk (a small tmpfs) fails the file; the earlier file and the disk's free space
// are as they were.
TEST_F(CliTest, FullDiskLeavesTheEarlierFile) {
    const fs::path small = dir / "small";
    fs::create_directories(small);
    if (geteuid() != 0 ||
        std::system(
            ("mount -t tmpfs -o size=2m tmpfs '" + small.string() + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "needs to mount a tmpfs (root)";
    const fs::path folder = small / "The Velmora Ensemble" / "Signals from the Demo Disc";
    fs::create_directories(folder);
    const fs::path file = folder / "01 - Harbour Lights.wav";
    std::ofstream(file) << "the earlier rip";
    CliRun r = run({"rip", "--demo", "--out", small.string(), "--tracks", "1", "--overwrite",
                    "replace", "--json"});
    EXPECT_EQ(r.code, 1) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j["files"][0]["result"], "failed");
    EXPECT_EQ(slurp(file), "the earlier rip");
    EXPECT_TRUE(pendingFiles(small).empty());
    std::system(("umount '" + small.string() + "'").c_str());
}

// The drive's read offset: given with --offset (and kept for the drive with --save), a
// drive that reads N samples early gives every track as on the disc, silence where the
// disc ends; test and copy reads twice and both checksums are the CRC-32 of the track.
TEST_F(CliTest, ReadOffsetIsCorrectedAndChecksummed) {
    auto image = kyDiscImage::Demo();
    const uint32_t leadOut = image->Sessions().front().leadOut;
    const kyDiscToc toc = image->Toc();
    // The disc's audio of a track as a drive without the fault gives it: the samples of
    // the disc the offset drive cannot reach are silence.
    auto expected = [&](uint32_t t, int32_t n) {
        std::vector<uint8_t> pcm = imageTrack(*image, t);
        const int64_t from = int64_t(toc.entries[t].start) * 588;
        for (size_t i = 0; i < pcm.size() / 4; ++i) {
            const int64_t at = from + int64_t(i);
            if (at < -n || at >= int64_t(leadOut) * 588 - n) std::memset(&pcm[i * 4], 0, 4);
        }
        return pcm;
    };
    const fs::path out = dir / "offset";
    for (int32_t n : {667, -1164}) {
        const std::string drive = "offset=" + std::to_string(n);
        CliRun r = run({"rip", "--demo", "--faults", drive, "--offset", std::to_string(n),
                        "--tracks", "1,6", "--test-and-copy", "--mode", "jitter", "--out",
                        out.string(), "--overwrite", "replace", "--json", "--save"});
        ASSERT_EQ(r.code, 0) << r.err;
        const json j = json::parse(r.out);
        ASSERT_EQ(j["files"].size(), 2u);
        for (const json& f : j["files"]) {
            const uint32_t t = f["first_track"];
            const std::vector<uint8_t> want = expected(t, n);
            EXPECT_EQ(f["result"], "ok");
            EXPECT_TRUE(wavData(f["path"].get<std::string>()) == want) << drive << ", track " << t;
            char crc[9];
            std::snprintf(crc, sizeof crc, "%08lX",
                          crc32(0, want.data(), static_cast<uInt>(want.size())));
            EXPECT_EQ(f["copy_crc"], crc) << drive << ", track " << t;
            EXPECT_EQ(f["test_crc"], crc) << drive << ", track " << t;
            EXPECT_TRUE(f["suspect_positions"].empty());
            EXPECT_TRUE(f["rereads"].is_number());
        }
        // Kept for the drive: the next rip of it needs no --offset.
        CliRun again =
            run({"rip", "--demo", "--faults", drive, "--tracks", "6", "--out", out.string(),
                 "--overwrite", "replace", "--json", "--no-test-and-copy"});
        ASSERT_EQ(again.code, 0) << again.err;
        const json f = json::parse(again.out)["files"][0];
        EXPECT_TRUE(wavData(f["path"].get<std::string>()) == expected(6, n)) << drive;
        EXPECT_FALSE(f.contains("test_crc"));
    }
    CliRun bad = run({"rip", "--demo", "--offset", "5881"});
    EXPECT_EQ(bad.code, 2);
    EXPECT_NE(bad.err.find("--offset"), std::string::npos);
}

// What could not be confirmed is kept but "suspect", named by position, and exits 1.
TEST_F(CliTest, SuspectFilesAreNamedWithTheirPositions) {
    const fs::path out = dir / "suspect";
    // A sector that never reads, filled with silence to go on.
    CliRun r = run({"rip", "--demo", "--faults", "bad=3000:1000000", "--continue-on-errors",
                    "--mode", "jitter", "--tracks", "1-2", "--out", out.string(), "--json"});
    EXPECT_EQ(r.code, 1) << r.err;
    json j = json::parse(r.out);
    ASSERT_EQ(j["files"].size(), 2u);
    EXPECT_EQ(j["files"][0]["result"], "ok");
    const json& f = j["files"][1];
    EXPECT_EQ(f["result"], "suspect");
    EXPECT_EQ(f["suspect_positions"], json::parse("[[3000, 3000]]"));
    EXPECT_GT(f["rereads"].get<int>(), 0);
    std::vector<uint8_t> want = imageTrack(*kyDiscImage::Demo(), 2);
    std::memset(&want[size_t(3000 - 2250) * 2352], 0, 2352);
    EXPECT_TRUE(wavData(f["path"].get<std::string>()) == want);
    const std::string summary = j["summary"];
    EXPECT_NE(summary.find("Suspect: " + f["path"].get<std::string>()), std::string::npos)
        << summary;
    EXPECT_NE(summary.find("sector 3000 (track 2, 00:10.00)"), std::string::npos) << summary;

    // Text output lists the positions under the file.
    CliRun text = run({"rip", "--demo", "--faults", "bad=3000:1000000", "--continue-on-errors",
                       "--tracks", "2", "--out", out.string(), "--overwrite", "replace"});
    EXPECT_EQ(text.code, 1);
    EXPECT_NE(text.out.find("suspect   "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("sector 3000 (track 2, 00:10.00)"), std::string::npos) << text.out;

    // Test and copy over a scratched disc in burst mode: the two reads differ.
    CliRun twice =
        run({"rip", "--demo", "--faults", "seed=3,scratch=2300-2400:0.5", "--test-and-copy",
             "--tracks", "2", "--out", out.string(), "--overwrite", "replace", "--json"});
    EXPECT_EQ(twice.code, 1) << twice.err;
    const json g = json::parse(twice.out)["files"][0];
    EXPECT_EQ(g["result"], "suspect");
    EXPECT_NE(g["copy_crc"], g["test_crc"]);
    EXPECT_EQ(g["suspect_positions"], json::parse("[[2250, 4199]]"));

    // Two tracks that would write one file: refused before anything is read.
    const fs::path same = dir / "same";
    CliRun refused = run({"rip", "--demo", "--pattern", "0,1,5,2,0,0,0,0,0,0", "--tracks", "1-2",
                          "--out", same.string(), "--json"});
    EXPECT_EQ(refused.code, 1);
    const json k = json::parse(refused.out);
    EXPECT_NE(k["refused"].get<std::string>().find("tracks 1 and 2"), std::string::npos)
        << k["refused"];
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(same, ec); !ec && it != fs::end(it);
         it.increment(ec))
        EXPECT_FALSE(it->is_regular_file()) << it->path();
}

TEST_F(CliTest, ConvertChangesRateAndSubformat) {
    const fs::path out = dir / "demo";
    ASSERT_EQ(run({"rip", "--demo", "--out", out.string(), "--tracks", "1", "--json"}).code, 0);
    fs::path wav;
    for (auto& e : fs::recursive_directory_iterator(out))
        if (e.path().extension() == ".wav") wav = e.path();
    ASSERT_FALSE(wav.empty());
    const fs::path converted = dir / "converted.wav";
    CliRun r = run({"convert", wav.string(), converted.string(), "--resample", "48000",
                    "--subformat", "PCM 24-bit", "--format", "wav"});
    ASSERT_EQ(r.code, 0) << r.err;
    kyReaderFilter* reader = nullptr;
    ASSERT_EQ(kyFormatCatalog::Instance().OpenReader(reader, converted.c_str(), -2), KY_OK);
    kyAudioFormat fmt;
    reader->GetFormat(fmt);
    EXPECT_EQ(fmt.sampleRate, 48000u);
    EXPECT_EQ(fmt.channels, 2u);
    EXPECT_STREQ(reader->GetPropertyA(2), "PCM 24-bit");
    // 30 s at 44.1 kHz become 30 s at 48 kHz.
    const double seconds = 2250.0 / 75;
    EXPECT_NEAR(fmt.lengthFrames, seconds * 48000, 2);
    reader->DestroyChain();

    // A file that is not audio is refused with the reader's message, and no output is left.
    const fs::path junk = dir / "junk.wav";
    std::ofstream(junk) << "not audio at all";
    CliRun bad = run({"convert", junk.string(), (dir / "never.wav").string()});
    EXPECT_EQ(bad.code, 1);
    EXPECT_FALSE(fs::exists(dir / "never.wav"));
}

TEST_F(CliTest, QuickTimeAndMpeg4FormatNames) {
    // A second of stereo 16-bit PCM.
    std::vector<uint8_t> pcm(44100 * 4);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    const kytest::WavFormat f = kytest::pcmWavFormat(2, 44100, 16);
    const fs::path in = dir / "in.wav";
    kytest::writeFile(in.string(), kytest::makeWav(f, pcm));

    // "mov" by option and by extension: QuickTime, sample for sample.
    for (const bool byOption : {true, false}) {
        SCOPED_TRACE(byOption ? "--format mov" : "out.mov");
        const fs::path out = dir / (byOption ? "by_option" : "out.mov");
        std::vector<std::string> args = {"convert", in.string(), out.string()};
        if (byOption) args.insert(args.end(), {"--format", "mov", "--subformat", "PCM 24-bit"});
        CliRun r = run(args);
        ASSERT_EQ(r.code, 0) << r.err;
        kyReaderFilter* reader = nullptr;
        ASSERT_EQ(kyFormatCatalog::Instance().OpenReader(reader, out.c_str(), -2), KY_OK);
        EXPECT_STREQ(reader->GetPropertyA(1), "Apple QuickTime movie format");
        EXPECT_STREQ(reader->GetPropertyA(2), byOption ? "PCM 24-bit" : "PCM 16-bit");
        kyAudioFormat fmt;
        reader->GetFormat(fmt);
        EXPECT_EQ(fmt.lengthFrames, 44100u);
        reader->DestroyChain();
    }

    // "mp4" and "m4a" name the two MPEG-4 formats, whose subformats are AAC only.
    for (const auto& [alias, name] : {std::pair{"mp4", "MPEG-4 base media file format"},
                                      std::pair{"m4a", "iTunes MPEG-4 audio format"}}) {
        CliRun r = run({"convert", in.string(), (dir / "x").string(), "--format", alias,
                        "--subformat", "PCM 16-bit"});
        EXPECT_EQ(r.code, 2);
        EXPECT_NE(r.err.find(std::string("is not a subformat of ") + name), std::string::npos)
            << r.err;
    }
}

TEST_F(CliTest, AnalyzeAgreesWithTheAnalyzers) {
    const fs::path out = dir / "an";
    ASSERT_EQ(run({"rip", "--demo", "--out", out.string(), "--tracks", "1-2", "--json"}).code, 0);
    std::vector<std::string> files;
    for (auto& e : fs::recursive_directory_iterator(out))
        if (e.path().extension() == ".wav") files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    ASSERT_EQ(files.size(), 2u);
    std::vector<std::string> args = {"analyze", "--json"};
    args.insert(args.end(), files.begin(), files.end());
    CliRun r = run(args);
    ASSERT_EQ(r.code, 0) << r.err;
    json j = json::parse(r.out);
    ASSERT_EQ(j["files"].size(), 2u);
    EXPECT_TRUE(j["replaygain_album_gain"].is_number());
    for (const json& f : j["files"]) {
        // Measure the same file in-process.
        kyReaderFilter* reader = nullptr;
        ASSERT_EQ(kyFormatCatalog::Instance().OpenReader(reader,
                                                         f["path"].get<std::string>().c_str(), -2),
                  KY_OK);
        kyAudioFormat fmt;
        reader->GetFormat(fmt);
        auto rg = kyMakeGainAnalyzer<kyReplayGainAnalyzer>(false, 89.0f);
        ASSERT_EQ(rg->init(fmt.sampleRate, fmt.channels, fmt.channelMask), KY_OK);
        struct Feed : kySinkFilter2 {
            kyGainAnalyzer* a;
            float peak = 0;
            explicit Feed(kyGainAnalyzer* an) : kySinkFilter2("feed"), a(an) {}
            kyError Write(float** planes, uint32_t frames) override {
                a->process(planes, frames);
                for (uint32_t c = 0; planes[c]; ++c)
                    for (uint32_t i = 0; i < frames; ++i)
                        peak = std::max(peak, std::fabs(planes[c][i]));
                return KY_OK;
            }
        };
        auto* feed = new Feed(rg.get());
        reader->Connect(feed);
        ASSERT_EQ(feed->Run(), KY_OK);
        rg->finish();
        EXPECT_NEAR(f["replaygain_track_gain"].get<double>(), rg->gain(), 0.01);
        EXPECT_NEAR(f["peak"].get<double>(), feed->peak, 1e-6);
        EXPECT_TRUE(f["replaygain_iso_track_gain"].is_number());
        EXPECT_LT(f["loudness_lufs"].get<double>(), 0.0);
        feed->DestroyChain();
    }
    CliRun missing = run({"analyze", (dir / "missing.wav").string()});
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("missing.wav"), std::string::npos);
}

// The normalisation options: each type with its unit, the opposites, and what rip and
// convert make of them.
TEST_F(CliTest, NormalisationOptions) {
    struct Bad {
        std::vector<std::string> args;
        const char* says;
    };
    const Bad bad[] = {
        {{"rip", "--demo", "--normalize", "loud"}, "--normalize takes peak, rg, rg-iso or r128"},
        {{"rip", "--demo", "--normalize", "peak", "--target", "3dBFS"}, "--target for peak"},
        {{"rip", "--demo", "--normalize", "peak", "--target", "1.5x"}, "--target for peak"},
        {{"rip", "--demo", "--normalize", "rg", "--target", "-1dBFS"}, "--target for ReplayGain"},
        {{"rip", "--demo", "--normalize", "r128", "--target", "-90LUFS"}, "--target for r128"},
        {{"rip", "--demo", "--normalize", "r128", "--target", "loud"}, "--target for r128"},
        {{"rip", "--demo", "--meta", "--modify"}, "choose --meta or --modify"},
        {{"rip", "--demo", "--normalize", "rg", "--no-normalize"}, "choose --normalize or"},
        {{"rip", "--demo", "--album-gain", "--no-album-gain"}, "choose --album-gain"},
        {{"convert", "a.wav", "b.wav", "--never-clip", "--allow-clip"}, "choose --never-clip"},
    };
    for (const auto& c : bad) {
        CliRun r = run(c.args);
        EXPECT_EQ(r.code, 2) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    CliRun help = run({"--help"});
    EXPECT_NE(help.out.find("--normalize peak|rg|rg-iso|r128"), std::string::npos);

    // Peak to half of full scale, given as a factor, and kept with --save.
    const fs::path out = dir / "norm";
    CliRun r = run({"rip", "--demo", "--out", out.string(), "--tracks", "1", "--normalize", "peak",
                    "--target", "0.5x", "--album-gain", "--save", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("peak and R 128 normalisation stay per file"), std::string::npos);
    EXPECT_NE(r.err.find("- Converting no 1 out of 1 -"), std::string::npos) << r.err;
    std::vector<fs::path> wavs;
    for (auto& e : fs::recursive_directory_iterator(out))
        if (e.path().extension() == ".wav") wavs.push_back(e.path());
    ASSERT_EQ(wavs.size(), 1u);
    for (const auto& w : wavs) {
        const std::vector<uint8_t> pcm = wavData(w);
        int peak = 0;
        for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
            int16_t v;
            std::memcpy(&v, &pcm[i], 2);
            peak = std::max(peak, std::abs(int(v)));
        }
        // The written samples are dithered: a step or two either way.
        EXPECT_NEAR(peak, 16384, 3) << w;
    }
    const std::string store = slurp(dir / "config" / "Velmora" / "DskR 5" / "settings.reg");
    EXPECT_NE(store.find("\"bNormalize\"=hex:01"), std::string::npos) << store;
    EXPECT_NE(store.find("\"eNormalizeType\"=hex:01"), std::string::npos);
    EXPECT_NE(store.find("\"bNormalizeUnitDB\"=hex:00"), std::string::npos);
    EXPECT_NE(store.find("\"bNormalizeAlbum\"=hex:01"), std::string::npos);

    // convert: EBU R 128 to -20 LUFS, measured by analyze; a conversion only normalises
    // when asked to, whatever is stored.
    const fs::path loud = dir / "loud.wav", plain = dir / "plain.wav";
    r = run({"convert", wavs[0].string(), loud.string(), "--normalize", "r128", "--target",
             "-20LUFS", "--modify", "--subformat", "Float 32-bit", "--format", "wav"});
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(run({"convert", wavs[0].string(), plain.string()}).code, 0);
    EXPECT_TRUE(wavData(plain) == wavData(wavs[0]));
    CliRun a = run({"analyze", loud.string(), "--json"});
    ASSERT_EQ(a.code, 0) << a.err;
    json j = json::parse(a.out);
    EXPECT_NEAR(j["files"][0]["loudness_lufs"].get<double>(), -20.0, 0.1);

    // ReplayGain as metadata with the album gain: the samples stay, "rgad" carries both.
    const fs::path meta = dir / "meta.wav";
    r = run({"convert", wavs[0].string(), meta.string(), "--normalize", "rg-iso", "--meta",
             "--album-gain", "--target", "89dB"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(wavData(meta) == wavData(wavs[0]));
    const std::string f = slurp(meta);
    const size_t at = f.find("rgad");
    ASSERT_NE(at, std::string::npos);
    uint16_t radio, audiophile;
    std::memcpy(&radio, f.data() + at + 12, 2);
    std::memcpy(&audiophile, f.data() + at + 14, 2);
    EXPECT_EQ(radio & 0x3FF, audiophile & 0x3FF); // one file: the album is the track
    EXPECT_EQ(audiophile >> 13, 2);
}

TEST_F(CliTest, InfoShowsFormatLengthAndEveryProperty) {
    // A second of 16-bit stereo at 44100 Hz with INFO items and a ReplayGain chunk.
    auto chunk = [](const char* id, std::string body) {
        std::string c(id, 4);
        const uint32_t n = static_cast<uint32_t>(body.size());
        c += std::string{char(n), char(n >> 8), char(n >> 16), char(n >> 24)} + body;
        if (n & 1) c += '\0';
        return c;
    };
    std::string fmt = {1, 0, 2, 0};
    for (uint32_t v : {44100u, 44100u * 4})
        fmt += std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    fmt += std::string{4, 0, 16, 0};
    const std::string info =
        "INFO" + chunk("INAM", std::string("Caf\xE9 au lait") + '\0') +
        chunk("IART", std::string("Artist") + '\0') + chunk("ICRD", std::string("1999") + '\0') +
        chunk("IGNR", std::string("Jazz") + '\0') + chunk("ITRK", std::string("7") + '\0');
    const std::string rgad =
        std::string("\0\0\x80\x3F", 4) + std::string("\x3F\x2E\0\0", 4); // -6.3 dB
    const std::string body = "WAVE" + chunk("fmt ", fmt) + chunk("rgad", rgad) +
                             chunk("data", std::string(44100 * 4, '\0')) + chunk("LIST", info);
    const fs::path wav = dir / "tagged.wav";
    kytest::writeText(wav, chunk("RIFF", body));

    CliRun text = run({"info", wav.string()});
    ASSERT_EQ(text.code, 0) << text.err;
    for (const char* line :
         {"  format                 Microsoft wave format\n",
          "  subformat              PCM 16-bit\n", "  channels               2\n",
          "  rate                   44100 Hz\n",
          "  length                 44100 frames (0:01.000)\n",
          "  title                  Café au lait\n", "  track number           7\n",
          "  replaygain track gain  -6.300000 dB\n"})
        EXPECT_NE(text.out.find(line), std::string::npos) << line << text.out;

    // JSON, with a file that cannot be read: it gets an error and the exit code is 1.
    const fs::path missing = dir / "missing.mp3";
    CliRun j = run({"info", "--json", wav.string(), missing.string()});
    EXPECT_EQ(j.code, 1);
    const json files = json::parse(j.out)["files"];
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0]["path"], wav.string());
    EXPECT_EQ(files[0]["format"], "Microsoft wave format");
    EXPECT_EQ(files[0]["subformat"], "PCM 16-bit");
    EXPECT_EQ(files[0]["channels"], 2);
    EXPECT_EQ(files[0]["rate"], 44100);
    EXPECT_EQ(files[0]["frames"], 44100);
    EXPECT_DOUBLE_EQ(files[0]["seconds"].get<double>(), 1.0);
    EXPECT_EQ(files[0]["properties"], json({{"title", "Café au lait"},
                                            {"artist", "Artist"},
                                            {"year", "1999"},
                                            {"genre", "Jazz"},
                                            {"track_number", "7"},
                                            {"replaygain_track_gain", "-6.300000 dB"}}));
    EXPECT_EQ(files[1], json({{"path", missing.string()}, {"error", "Couldn't open file"}}));

    CliRun both = run({"info", missing.string(), wav.string()});
    EXPECT_EQ(both.code, 1);
    EXPECT_NE(both.err.find("missing.mp3: Couldn't open file"), std::string::npos) << both.err;
    EXPECT_NE(both.out.find("Café au lait"), std::string::npos);

    EXPECT_EQ(run({"info"}).code, 2);
    CliRun help = run({"info", "--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("Usage: dskr-cli info FILE... [--json]"), std::string::npos);
}

// MP3, MP2 and AAC from the command line: the short format names, the codec libraries
// 'formats' found, a rip that reads back as long as the track was, tag options that only
// make sense for these formats.
TEST_F(CliTest, LossyFormats) {
    CliRun formats = run({"formats", "--json"});
    ASSERT_EQ(formats.code, 0) << formats.err;
    std::map<std::string, json> byName;
    const json listed = json::parse(formats.out);
    for (const json& f : listed["formats"]) byName[f["name"]] = f;
    const struct {
        const char* name;
        const char* library;
        const char* version;
    } libraries[] = {{"MPEG audio layer III", "libmp3lame.so.0", "libmp3lame "},
                     {"MPEG audio layer II", "libtwolame.so.0", "libtwolame "},
                     {"MPEG-4 AAC - Low Complexity", "libavcodec.so.59", "libavcodec "}};
    for (const auto& l : libraries) {
        ASSERT_TRUE(byName.count(l.name)) << l.name;
        const json& f = byName[l.name];
        EXPECT_EQ(f["library"], l.library);
        if (f["library_found"].get<bool>()) {
            EXPECT_EQ(f["library_version"].get<std::string>().rfind(l.version, 0), 0u);
        }
    }
    EXPECT_FALSE(byName["Microsoft wave format"].contains("library"));
    CliRun text = run({"formats"});
    EXPECT_NE(text.out.find("MPEG audio layer III"), std::string::npos);
    EXPECT_NE(text.out.find("(libmp3lame "), std::string::npos) << text.out;

    auto image = kyDiscImage::Demo();
    const size_t trackFrames = imageTrack(*image, 2).size() / 4;
    const struct {
        const char* format;
        const char* extension;
        const char* codec;
    } rips[] = {{"mp3", ".mp3", "mp3"}, {"mp2", ".mp2", "mp2"}, {"aac", ".aac", "aac"}};
    for (const auto& c : rips) {
        SCOPED_TRACE(c.format);
        const fs::path out = dir / c.format;
        CliRun r = run({"rip", "--demo", "--out", out.string(), "--json", "--tracks", "2",
                        "--format", c.format});
        ASSERT_EQ(r.code, 0) << r.err;
        const fs::path file = json::parse(r.out)["files"][0]["path"].get<std::string>();
        EXPECT_EQ(file.extension(), c.extension);
        kyReaderFilter* reader = nullptr;
        ASSERT_EQ(kyFormatCatalog::Instance().OpenReader(reader, file.c_str(), -2), KY_OK);
        kyAudioFormat f{};
        reader->GetFormat(f);
        EXPECT_EQ(f.channels, 2u);
        EXPECT_EQ(f.sampleRate, 44100u);
        if (std::string(c.format) == "mp3")
            EXPECT_EQ(f.lengthFrames, trackFrames); // the LAME header trims it exactly
        else
            EXPECT_NEAR(double(f.lengthFrames), double(trackFrames), 1152 + 1024);
        delete reader;
        // Back to WAV.
        const fs::path back = dir / (std::string(c.format) + ".wav");
        CliRun conv = run({"convert", file.string(), back.string(), "--format", "wav",
                           "--subformat", "PCM 16-bit"});
        ASSERT_EQ(conv.code, 0) << conv.err;
        EXPECT_EQ(wavData(back).size() / 4, f.lengthFrames);
    }
    // The tag options belong to the formats with tags of this kind.
    const struct {
        std::vector<std::string> args;
        const char* says;
    } usage[] = {
        {{"rip", "--demo", "--out", (dir / "x").string(), "--no-id3v1"},
         "--no-id3v1 is for MP3, MP2 and AAC files"},
        {{"rip", "--demo", "--out", (dir / "x").string(), "--format", "mp2", "--ape-tag"},
         "MP2 files carry no APE tag"},
    };
    for (const auto& u : usage) {
        CliRun r = run(u.args);
        EXPECT_EQ(r.code, 2);
        EXPECT_NE(r.err.find(u.says), std::string::npos) << r.err;
    }
}

TEST_F(CliTest, RipsAndConvertsBetweenWavAiffAndCafExactly) {
    auto image = kyDiscImage::Demo();
    const std::vector<uint8_t> track = imageTrack(*image, 2);
    // A rip to each Apple format is the disc's audio.
    struct Rip {
        const char* format;
        const char* extension;
        const char* display;
    } rips[] = {
        {"aiff", ".aiff", "Audio interchange file format"},
        {"aifc", ".aifc", "Audio interchange file format - Compressed"},
        {"caf", ".caf", "Apple CoreAudio format"},
        {"caf-le", ".caf", "Apple CoreAudio format"},
    };
    std::map<std::string, fs::path> ripped;
    for (const Rip& r : rips) {
        SCOPED_TRACE(r.format);
        const fs::path out = dir / r.format;
        CliRun run1 = this->run({"rip", "--demo", "--out", out.string(), "--tracks", "2",
                                 "--format", r.format, "--json"});
        ASSERT_EQ(run1.code, 0) << run1.err;
        const fs::path p = json::parse(run1.out)["files"][0]["path"].get<std::string>();
        EXPECT_EQ(p.extension(), r.extension);
        EXPECT_EQ(pcm16(p), track);
        kyReaderFilter* reader = nullptr;
        ASSERT_EQ(kyFormatCatalog::Instance().OpenReader(reader, p.c_str(), -2), KY_OK);
        EXPECT_STREQ(reader->GetPropertyA(1), r.display);
        EXPECT_STREQ(reader->GetPropertyA(2), "PCM 16-bit");
        reader->DestroyChain();
        ripped[r.format] = p;
    }

    // Conversions in every direction between WAV, AIFF and CAF keep every sample, at 16
    // and at 24 bits.
    const fs::path wav = dir / "start.wav";
    ASSERT_EQ(this->run({"convert", ripped["aiff"].string(), wav.string()}).code, 0);
    EXPECT_EQ(wavData(wav), track);
    struct Step {
        const char* from;
        const char* to;
        std::vector<std::string> options;
    } steps[] = {
        {"start.wav", "a.aiff", {}},
        {"a.aiff", "b.caf", {}},
        {"b.caf", "c.wav", {}},
        {"c.wav", "d.caf", {"--format", "caf-le"}},
        {"d.caf", "e.aiff", {}},
        {"e.aiff", "f.wav", {}},
        {"f.wav", "g.aifc", {"--subformat", "PCM 24-bit"}},
        {"g.aifc", "h.caf", {}},
        {"h.caf", "i.aif", {"--subformat", "PCM 16-bit"}},
    };
    for (const Step& st : steps) {
        SCOPED_TRACE(std::string(st.from) + " to " + st.to);
        std::vector<std::string> args = {"convert", (dir / st.from).string(),
                                         (dir / st.to).string()};
        args.insert(args.end(), st.options.begin(), st.options.end());
        CliRun r = this->run(args);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(pcm16(dir / st.to), track);
    }
    // The automatic choice keeps the 24-bit samples 24-bit.
    kyReaderFilter* reader = nullptr;
    ASSERT_EQ(kyFormatCatalog::Instance().OpenReader(reader, (dir / "h.caf").c_str(), -2), KY_OK);
    EXPECT_STREQ(reader->GetPropertyA(2), "PCM 24-bit");
    reader->DestroyChain();
    EXPECT_EQ(wavData(dir / "f.wav"), track);
}

// ReplayGain measured while ripping to MP3 goes into the ID3v2 tag as the TXXX frames
// players read: mutagen finds the track gains, the album gain and the peaks metaflac
// measures on the same samples, eyeD3 lists them.
TEST_F(CliTest, ReplayGainTagsOfAnMp3Rip) {
    const std::string python = kytest::mutagenPython();
    for (const char* tool : {"flac", "metaflac", "sox", "eyeD3"})
        if (!kytest::haveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    if (python.empty()) GTEST_SKIP() << "python3-mutagen is not installed";
    const auto filesOf = [](const fs::path& root, const char* extension) {
        std::vector<fs::path> files;
        for (auto& e : fs::recursive_directory_iterator(root))
            if (e.path().extension() == extension) files.push_back(e.path());
        std::sort(files.begin(), files.end());
        return files;
    };
    ASSERT_EQ(run({"rip", "--demo", "--out", (dir / "wav").string(), "--tracks", "1-2"}).code, 0);
    CliRun r = run({"rip", "--demo", "--out", (dir / "mp3").string(), "--tracks", "1-2", "--format",
                    "mp3", "--normalize", "rg", "--meta", "--album-gain"});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::vector<fs::path> wavs = filesOf(dir / "wav", ".wav");
    const std::vector<fs::path> mp3s = filesOf(dir / "mp3", ".mp3");
    ASSERT_EQ(wavs.size(), 2u);
    ASSERT_EQ(mp3s.size(), 2u);

    // metaflac over the disc's samples, both files at once for the album gain. It leaves a
    // file's last complete 50 ms window out, so each copy gets one window of silence.
    std::string flacs;
    for (size_t i = 0; i < wavs.size(); ++i) {
        const std::string padded = (dir / "padded.wav").string();
        const std::string flac = (dir / (std::to_string(i) + ".flac")).string();
        ASSERT_TRUE(kytest::run("sox " + kytest::shellQuote(wavs[i].string()) + " " +
                                kytest::shellQuote(padded) + " pad 0 2205s"));
        ASSERT_TRUE(kytest::run("flac -s -f -o " + kytest::shellQuote(flac) + " " +
                                kytest::shellQuote(padded)));
        flacs += " " + kytest::shellQuote(flac);
    }
    ASSERT_TRUE(kytest::run("metaflac --add-replay-gain" + flacs));
    const std::string script = "import sys\n"
                               "from mutagen.id3 import ID3\n"
                               "t = ID3(sys.argv[1])\n"
                               "for k in ('track_gain', 'album_gain', 'track_peak'):\n"
                               "    print(t['TXXX:replaygain_' + k].text[0].split()[0])\n";
    ASSERT_TRUE(kytest::writeFile((dir / "rg.py").string(),
                                  std::vector<uint8_t>(script.begin(), script.end())));
    for (size_t i = 0; i < mp3s.size(); ++i) {
        SCOPED_TRACE(mp3s[i].string());
        const std::string flac = (dir / (std::to_string(i) + ".flac")).string();
        const auto metaflac = [&](const char* tag) {
            const std::string line = kytest::capture("metaflac --show-tag=" + std::string(tag) +
                                                     " " + kytest::shellQuote(flac));
            return std::atof(line.substr(line.find('=') + 1).c_str());
        };
        std::istringstream tags(kytest::capture(python + " " +
                                                kytest::shellQuote((dir / "rg.py").string()) + " " +
                                                kytest::shellQuote(mp3s[i].string())));
        double trackGain = 0, albumGain = 0, peak = 0;
        ASSERT_TRUE(tags >> trackGain >> albumGain >> peak);
        // Two decimals in the tag; the analyses agree to a few hundredths.
        EXPECT_NEAR(trackGain, metaflac("REPLAYGAIN_TRACK_GAIN"), 0.05);
        EXPECT_NEAR(albumGain, metaflac("REPLAYGAIN_ALBUM_GAIN"), 0.05);
        EXPECT_NEAR(peak, metaflac("REPLAYGAIN_TRACK_PEAK"), 1e-5);
        const std::string listed =
            kytest::capture("eyeD3 --no-color " + kytest::shellQuote(mp3s[i].string()));
        EXPECT_NE(listed.find("[Description: replaygain_track_gain]"), std::string::npos) << listed;
        EXPECT_NE(listed.find("[Description: replaygain_album_gain]"), std::string::npos);
    }
}

// Without its codec library a format says so, in 'formats' and when it is asked to write,
// and leaves no file behind; the rest of the program runs as before. The libraries are
// hidden behind empty stand-ins of the same names.
TEST_F(CliTest, MissingCodecLibraries) {
    if (std::system("command -v cc >/dev/null 2>&1") != 0) GTEST_SKIP() << "no C compiler";
    const fs::path stubs = dir / "stubs";
    fs::create_directories(stubs);
    for (const char* lib : {"libmp3lame.so.0", "libtwolame.so.0", "libavcodec.so.59"})
        ASSERT_EQ(
            std::system(("cc -shared -o '" + (stubs / lib).string() + "' -x c /dev/null").c_str()),
            0);
    setenv("LD_LIBRARY_PATH", stubs.c_str(), 1);
    CliRun formats = run({"formats"});
    const fs::path out = dir / "rips";
    CliRun mp3 = run({"rip", "--demo", "--out", out.string(), "--tracks", "1", "--format", "mp3"});
    CliRun wav = run({"rip", "--demo", "--out", out.string(), "--tracks", "1"});
    unsetenv("LD_LIBRARY_PATH");
    EXPECT_EQ(formats.code, 0);
    for (const char* lib : {"libmp3lame.so.0", "libtwolame.so.0", "libavcodec.so.59"})
        EXPECT_NE(formats.out.find(std::string("(") + lib + " not found)"), std::string::npos)
            << formats.out;
    EXPECT_NE(mp3.code, 0);
    EXPECT_NE(mp3.err.find("requires that you install a free external third-party 'add-on'"),
              std::string::npos)
        << mp3.err;
    size_t files = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(out, ec); !ec && it != fs::end(it);
         it.increment(ec))
        if (it->is_regular_file() && it->path().extension() != ".wav" &&
            it->path().extension() != ".log")
            ++files;
    EXPECT_EQ(files, 0u);
    EXPECT_EQ(wav.code, 0) << wav.err;
}

// Files lame, twolame and ffmpeg made of a ripped track convert back to WAV at the length
// our readers find, exactly the track's where a LAME header names the encoder's delay and
// padding; the titles of their tags go along.
TEST_F(CliTest, ConvertsFilesOfOtherEncoders) {
    const fs::path rip = dir / "rip";
    ASSERT_EQ(run({"rip", "--demo", "--out", rip.string(), "--tracks", "2"}).code, 0);
    fs::path wav;
    for (auto& e : fs::recursive_directory_iterator(rip))
        if (e.path().extension() == ".wav") wav = e.path();
    ASSERT_FALSE(wav.empty());
    const size_t trackFrames = wavData(wav).size() / 4;
    const struct {
        const char* tool;
        const char* name;
        std::string command; // %i the input, %o the output
        bool exact;
    } cases[] = {
        {"lame", "lame.mp3", "lame --quiet -V 4 --tt Peer --add-id3v2 %i %o", true},
        {"twolame", "twolame.mp2", "twolame --quiet -b 192 %i %o", false},
        {"ffmpeg", "ffmpeg.aac",
         "ffmpeg -v error -i %i -c:a aac -b:a 128k -metadata title=Peer -write_apetag 1 %o", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (std::system((std::string("command -v ") + c.tool + " >/dev/null 2>&1").c_str())) {
            std::printf("%s skipped: no %s\n", c.name, c.tool);
            continue;
        }
        const fs::path made = dir / c.name;
        std::string command = c.command;
        command.replace(command.find("%i"), 2, "'" + wav.string() + "'");
        command.replace(command.find("%o"), 2, "'" + made.string() + "'");
        ASSERT_EQ(std::system(command.c_str()), 0) << command;

        CliRun info = run({"info", "--json", made.string()});
        ASSERT_EQ(info.code, 0) << info.err;
        const json file = json::parse(info.out)["files"][0];
        const size_t frames = file["frames"].get<size_t>();
        if (c.exact)
            EXPECT_EQ(frames, trackFrames);
        else
            EXPECT_NEAR(double(frames), double(trackFrames), 2 * 1152 + 1024);

        const fs::path back = dir / (std::string(c.name) + ".wav");
        CliRun conv = run({"convert", made.string(), back.string(), "--format", "wav",
                           "--subformat", "PCM 16-bit"});
        ASSERT_EQ(conv.code, 0) << conv.err;
        EXPECT_EQ(wavData(back).size() / 4, frames);
        if (std::string(c.name) != "twolame.mp2") {
            CliRun tags = run({"info", "--json", back.string()});
            EXPECT_EQ(json::parse(tags.out)["files"][0]["properties"].value("title", ""), "Peer")
                << tags.out;
        }
    }
}
