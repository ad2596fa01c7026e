// dskr-cli convert FILE... --out-dir DIR -j N: many files converted at once give the same
// bytes as one after another, and the lossless ones decode (flac, sox, ffmpeg) to the
// inputs' audio; a corrupt or missing input, or an output too large for the file size
// limit, fails alone; Ctrl-C or SIGTERM keeps the finished files and the earlier ones, and
// leaves no temporary file; two inputs meant for one name are refused before any work.
#include "cli/cli_fixture.h"
#include "support/codec_test_files.h"

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using kytest::CliRun;
using kytest::CliRunSetup;
using kytest::CliTest;
using kytest::slurp;
using nlohmann::json;

namespace {

class ConvertManyTest : public CliTest {
protected:
    struct Input {
        fs::path path;
        std::vector<int16_t> samples; // interleaved stereo
    };

    // A 16-bit stereo WAV file of test music, `seconds` long.
    Input makeInput(const std::string& name, double seconds) {
        Input in;
        in.path = dir / "in" / (name + ".wav");
        fs::create_directories(in.path.parent_path());
        in.samples = kytest::testSignal(static_cast<uint32_t>(seconds * 44100), 2, 44100);
        EXPECT_TRUE(
            kytest::writeFile(in.path.string(), kytest::makePcm16Wav(in.samples, 2, 44100)));
        return in;
    }

    // Whether the codec library of the format with this extension is found.
    bool formatAvailable(const std::string& extension) {
        const CliRun r = run({"formats", "--json"});
        const json listed = json::parse(r.out, nullptr, false);
        if (listed.is_discarded()) return false;
        for (const json& f : listed["formats"])
            if (f["extension"] == extension) return f.value("library_found", true);
        return false;
    }

