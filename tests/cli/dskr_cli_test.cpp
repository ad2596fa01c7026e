// dskr-cli run as a user runs it: each command's text and JSON, rips of the demo disc and
// of a CUE/BIN image, read offsets, suspect files, replacing rips that are stopped or
// fail, convert, analyze, info, usage errors and Ctrl-C.
#include "cd/virtual_drive.h"
#include "cli/cli_fixture.h"
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
#include "support/scoped_env.h"
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <pty.h>
#include <regex>
#include <sstream>
#include <string>
#include <vector>
#include <zlib.h>

namespace fs = std::filesystem;
using kytest::CliRun;
using kytest::CliRunSetup;
using kytest::slurp;
using nlohmann::json;

namespace {
class CliTest : public kytest::CliTest {
protected:
    using kytest::CliTest::run;
    // Runs dskr-cli and sends `signal` once the batch writes a temporary file under
    // `watch`.
    CliRun run(const std::vector<std::string>& args, int signal, const fs::path& watch) {
        CliRunSetup setup;
        setup.signal = signal;
        setup.watch = watch;
        return run(args, setup);
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

    struct TerminalRun {
        int code = -1;
        std::string screen; // all the program wrote to the terminal
    };
    // Runs dskr-cli on a pseudo-terminal, as a user at a terminal runs it. Each answer is
    // typed once the screen shows its cue (after the previous answer's).
    static TerminalRun
    runOnTerminal(const std::vector<std::string>& args,
                  const std::vector<std::pair<std::string, std::string>>& answers = {}) {
        std::vector<std::string> all = {kytest::kCli};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        TerminalRun r;
        int master = -1;
        const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid < 0) return r;
        if (pid == 0) {
            execv(argv[0], argv.data());
            _exit(kytest::kSetupFailed);
        }
        size_t next = 0, from = 0;
        char buf[4096];
        for (;;) {
            const ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) {
                r.screen.append(buf, static_cast<size_t>(n));
                if (next < answers.size()) {
                    const size_t cue = r.screen.find(answers[next].first, from);
                    if (cue != std::string::npos) {
                        const std::string line = answers[next].second + "\n";
                        EXPECT_EQ(write(master, line.data(), line.size()),
                                  static_cast<ssize_t>(line.size()));
                        from = cue + answers[next].first.size();
                        ++next;
                    }
                }
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            break; // EIO once the program has ended
        }
        int status = 0;
        waitpid(pid, &status, 0);
        close(master);
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return r;
    }
    static std::vector<uint8_t> imageTrack(const kyDiscImage& image, uint32_t track) {
        kyDiscToc toc = image.Toc();
        const kyTocEntry& e = toc.entries[track];
        std::vector<uint8_t> pcm(size_t(e.length) * 2352);
        EXPECT_TRUE(image.ReadSectors(e.start, e.length, pcm.data()));
        return pcm;
    }
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
    EXPECT_EQ(t["artist"], image->Record()->artist);
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
        {{"rip", "--demo", "--format", "nonsense"}, "--format takes a format DskR writes"},
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
    EXPECT_NE(help.out.find("  rip "), std::string::npos);
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

// A drive whose Q sub-channel is two sectors early: rips whose starts the audio confirms
// learn that, --save keeps it for the drive, and the next rip's Q then places a start on a
// drive that lands off nearly every time; without it that start is suspect.
TEST_F(CliTest, TheQBiasLearnedForADriveIsKeptWithSave) {
    const fs::path out = dir / "bias";
    const std::string drift = ",qshift=1:-2..-2";
    CliRun learn = run({"rip", "--demo", "--faults", "seed=2,seek=0.3:-9..9" + drift, "--mode",
                        "jitter", "--tracks", "1,3", "--out", out.string(), "--save"});
    ASSERT_EQ(learn.code, 0) << learn.err;
    CliRun shown = run({"settings", "show", "iSubQBias", "--json"});
    ASSERT_EQ(shown.code, 0) << shown.err;
    EXPECT_EQ(json::parse(shown.out)["settings"][0]["value"], "Velmora Virtual CD-ROM: -2");

    // clang-format off
    const std::vector<std::string> landsOff = {
        "rip", "--demo", "--faults", "seed=3,seek=0.95:-9..9" + drift, "--mode", "jitter",
        "--tracks", "3", "--out", out.string(), "--overwrite", "replace", "--json"};
    // clang-format on
    CliRun placed = run(landsOff);
    ASSERT_EQ(placed.code, 0) << placed.err;
    const json f = json::parse(placed.out)["files"][0];
    EXPECT_EQ(f["result"], "ok");
    EXPECT_TRUE(wavData(f["path"].get<std::string>()) == imageTrack(*kyDiscImage::Demo(), 3));

    ASSERT_EQ(run({"settings", "reset", "iSubQBias"}).code, 0);
    CliRun unknown = run(landsOff);
    EXPECT_EQ(unknown.code, 1) << unknown.err;
    EXPECT_EQ(json::parse(unknown.out)["files"][0]["result"], "suspect");
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
        EXPECT_NE(r.err.find(std::string("takes a subformat of ") + name), std::string::npos)
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
    };
    for (const auto& c : bad) {
        CliRun r = run(c.args);
        EXPECT_EQ(r.code, 2) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    CliRun help = run({"rip", "--help"});
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
    EXPECT_EQ(files[1], json({{"path", missing.string()},
                              {"error", "Couldn't open file: No such file or directory"}}));

    CliRun both = run({"info", missing.string(), wav.string()});
    EXPECT_EQ(both.code, 1);
    EXPECT_NE(both.err.find("missing.mp3: Couldn't open file"), std::string::npos) << both.err;
    EXPECT_NE(both.out.find("Café au lait"), std::string::npos);

    EXPECT_EQ(run({"info"}).code, 2);
}

namespace {
// Tags ffprobe reads from a file's metadata (the INFO chunk of a WAV file), by lower-case
// name; empty when ffprobe is missing or fails.
std::map<std::string, std::string> ffprobeTags(const fs::path& file) {
    const fs::path out = file.string() + ".tags.json";
    const std::string command = "ffprobe -v error -show_entries format_tags -of json " +
                                kytest::shellQuote(file.string()) + " > " +
                                kytest::shellQuote(out.string()) + " 2>/dev/null";
    std::map<std::string, std::string> tags;
    if (std::system(command.c_str()) != 0) return tags;
    json j = json::parse(slurp(out), nullptr, false);
    fs::remove(out);
    if (j.is_discarded() || !j.contains("format") || !j["format"].contains("tags")) return tags;
    for (auto& [key, value] : j["format"]["tags"].items()) {
        std::string k = key;
        std::transform(k.begin(), k.end(), k.begin(), ::tolower);
        tags[k] = value.get<std::string>();
    }
    return tags;
}
} // namespace

TEST_F(CliTest, EachOppositeOverridesTheStoredValueForOneRun) {
    std::vector<std::vector<uint8_t>> tracks;
    const std::string disc = smallDisc(tracks).string();
    const std::vector<uint8_t>&track1 = tracks[0], &track2 = tracks[1], &track3 = tracks[2];
    const size_t threeSeconds = 3 * 44100 * 4;
    struct Case {
        const char* option; // the opposite given on the command line
        std::vector<std::pair<const char*, const char*>> stored; // settings set before
        const char* storedFlag;                                  // stays on in the store afterwards
        std::vector<std::string> tracks;
        std::function<void(const json&)> check;
    };
    const Case cases[] = {
        {"--no-merge",
         {{"merge", "on"}},
         "bMergeConsecutive",
         {"-t", "1-2"},
         [](const json& j) { EXPECT_EQ(j["files"].size(), 2u); }},
        {"--no-playlist",
         {{"playlist", "on"}},
         "bCreatePlaylist",
         {"-t", "1"},
         [](const json& j) { EXPECT_TRUE(j["playlist"].is_null()); }},
        {"--no-eject",
         {},
         "bEjectWhenDone",
         {"-t", "1"},
         [](const json& j) { EXPECT_FALSE(j["ejected"].get<bool>()); }},
        {"--no-remove-silence",
         {{"bRemoveSilence", "on"}},
         "bRemoveSilence",
         {"-t", "2"},
         [&](const json& j) {
             EXPECT_EQ(wavData(j["files"][0]["path"].get<std::string>()), track2);
         }},
        {"--no-cutoff",
         {{"iCutOffLength", "3"}, {"bCutOff", "on"}},
         "bCutOff",
         {"-t", "1"},
         [&](const json& j) {
             EXPECT_EQ(wavData(j["files"][0]["path"].get<std::string>()), track1);
         }},
        {"--no-fade",
         {{"iCutOffLength", "3"}, {"bCutOff", "on"}, {"fade", "on"}},
         "bCutOffFade",
         {"-t", "1"},
         [&](const json& j) {
             // Cut without a fade: the first three seconds exactly as on the disc.
             EXPECT_EQ(wavData(j["files"][0]["path"].get<std::string>()),
                       std::vector<uint8_t>(track1.begin(), track1.begin() + threeSeconds));
         }},
        {"--no-normalize",
         {{"bNormalize", "on"},
          {"eNormalizeType", "peak"},
          {"bNormalizeMeta", "off"},
          {"fNormalizeTarget", "-6"}},
         "bNormalize",
         {"-t", "3"},
         [&](const json& j) {
             EXPECT_EQ(wavData(j["files"][0]["path"].get<std::string>()), track3);
         }},
        {"--no-resample",
         {{"bResample", "on"}, {"dwNewSampleRate", "48000"}},
         "bResample",
         {"-t", "3"},
         [&](const json& j) {
             EXPECT_EQ(wavData(j["files"][0]["path"].get<std::string>()), track3);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        fs::remove(storePath());
        for (const auto& [name, value] : c.stored)
            ASSERT_EQ(run({"settings", "set", name, value}).code, 0) << name;
        const fs::path out = dir / (std::string("opp") + c.option);
        std::vector<std::string> args = {"rip",        "--image", disc,    "-o",
                                         out.string(), "--json",  c.option};
        args.insert(args.end(), c.tracks.begin(), c.tracks.end());
        CliRun r = run(args);
        ASSERT_EQ(r.code, 0) << r.err;
        c.check(json::parse(r.out));
        // For that run only: the store still holds the choice.
        CliRun s = run({"settings", "show", c.storedFlag, "--json"});
        ASSERT_EQ(s.code, 0) << s.err;
        EXPECT_TRUE(json::parse(s.out)["settings"][0]["value"].get<bool>());
    }

    // And the other way: a switch turns on what the store has off, for that run only.
    const fs::path merged = dir / "merged";
    CliRun r =
        run({"rip", "--image", disc, "-o", merged.string(), "--json", "-t", "1-2", "--merge"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(json::parse(r.out)["files"].size(), 1u);
    // Of an option and its opposite, the last one counts.
    r = run({"rip", "--image", disc, "-o", (dir / "last").string(), "--json", "-t", "1-2",
             "--merge", "--no-merge", "--overwrite", "replace"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(json::parse(r.out)["files"].size(), 2u);
}

TEST_F(CliTest, SettingsSetShowAndResetRoundTrip) {
    struct Case {
        const char* name;  // as typed: a value name or an option name
        const char* value; // as typed
        const char* setting;
        json stored;           // as `settings --json` shows it afterwards
        const char* storeLine; // how the store file keeps it
    };
    const Case cases[] = {
        {"iOutChannels", "mono", "iOutChannels", 1, "\"iOutChannels\"=dword:00000001"},
        {"mode", "scratch", "eMode", 2, "\"eMode\"=dword:00000002"},
        {"merge", "yes", "bMergeConsecutive", true, "\"bMergeConsecutive\"=hex:01"},
        {"speed", "max", "iSpeed", 255, "\"iSpeed\"=dword:000000ff"},
        {"szFileFormat", "bwf", "szFileFormat", "Broadcast wave format (EBU BWF)",
         "\"szFileFormat\"=\"Broadcast wave format (EBU BWF)\""},
        {"subformat", "pcm 24-BIT", "szDataFormat", "PCM 24-bit",
         "\"szDataFormat\"=\"PCM 24-bit\""},
        {"pattern", "3,1,2,3,0,0,0,0,0,0", "aiName", json::array({3, 1, 2, 3, 0, 0, 0, 0, 0, 0}),
         "\"aiName\"=hex:03,00,00,00,01"},
        {"fNormalizeTarget", "-23.5", "fNormalizeTarget", -23.5,
         "\"fNormalizeTarget\"=dword:c1bc0000"},
        {"resampler", "cubic", "eResamplingAlg", 2, "\"eResamplingAlg\"=dword:00000002"},
        {"szDBProxy", "proxy.example:8080", "szDBProxy", "proxy.example:8080",
         "\"szDBProxy\"=\"proxy.example:8080\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CliRun r = run({"settings", "set", c.name, c.value, "--json"});
        ASSERT_EQ(r.code, 0) << r.err;
        json j = json::parse(r.out);
        EXPECT_EQ(j["settings"][0]["name"], c.setting);
        EXPECT_EQ(j["settings"][0]["value"], c.stored);
        EXPECT_NE(slurp(storePath()).find(c.storeLine), std::string::npos) << slurp(storePath());
    }
    // Everything shows, with value, default and meaning.
    CliRun all = run({"settings", "--json"});
    ASSERT_EQ(all.code, 0) << all.err;
    json shown = json::parse(all.out);
    EXPECT_EQ(shown["path"], storePath().string());
    std::map<std::string, json> byName;
    for (const json& s : shown["settings"]) {
        EXPECT_FALSE(s["meaning"].get<std::string>().empty());
        EXPECT_TRUE(s.contains("default"));
        byName[s["name"]] = s;
    }
    for (const Case& c : cases) EXPECT_EQ(byName[c.setting]["value"], c.stored) << c.setting;
    EXPECT_EQ(byName["iOutChannels"]["default"], 2);
    EXPECT_EQ(byName["szOutDir"]["default"], (dir / "Music/").string());
    CliRun text = run({"settings"});
    EXPECT_NE(text.out.find("eMode                2 (Scratch correcting mode)"), std::string::npos)
        << text.out;

    // Values a setting does not take change nothing.
    const std::string before = slurp(storePath());
    struct Bad {
        std::vector<std::string> args;
        const char* says;
    };
    const Bad bad[] = {
        {{"set", "iOutChannels", "3"}, "mono (1) or stereo (2)"},
        {{"set", "eMode", "fast"}, "burst (0), jitter (1), scratch (2) or verify (3)"},
        {{"set", "pattern", "0,1,5,2,5,5,2,3,0"}, "ten numbers"},
        {{"set", "pattern", "0,1,8,2,5,5,2,3,0,0"}, "ten numbers"},
        {{"set", "szFileFormat", "nonsense"}, "a format DskR writes"},
        {{"set", "szDataFormat", "MP3 CBR 128 kbit/s"}, "a subformat of"},
        {{"set", "bExitWhenDone", "on"}, "cannot be set"},
        {{"set", "LastDirs", "/x"}, "cannot be set"},
        {{"set", "chanels", "1"}, "did you mean 'channels'"},
        {{"set", "iSpeed"}, "NAME and a VALUE"},
        {{"frobnicate"}, "show, set NAME VALUE or reset"},
    };
    for (const Bad& b : bad) {
        std::vector<std::string> args = {"settings"};
        args.insert(args.end(), b.args.begin(), b.args.end());
        CliRun r = run(args);
        EXPECT_EQ(r.code, 2) << b.says;
        EXPECT_NE(r.err.find(b.says), std::string::npos) << r.err;
    }
    EXPECT_EQ(slurp(storePath()), before);

    // Reset one, then all.
    CliRun one = run({"settings", "reset", "eMode", "--json"});
    ASSERT_EQ(one.code, 0) << one.err;
    EXPECT_EQ(json::parse(one.out)["settings"][0]["value"], 0);
    EXPECT_NE(slurp(storePath()).find("\"eMode\"=dword:00000000"), std::string::npos);
    EXPECT_NE(slurp(storePath()).find("\"iOutChannels\"=dword:00000001"), std::string::npos);
    ASSERT_EQ(run({"settings", "reset"}).code, 0);
    json reset = json::parse(run({"settings", "--json"}).out);
    for (const json& s : reset["settings"]) EXPECT_EQ(s["value"], s["default"]) << s["name"];
}

TEST_F(CliTest, DamagedStoredValuesAreReportedOnceAndDefaulted) {
    fs::create_directories(storePath().parent_path());
    kytest::writeText(storePath(), "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Velmora\\DskR 5]\n"
                                   "\"VersionNumber\"=\"5.0\"\n"
                                   "\"szFileFormat\"=\"Nonsense format\"\n"
                                   "\"iOutChannels\"=dword:00000007\n"
                                   "\"eMode\"=dword:00000009\n"
                                   "\"aiName\"=hex:00,00,00,00,0c,00,00,00\n"
                                   "\"iSpeed\"=dword:00000000\n"
                                   "\"eResamplingAlg\"=dword:000003e7\n"
                                   "\"bMergeConsecutive\"=hex:01\n");
    const fs::path out = dir / "out";
    CliRun r = run({"rip", "--demo", "-t", "1-2", "-o", out.string(), "--json", "--no-merge"});
    ASSERT_EQ(r.code, 0) << r.err;
    for (const char* name : {"szFileFormat", "iOutChannels", "eMode", "aiName", "iSpeed"}) {
        const size_t first = r.err.find(std::string("The stored setting ") + name + " ");
        ASSERT_NE(first, std::string::npos) << name << "\n" << r.err;
        EXPECT_EQ(r.err.find(std::string("The stored setting ") + name + " ", first + 1),
                  std::string::npos)
            << name << " reported twice";
    }
    // Valid values are not reported: the resampler's 999 and the merge flag.
    EXPECT_EQ(r.err.find("eResamplingAlg"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(\"7\")"), std::string::npos) << r.err;
    // The defaults were used: a stereo WAV file named by the default pattern, bit for bit.
    json j = json::parse(r.out);
    ASSERT_EQ(j["files"].size(), 2u);
    const fs::path first = j["files"][0]["path"].get<std::string>();
    EXPECT_EQ(first.extension(), ".wav");
    EXPECT_EQ(first.parent_path().parent_path().parent_path(), out);
    auto image = kyDiscImage::Demo();
    EXPECT_EQ(wavData(first), imageTrack(*image, 1));

    CliRun s = run({"settings", "show", "iOutChannels", "--json"});
    EXPECT_EQ(json::parse(s.out)["settings"][0]["value"], 2);
    EXPECT_NE(s.err.find("iOutChannels"), std::string::npos);
}

TEST_F(CliTest, NamesFromEachSourceReachFileNamesAndTags) {
    const bool haveProbe = kytest::haveTool("ffprobe");
    auto checkTags = [&](const fs::path& file, std::map<std::string, std::string> want) {
        if (!haveProbe) return;
        auto tags = ffprobeTags(file);
        for (const auto& [key, value] : want) EXPECT_EQ(tags[key], value) << key << " of " << file;
    };

    // 1. Options one by one.
    const fs::path a = dir / "a";
    CliRun r = run({"rip", "--demo", "-t", "1-2", "-o", a.string(), "--json", "--artist",
                    "Ann Artist", "--album", "First Album", "--year", "1999", "--genre", "Jazz",
                    "--title", "1=Opening", "--title", "2=Second Song"});
    ASSERT_EQ(r.code, 0) << r.err;
    json j = json::parse(r.out);
    EXPECT_EQ(j["files"][0]["path"], (a / "Ann Artist/First Album/01 - Opening.wav").string());
    EXPECT_EQ(j["files"][1]["path"], (a / "Ann Artist/First Album/02 - Second Song.wav").string());
    checkTags(a / "Ann Artist/First Album/02 - Second Song.wav", {{"title", "Second Song"},
                                                                  {"artist", "Ann Artist"},
                                                                  {"album", "First Album"},
                                                                  {"date", "1999"},
                                                                  {"genre", "Jazz"}});

    // 2. A file in the shape `toc --json` prints, edited; an option wins over it.
    CliRun toc = run({"toc", "--demo", "--json"});
    ASSERT_EQ(toc.code, 0) << toc.err;
    json names = json::parse(toc.out);
    EXPECT_FALSE(names["artist"].get<std::string>().empty()); // the demo disc's own names
    names["artist"] = "Beth";
    names["album"] = "Second";
    names["year"] = 2005;
    names["genre"] = "Folk";
    names["tracks"][2]["name"] = "Third Way";
    kytest::writeText(dir / "names.json", names.dump());
    const fs::path b = dir / "b";
    r = run({"rip", "--demo", "-t", "3", "-o", b.string(), "--json", "--names",
             (dir / "names.json").string(), "--genre", "Blues"});
    ASSERT_EQ(r.code, 0) << r.err;
    const fs::path third = b / "Beth/Second/03 - Third Way.wav";
    EXPECT_EQ(json::parse(r.out)["files"][0]["path"], third.string());
    checkTags(third,
              {{"title", "Third Way"}, {"artist", "Beth"}, {"date", "2005"}, {"genre", "Blues"}});
    // The table of contents shows the names given.
    CliRun shown = run({"toc", "--demo", "--names", (dir / "names.json").string()});
    EXPECT_NE(shown.out.find("artist   Beth"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("Third Way"), std::string::npos);

    // 3. A look-up's answer, with "title" for the track names and the year as text.
    kytest::writeText(dir / "lookup.json",
                      R"({"disc_id": "x", "record": {"artist": "Cleo", "album": "Third",)"
                      R"( "year": "2010", "genre": "Rock", "tracks": [{"number": 1,)"
                      R"( "title": "Lookup One", "artist": "Cleo"}]}})");
    const fs::path c = dir / "c";
    r = run({"rip", "--demo", "-t", "1", "-o", c.string(), "--json", "--names",
             (dir / "lookup.json").string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(json::parse(r.out)["files"][0]["path"],
              (c / "Cleo/Third/01 - Lookup One.wav").string());

    // 4. An xmcd record, as gnudb keeps it: each key it has replaces its field.
    kytest::writeText(dir / "disc.xmcd", "# xmcd\n#\nDISCID=12345678\nDTITLE=Dora / Fourth\n"
                                         "DYEAR=2011\nTTITLE1=Xmcd Two\n");
    const fs::path d = dir / "d";
    r = run({"rip", "--demo", "-t", "2", "-o", d.string(), "--json", "--names",
             (dir / "disc.xmcd").string()});
    ASSERT_EQ(r.code, 0) << r.err;
    const fs::path second = d / "Dora/Fourth/02 - Xmcd Two.wav";
    EXPECT_EQ(json::parse(r.out)["files"][0]["path"], second.string());
    checkTags(second, {{"title", "Xmcd Two"}, {"artist", "Dora"}, {"date", "2011"}});

    // 5. What cannot be used is refused before anything is read.
    kytest::writeText(dir / "broken.json", "{\"artist\": ");
    kytest::writeText(dir / "badtrack.json", R"({"tracks": [{"number": 0, "name": "x"}]})");
    struct Bad {
        std::vector<std::string> args;
        int code;
        const char* says;
    };
    const Bad bad[] = {
        {{"--names", (dir / "broken.json").string()}, 1, "not valid JSON"},
        {{"--names", (dir / "badtrack.json").string()}, 1, "\"number\" from 1 to 99"},
        {{"--names", (dir / "missing.json").string()}, 1, "No such file or directory"},
        {{"--names", dir.string()}, 1, "Is a directory"},
        {{"--title", "Intro"}, 2, "--title takes N=TEXT"},
        {{"--title", "42=Nowhere"}, 2, "no track 42"},
        {{"--year", "20x"}, 2, "--year takes a year"},
    };
    for (const Bad& x : bad) {
        std::vector<std::string> args = {"rip", "--demo", "-o", (dir / "never").string()};
        args.insert(args.end(), x.args.begin(), x.args.end());
        CliRun e = run(args);
        EXPECT_EQ(e.code, x.code) << x.says;
        EXPECT_NE(e.err.find(x.says), std::string::npos) << e.err;
    }
    EXPECT_FALSE(fs::exists(dir / "never"));
}

TEST_F(CliTest, MessagesCarryTheSystemsReason) {
    const std::vector<std::string> trackNameOnly = {"--pattern", "0,3,0,0,0,0,0,0,0,0"};
    // A folder nobody may write to. Root may write anywhere, so as root the program runs as
    // an unprivileged user.
    const fs::path ro = dir / "readonly";
    fs::create_directories(ro);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(ro, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                            fs::perms::group_exec | fs::perms::others_read |
                            fs::perms::others_exec);
    CliRunSetup nobody;
    nobody.asNobody = true;
    std::vector<std::string> args = {"rip", "--demo", "-t", "1", "-o", ro.string(), "--json"};
    args.insert(args.end(), trackNameOnly.begin(), trackNameOnly.end());
    CliRun r = run(args, nobody);
    if (r.code == kytest::kSetupFailed) GTEST_SKIP() << "cannot run dskr-cli unprivileged here";
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("Writing - DskR: Couldn't create file: Permission denied"),
              std::string::npos)
        << r.err;
    json j = json::parse(r.out);
    EXPECT_EQ(j["files"][0]["error"], "Couldn't create file: Permission denied");

    // convert into the same folder.
    std::string error;
    const std::string cue = kyWriteTestImage(dir.string(), 1, error);
    ASSERT_FALSE(cue.empty()) << error;
    const fs::path wav = dir / "in.wav";
    ASSERT_EQ(run({"rip", "--image", cue, "-t", "1", "-o", dir.string(), "--pattern",
                   "0,3,0,0,0,0,0,0,0,0", "--title", "1=in"})
                  .code,
              0);
    ASSERT_TRUE(fs::exists(wav));
    r = run({"convert", wav.string(), (ro / "out.wav").string()}, nobody);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Couldn't create file: Permission denied"), std::string::npos) << r.err;
    r = run({"analyze", (dir / "missing.wav").string()});
    EXPECT_NE(r.err.find("Couldn't open file: No such file or directory"), std::string::npos)
        << r.err;

    // A full disk: a small file system mounted where the files go.
    const fs::path small = dir / "small";
    fs::create_directories(small);
    CliRunSetup full;
    full.smallDisk = small;
    args = {"rip", "--demo", "-t", "1", "-o", small.string(), "--json"};
    args.insert(args.end(), trackNameOnly.begin(), trackNameOnly.end());
    r = run(args, full);
    if (r.code == kytest::kSetupFailed) GTEST_SKIP() << "cannot mount a small file system here";
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("Converting - DskR: Couldn't write to file: No space left on device"),
              std::string::npos)
        << r.err;
    j = json::parse(r.out);
    EXPECT_EQ(j["files"][0]["result"], "failed");
    EXPECT_EQ(j["files"][0]["error"], "Couldn't write to file: No space left on device");
    r = run({"convert", wav.string(), (small / "out.wav").string()}, full);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Couldn't write to file: No space left on device"), std::string::npos)
        << r.err;
    // The temporary folder full while a track is held for its volume adjustment.
    {
        kytest::ScopedEnv keep{"TMPDIR"};
        setenv("TMPDIR", small.c_str(), 1);
        r = run({"rip", "--demo", "-t", "1", "-o", (dir / "normalized").string(), "--normalize",
                 "rg", "--modify", "--json"},
                full);
    }
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("Couldn't write to file: No space left on device"), std::string::npos)
        << r.err;
    EXPECT_TRUE(wavFiles(dir / "normalized").empty());
}

TEST_F(CliTest, FailuresWithJsonPrintOneErrorObject) {
    kytest::writeText(dir / "bad.json", "[1, 2");
    struct Case {
        std::vector<std::string> args;
        int code;
    };
    const Case cases[] = {
        {{"rip", "--demo", "--bogus", "--json"}, 2},
        {{"rip", "--demo", "--channels", "5", "--json"}, 2},
        {{"rip", "--demo", "--names", (dir / "bad.json").string(), "--json"}, 1},
        {{"toc", "--image", (dir / "missing.cue").string(), "--json"}, 1},
        {{"toc", "--demo", "--faults", "seek=9", "--json"}, 2},
        {{"analyze", "--json"}, 2},
        {{"settings", "set", "iSpeed", "999", "--json"}, 2},
        {{"drives", "extra", "--json"}, 2},
    };
    for (const Case& c : cases) {
        CliRun r = run(c.args);
        EXPECT_EQ(r.code, c.code) << c.args[0] << " " << c.args[1];
        json j = json::parse(r.out, nullptr, false); // the whole output is one document
        ASSERT_FALSE(j.is_discarded()) << r.out;
        ASSERT_TRUE(j.is_object()) << r.out;
        EXPECT_FALSE(j.value("error", std::string()).empty()) << r.out;
        EXPECT_FALSE(r.err.empty());
    }
    // A command that goes on after a failed file names it in its result instead.
    CliRun r = run({"analyze", (dir / "missing.wav").string(), "--json"});
    EXPECT_EQ(r.code, 1);
    json j = json::parse(r.out);
    EXPECT_EQ(j["files"][0]["error"], "Couldn't open file: No such file or directory");
}

TEST_F(CliTest, ProgressShowsSpeedPerFileQuietAndVerbose) {
    const fs::path out = dir / "p";
    CliRun r = run({"rip", "--demo", "-t", "1-2", "-o", out.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    // Without a terminal, a line per file with its speed.
    size_t lines = 0;
    for (size_t pos = 0;
         (pos = r.err.find("x realtime), 0 re-reads, 0 read errors", pos)) != std::string::npos;
         ++pos)
        ++lines;
    EXPECT_EQ(lines, 2u) << r.err;
    EXPECT_NE(r.err.find("0:30 of audio in "), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos); // nothing drawn in place

    // Quiet: the result only.
    r = run({"rip", "--demo", "-t", "1", "-o", (dir / "q").string(), "-q"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    EXPECT_NE(r.out.find("ok "), std::string::npos);

    // Verbose, over a drive that fails reads and lands off target: every retry and
    // re-read with its position; the counts in the file's line either way.
    const std::vector<std::string> faulty = {"rip",         "--demo",
                                             "-t",          "1",
                                             "--faults",    "seed=5,error=0.05,seek=0.5:-20..20",
                                             "--mode",      "scratch",
                                             "--overwrite", "replace"};
    std::vector<std::string> args = faulty;
    args.insert(args.end(), {"-o", (dir / "v").string(), "-qv"}); // the later -v wins
    args.insert(args.end(), {"-v"});
    r = run(args);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("read error at LBA "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("re-read at LBA "), std::string::npos) << r.err;
    args = faulty;
    args.insert(args.end(), {"-o", (dir / "n").string()});
    r = run(args);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err.find("re-read at LBA "), std::string::npos);
    EXPECT_EQ(r.err.find("0 re-reads"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" re-reads, "), std::string::npos) << r.err;
    // And the rip is still exact.
    auto image = kyDiscImage::Demo();
    const auto files = wavFiles(dir / "n");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(wavData(files[0]), imageTrack(*image, 1));
}

TEST_F(CliTest, VersionAndHelpWithoutACommand) {
    CliRun v = run({"--version"});
    ASSERT_EQ(v.code, 0);
    EXPECT_EQ(v.out.rfind("dskr-cli (DskR 5) ", 0), 0u) << v.out;
    EXPECT_NE(v.out.find("libcdio"), std::string::npos) << v.out;
    EXPECT_NE(v.out.find("libmpg123"), std::string::npos) << v.out;
    EXPECT_NE(v.out.find("libmpg123.so."), std::string::npos) << v.out; // found at run time
    EXPECT_NE(v.out.find("libcurl"), std::string::npos) << v.out;
    CliRun h = run({"-h"});
    EXPECT_EQ(h.code, 0);
    for (const char* command : {"drives", "formats", "toc", "rip", "convert", "analyze", "settings",
                                "lookup", "submit", "info"})
        EXPECT_NE(h.out.find(std::string("  ") + command + " "), std::string::npos) << command;
    CliRun typo = run({"rpi"});
    EXPECT_EQ(typo.code, 2);
    EXPECT_NE(typo.err.find("did you mean 'rip'"), std::string::npos) << typo.err;
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
         "id3v1 is for MP3, MP2 and AAC files"},
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

TEST_F(CliTest, OnATerminalProgressIsRedrawnInPlaceAtMostTenTimesASecond) {
    // A slow drive, so that the rip takes a few seconds, on a pseudo-terminal.
    const auto start = std::chrono::steady_clock::now();
    const TerminalRun r = runOnTerminal(
        {"rip", "--demo", "-t", "2", "--faults", "speed=20", "-o", (dir / "tty").string()});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(r.code, 0) << r.screen;
    const std::string& screen = r.screen;
    size_t redraws = 0;
    for (size_t pos = 0; (pos = screen.find("\r\033[Kfile [", pos)) != std::string::npos; ++pos)
        ++redraws;
    EXPECT_GE(redraws, 3u) << screen;
    // Ten a second, plus the forced ones at the start and end of the file.
    EXPECT_LE(redraws, static_cast<size_t>(10 * seconds) + 4) << redraws << " in " << seconds;
    EXPECT_NE(screen.find("x "), std::string::npos);      // the speed
    EXPECT_NE(screen.find(" left"), std::string::npos);   // the time left
    EXPECT_NE(screen.find("batch ["), std::string::npos); // and the batch's bar
}

// A prompt on a terminal shows its buttons without the "&" of their keys, and the key
// answers it; a failure to create a file says why.
TEST_F(CliTest, OnATerminalPromptsShowButtonsAndTakeTheirKeys) {
    std::vector<std::vector<uint8_t>> tracks;
    const std::string disc = smallDisc(tracks).string();
    // The artist's folder cannot be made: a file has its name.
    const fs::path out = dir / "out";
    fs::create_directories(out);
    kytest::writeText(out / "Band", "not a folder");
    const TerminalRun r = runOnTerminal(
        {"rip", "--image", disc, "-t", "1-3", "-o", out.string(), "--artist", "Band"},
        {{"Do you want to abort this job?", "n"}, {"Do you want to abort this job?", "y"}});
    EXPECT_EQ(r.code, 130) << r.screen; // aborted by the user
    EXPECT_NE(r.screen.find("1) Yes"), std::string::npos) << r.screen;
    EXPECT_NE(r.screen.find("2) No"), std::string::npos) << r.screen;
    EXPECT_EQ(r.screen.find('&'), std::string::npos) << r.screen;
    EXPECT_NE(r.screen.find("Couldn't create file: Not a directory"), std::string::npos)
        << r.screen;
    // "n" went on to the second file, "y" stopped before the third.
    EXPECT_NE(r.screen.find("Track 2"), std::string::npos) << r.screen;
    EXPECT_EQ(r.screen.find("Track 3"), std::string::npos) << r.screen;
}

// convert --out-dir on a terminal: an existing output is asked about before anything
// runs, and several files at once share one progress line, each finished file a line
// above it.
TEST_F(CliTest, OnATerminalConvertingManyFilesAsksFirstAndKeepsOneProgressLine) {
    const fs::path src = dir / "src";
    ASSERT_EQ(
        run({"rip", "--demo", "-t", "1-3", "-o", src.string(), "--pattern", "0,3,0,0,0,0,0,0,0,0"})
            .code,
        0);
    const std::vector<fs::path> wavs = wavFiles(src);
    ASSERT_EQ(wavs.size(), 3u);
    const fs::path out = dir / "out";
    fs::create_directories(out);
    const fs::path kept = out / (wavs[1].stem().string() + ".wav");
    kytest::writeText(kept, "earlier");
    std::vector<std::string> args = {"convert"};
    for (const fs::path& w : wavs) args.push_back(w.string());
    args.insert(args.end(), {"--out-dir", out.string(), "-f", "wav", "--resample", "48000",
                             "--resampler", "slow", "-j", "2"});
    const TerminalRun r = runOnTerminal(args, {{"exists. Replace it? [y/N]", "n"}});
    ASSERT_EQ(r.code, 0) << r.screen;
    EXPECT_EQ(kytest::slurp(kept), "earlier");
    EXPECT_NE(r.screen.find("\r0 of 2 files converted"), std::string::npos) << r.screen;
    for (size_t i : {0, 2})
        EXPECT_NE(r.screen.find("Converted " + wavs[i].string() + " to "), std::string::npos)
            << r.screen;
    EXPECT_NE(r.screen.find("skipped   " + kept.string()), std::string::npos) << r.screen;
}