    static std::vector<std::string> convertArgs(const std::vector<Input>& inputs,
                                                const fs::path& out,
                                                std::vector<std::string> options) {
        std::vector<std::string> args = {"convert"};
        for (const Input& in : inputs) args.push_back(in.path.string());
        args.insert(args.end(), {"--out-dir", out.string(), "--json"});
        args.insert(args.end(), options.begin(), options.end());
        return args;
    }
};

TEST_F(ConvertManyTest, InParallelTheSameBytesAsOneAfterAnother) {
    // Lengths that are no multiple of any block size, the longest not first.
    const std::vector<Input> inputs = {makeInput("a", 0.7), makeInput("b", 2.31),
                                       makeInput("c", 1.05), makeInput("d", 0.013)};
    struct Case {
        const char* extension;
        std::vector<std::string> options;
        bool lossless;
    };
    const Case cases[] = {
        {"wav", {"-f", "wav"}, true},
        {"flac", {"-f", "flac", "--compression", "8"}, true},
        {"wv", {"-f", "wv"}, true},
        {"mp3", {"-f", "mp3", "--subformat", "VBR Quality 0 (highest)"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extension);
        if (!formatAvailable(c.extension)) {
            std::fprintf(stderr, "the codec library for %s is missing: not tested\n", c.extension);
            continue;
        }
        std::map<std::string, std::string> made[2];
        for (int jobs : {1, 2}) {
            const fs::path out = dir / (std::string(c.extension) + std::to_string(jobs));
            std::vector<std::string> options = c.options;
            options.insert(options.end(), {"-j", std::to_string(jobs)});
            const CliRun r = run(convertArgs(inputs, out, options));
            ASSERT_EQ(r.code, 0) << r.err;
            const json answer = json::parse(r.out);
            ASSERT_EQ(answer["files"].size(), inputs.size());
            for (size_t i = 0; i < inputs.size(); ++i) {
                const json& f = answer["files"][i];
                EXPECT_EQ(f["input"], inputs[i].path.string());
                const fs::path expected =
                    out / (inputs[i].path.stem().string() + "." + c.extension);
                EXPECT_EQ(f["output"], expected.string());
                EXPECT_EQ(f["result"], "ok") << f.dump();
                EXPECT_TRUE(f["error"].is_null());
                EXPECT_NEAR(f["seconds"].get<double>(), inputs[i].samples.size() / 2 / 44100.0,
                            1e-6);
                made[jobs - 1][expected.filename()] = slurp(expected);
            }
            EXPECT_TRUE(pendingFiles(out).empty());
        }
        EXPECT_EQ(made[0], made[1]);

        // The files decoded by other programs.
        for (const Input& in : inputs) {
            const fs::path file = dir / (std::string(c.extension) + "2") /
                                  (in.path.stem().string() + "." + c.extension);
            std::vector<int16_t> decoded;
            if (c.extension == std::string("flac")) {
                if (!kytest::haveTool("flac") || !kytest::haveTool("sox")) continue;
                EXPECT_TRUE(kytest::run("flac -s -t " + kytest::shellQuote(file.string())));
                ASSERT_TRUE(kytest::soxDecode(file.string(), decoded));
            } else if (c.extension == std::string("wav")) {
                if (!kytest::haveTool("sox")) continue;
                ASSERT_TRUE(kytest::soxDecode(file.string(), decoded));
            } else {
                if (!kytest::haveTool("ffmpeg")) continue;
                ASSERT_TRUE(kytest::ffmpegDecode(file.string(), "", 2, decoded));
            }
            if (c.lossless) {
                EXPECT_TRUE(decoded == in.samples) << file;
            } else {
                // The encoder's delay and padding are taken off by the decoder from the
                // LAME header; a frame either way is a wrong length.
                EXPECT_NEAR(double(decoded.size()) / 2, double(in.samples.size()) / 2, 1152)
                    << file;
            }
        }
    }
    if (!kytest::haveTool("sox") || !kytest::haveTool("flac") || !kytest::haveTool("ffmpeg"))
        GTEST_SKIP() << "sox, flac or ffmpeg is missing: the files were not decoded";
}

TEST_F(ConvertManyTest, ABadInputOrATooLargeOutputFailsAlone) {
    const Input good1 = makeInput("good1", 0.5), good2 = makeInput("good2", 0.4),
                big = makeInput("big", 3.0);
    // Noise under a WAV name, and one cut off in its header.
    Input corrupt{dir / "in" / "corrupt.wav", {}};
    std::vector<uint8_t> noise(20000);
    uint32_t state = 7;
    for (uint8_t& b : noise) b = static_cast<uint8_t>((state = state * 1103515245u + 12345u) >> 24);
    ASSERT_TRUE(kytest::writeFile(corrupt.path.string(), noise));
    Input cut{dir / "in" / "cut.wav", {}};
    std::vector<uint8_t> header = kytest::readFile(good1.path.string());
    header.resize(30);
    ASSERT_TRUE(kytest::writeFile(cut.path.string(), header));
    const Input missing{dir / "in" / "missing.wav", {}};

    const std::vector<Input> inputs = {good1, corrupt, big, cut, good2, missing};
    const std::vector<bool> fails = {false, true, true, true, false, true};
    // A limit on the size of a file: only the long input's output goes beyond it.
    CliRunSetup limited;
    limited.fileSizeLimit = 200 * 1024;
    const fs::path out = dir / "out";
    const CliRun r = run(convertArgs(inputs, out, {"-f", "wav", "-j", "2"}), limited);
    if (r.code == kytest::kSetupFailed) GTEST_SKIP() << "cannot limit the file size here";
    EXPECT_EQ(r.code, 1) << r.err;
    const json answer = json::parse(r.out);
    ASSERT_EQ(answer["files"].size(), inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        const json& f = answer["files"][i];
        SCOPED_TRACE(f.dump());
        EXPECT_EQ(f["input"], inputs[i].path.string());
        const fs::path output = out / (inputs[i].path.stem().string() + ".wav");
        if (fails[i]) {
            EXPECT_EQ(f["result"], "failed");
            EXPECT_FALSE(f["error"].get<std::string>().empty());
            EXPECT_NE(r.err.find(inputs[i].path.string() + ": " + f["error"].get<std::string>()),
                      std::string::npos)
                << r.err;
            EXPECT_FALSE(fs::exists(output));
        } else {
            EXPECT_EQ(f["result"], "ok");
            std::vector<int16_t> decoded;
            if (kytest::haveTool("sox")) {
                ASSERT_TRUE(kytest::soxDecode(output.string(), decoded));
                EXPECT_TRUE(decoded == inputs[i].samples);
            }
        }
    }
    EXPECT_EQ(answer["files"][2]["error"], "Couldn't write to file: File too large");
    EXPECT_EQ(answer["files"][5]["error"], "Couldn't open file: No such file or directory");
    EXPECT_TRUE(pendingFiles(dir).empty());
    // The plain result: one line per file, in the order given.
    const CliRun plain =
        run({"convert", good1.path.string(), corrupt.path.string(), good2.path.string(),
             "--out-dir", (dir / "plain").string(), "-f", "wav", "-q"});
    EXPECT_EQ(plain.code, 1);
    EXPECT_EQ(plain.out, "ok        " + (dir / "plain" / "good1.wav").string() + "\nfailed    " +
                             corrupt.path.string() + "\nok        " +
                             (dir / "plain" / "good2.wav").string() + "\n");
    // One input and its output: the same record, or one error object when nothing ran.
    CliRun single = run({"convert", good2.path.string(), (dir / "single.wav").string(), "--json"});
    EXPECT_EQ(single.code, 0) << single.err;
    EXPECT_EQ(json::parse(single.out)["files"][0]["result"], "ok");
    single = run({"convert", missing.path.string(), (dir / "never.wav").string(), "--json"});
    EXPECT_EQ(single.code, 1);
    EXPECT_EQ(json::parse(single.out)["error"],
              missing.path.string() + ": Couldn't open file: No such file or directory");
    single = run({"convert", big.path.string(), (dir / "never.wav").string(), "--json"}, limited);
    EXPECT_EQ(single.code, 1);
    EXPECT_EQ(json::parse(single.out)["files"][0]["error"],
              "Couldn't write to file: File too large");
    EXPECT_FALSE(fs::exists(dir / "never.wav"));
    EXPECT_TRUE(pendingFiles(dir).empty());
}

TEST_F(ConvertManyTest, CancelKeepsFinishedAndEarlierFilesAndLeavesNoTemporary) {
    // The resampler makes the long files slow enough to be stopped half-way.
    const std::vector<Input> inputs = {makeInput("short", 0.2), makeInput("long1", 40),
                                       makeInput("long2", 40), makeInput("long3", 40)};
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        const fs::path out = dir / ("out" + std::to_string(signal));
        fs::create_directories(out);
        const std::string earlier = "an earlier file of this name";
        std::ofstream(out / "long1.wav", std::ios::binary) << earlier;
        CliRunSetup interrupt;
        interrupt.signal = signal;
        interrupt.watch = out;
        const CliRun r = run(convertArgs(inputs, out,
                                         {"-f", "wav", "--resample", "48000", "--resampler", "slow",
                                          "-j", "2", "--overwrite", "replace"}),
                             interrupt);
        EXPECT_EQ(r.code, 130) << r.err;
        const json answer = json::parse(r.out);
        ASSERT_EQ(answer["files"].size(), inputs.size());
        EXPECT_EQ(answer["files"][0]["result"], "ok");
        for (size_t i = 1; i < inputs.size(); ++i) {
            EXPECT_EQ(answer["files"][i]["result"], "cancelled") << answer["files"][i].dump();
            EXPECT_EQ(answer["files"][i]["error"], nullptr);
        }
        // The finished file is whole; the earlier file is untouched; nothing else is there.
        {
            std::vector<uint8_t> data;
            kytest::WavFormat format;
            ASSERT_TRUE(
                kytest::parseWav(kytest::readFile((out / "short.wav").string()), format, data));
            EXPECT_EQ(format.rate, 48000u);
            EXPECT_NEAR(double(data.size()) / 4, 0.2 * 48000, 2);
        }
        EXPECT_EQ(slurp(out / "long1.wav"), earlier);
        EXPECT_FALSE(fs::exists(out / "long2.wav"));
        EXPECT_FALSE(fs::exists(out / "long3.wav"));
        EXPECT_TRUE(pendingFiles(dir).empty());
    }
}

TEST_F(ConvertManyTest, OutputsOfOneNameAreRefusedBeforeAnyWork) {
    const Input a = makeInput("song", 0.1);
    fs::create_directories(dir / "other");
    const fs::path b = dir / "other" / "song.wav";
    fs::copy_file(a.path, b);
    const fs::path out = dir / "out";
    struct Case {
        std::vector<std::string> files;
        std::vector<std::string> options;
        std::string message;
    };
    const Case cases[] = {
        {{a.path.string(), b.string()},
         {"-f", "flac"},
         "'" + a.path.string() + "' and '" + b.string() + "' would both be converted to " +
             (out / "song.flac").string()},
        {{a.path.string(), a.path.string()}, {"-f", "flac"}, "would both be converted to"},
        {{a.path.string()}, {"-f", "wav"}, "would be converted to itself"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"convert"};
        args.insert(args.end(), c.files.begin(), c.files.end());
        const fs::path target =
            c.message.find("itself") != std::string::npos ? a.path.parent_path() : out;
        args.insert(args.end(), {"--out-dir", target.string(), "--json"});
        args.insert(args.end(), c.options.begin(), c.options.end());
        const CliRun r = run(args);
        EXPECT_EQ(r.code, 2) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(json::parse(r.out).value("error", std::string()).find(c.message),
                  std::string::npos);
        EXPECT_FALSE(fs::exists(out));
    }
    EXPECT_EQ(kytest::readFile(a.path.string()), kytest::readFile(b.string()));
    // Neither an output nor input files: usage errors.
    EXPECT_EQ(run({"convert", a.path.string(), "-f", "wav"}).code, 2);
    EXPECT_EQ(run({"convert", "--out-dir", out.string()}).code, 2);
}

} // namespace
