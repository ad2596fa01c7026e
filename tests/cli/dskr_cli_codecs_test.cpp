// dskr-cli with the formats written through codec libraries, as a user runs it: rips of
// the demo disc and of a CUE/BIN image to FLAC, WavPack and Ogg Vorbis checked with the
// Debian tools, their tags after normalisation, conversions between FLAC, WavPack, AIFF
// and WAV, MP3, MP2 and AAC files (ours and the peer encoders') to FLAC and back,
// --compression, a library hidden from the loader, and Shorten and Musepack (our own
// encoders) checked with ffmpeg and mpcdec.
#include "cd/virtual_drive.h"
#include "support/chain_helpers.h"
#include "support/codec_library_files.h"
#include "support/codec_test_files.h"
#include "support/encoded_streams.h"
#include "support/run_program.h"
#include "support/scoped_env.h"
#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using kytest::haveTool;
using kytest::shellQuote;
using nlohmann::json;

namespace {
const std::string kCli = std::string(DSKR_BINARY_DIR) + "/bin/dskr-cli";

class CliCodecTest : public ::testing::Test {
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

    // The files of a rip's JSON answer, each checked to be "ok".
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

    // The CD audio of a track of an image.
    static std::vector<uint8_t> trackAudio(const kyDiscImage& image, uint32_t track) {
        const kyTocEntry& e = image.Toc().entries[track];
        std::vector<uint8_t> pcm(size_t(e.length) * 2352);
        EXPECT_TRUE(image.ReadSectors(e.start, e.length, pcm.data()));
        return pcm;
    }

    // The sample bytes a tool decoded into a WAV file.
    static std::vector<uint8_t> decodedBy(const std::string& command, const fs::path& wav) {
        EXPECT_TRUE(kytest::run(command)) << command;
        kytest::WavFormat f;
        std::vector<uint8_t> data;
        EXPECT_TRUE(kytest::parseWav(kytest::readFile(wav.string()), f, data)) << command;
        return data;
    }
};

std::string q(const fs::path& p) {
    return shellQuote(p.string());
}
} // namespace

TEST_F(CliCodecTest, LosslessRipsDecodeToTheCdAudio) {
    if (!haveTool("flac") || !haveTool("wvunpack")) GTEST_SKIP() << "flac or wavpack is missing";
    std::string error;
    const std::string cue = kyWriteTestImage(dir.string(), 1, error);
    ASSERT_FALSE(cue.empty()) << error;
    auto fromImage = kyDiscImage::LoadCue(cue, error);
    ASSERT_TRUE(fromImage) << error;
    auto demo = kyDiscImage::Demo();
    struct Source {
        std::vector<std::string> args;
        const kyDiscImage* image;
        std::vector<uint32_t> tracks;
    } sources[] = {{{"--demo", "--tracks", "1,3"}, demo.get(), {1, 3}},
                   {{"--image", cue, "--tracks", "1"}, fromImage.get(), {1}}};
    for (const Source& s : sources) {
        for (const char* format : {"flac", "wv"}) {
            SCOPED_TRACE(std::string(format) + " from " + s.args[1]);
            const fs::path out = dir / format;
            std::vector<std::string> args = {"rip",        "--format", format,        "--out",
                                             out.string(), "--json",   "--overwrite", "replace"};
            args.insert(args.end(), s.args.begin(), s.args.end());
            const std::vector<fs::path> files = ripped(run(args));
            ASSERT_EQ(files.size(), s.tracks.size());
            for (size_t i = 0; i < files.size(); ++i) {
                EXPECT_EQ(files[i].extension(), std::string(".") + format);
                const fs::path wav = dir / "decoded.wav";
                std::vector<uint8_t> pcm;
                if (std::string(format) == "flac") {
                    EXPECT_TRUE(kytest::run("flac -s -t " + q(files[i])));
                    pcm = decodedBy("flac -s -d -f -o " + q(wav) + " " + q(files[i]), wav);
                } else {
                    EXPECT_TRUE(kytest::run("wvunpack -q -v " + q(files[i])));
                    pcm = decodedBy("wvunpack -q -y -o " + q(wav) + " " + q(files[i]), wav);
                }
                EXPECT_TRUE(pcm == trackAudio(*s.image, s.tracks[i])) << files[i];
            }
        }
    }
}

TEST_F(CliCodecTest, TagsAndStoredGainsAfterNormalisation) {
    if (!haveTool("metaflac") || !haveTool("vorbiscomment") || !kytest::haveMutagen())
        GTEST_SKIP() << "metaflac, vorbiscomment or python3-mutagen is missing";
    auto demo = kyDiscImage::Demo();
    const auto& record = demo->Record();
    ASSERT_TRUE(record.has_value());
    for (const char* format : {"flac", "ogg", "wv"}) {
        SCOPED_TRACE(format);
        const fs::path out = dir / format;
        const std::vector<fs::path> files =
            ripped(run({"rip", "--demo", "--tracks", "1", "--format", format, "--out", out.string(),
                        "--json", "--normalize", "rg", "--meta"}));
        ASSERT_EQ(files.size(), 1u);
        std::string listed;
        if (std::string(format) == "flac") {
            listed = kytest::capture("metaflac --list --block-type=VORBIS_COMMENT " + q(files[0]));
        } else if (std::string(format) == "ogg") {
            listed = kytest::capture("vorbiscomment -l " + q(files[0]));
        } else {
            // mutagen reads the APE tag; its keys print as they are stored.
            listed = kytest::mutagenApeItems(files[0].string());
        }
        const bool ape = std::string(format) == "wv";
        for (const std::string& expected :
             {std::string(ape ? "Title=" : "TITLE=") + record->trackTitles[0],
              std::string(ape ? "Artist=" : "ARTIST=") + record->artist,
              std::string(ape ? "Album=" : "ALBUM=") + record->album,
              std::string(ape ? "Track=1" : "TRACKNUMBER=1"),
              std::string(ape ? "Replay Gain (radio)=" : "REPLAYGAIN_TRACK_GAIN=")})
            EXPECT_NE(listed.find(expected), std::string::npos) << expected << "\n" << listed;
        if (!ape) {
            EXPECT_NE(listed.find("REPLAYGAIN_TRACK_PEAK="), std::string::npos) << listed;
        }
    }
    // Stored as metadata, the gains leave the samples as they were on the disc.
    if (haveTool("flac")) {
        const fs::path wav = dir / "decoded.wav";
        fs::path flac;
        for (auto& e : fs::recursive_directory_iterator(dir / "flac"))
            if (e.path().extension() == ".flac") flac = e.path();
        EXPECT_TRUE(decodedBy("flac -s -d -f -o " + q(wav) + " " + q(flac), wav) ==
                    trackAudio(*demo, 1));
    }
}

TEST_F(CliCodecTest, ConversionsBetweenLosslessFormatsAreExact) {
    if (!haveTool("sox")) GTEST_SKIP() << "sox is missing";
    // 24-bit music-like noise, and the demo's first track at 16 bits.
    const fs::path wav24 = dir / "source24.wav";
    ASSERT_TRUE(kytest::run("sox -n -r 48000 -c 2 -b 24 " + q(wav24) +
                            " synth 3 pinknoise sine 330 vol 0.4"));
    const fs::path rips = dir / "rips";
    const std::vector<fs::path> demo =
        ripped(run({"rip", "--demo", "--tracks", "1", "--out", rips.string(), "--json"}));
    ASSERT_EQ(demo.size(), 1u);
    for (const fs::path& source : {wav24, demo[0]}) {
        SCOPED_TRACE(source.filename().string());
        const std::string rawSource = kytest::capture("sox " + q(source) + " -t raw - | md5sum");
        std::vector<fs::path> made = {source};
        for (const char* ext : {"flac", "wv", "aiff", "wav"}) {
            // Every file made so far, into this format.
            std::vector<fs::path> next;
            for (const fs::path& from : made) {
                const fs::path to = dir / (from.stem().string() + "-" +
                                           from.extension().string().substr(1) + "." + ext);
                kytest::ProgramRun r =
                    run({"convert", from.string(), to.string(), "--overwrite", "replace"});
                ASSERT_EQ(r.code, 0) << from << " -> " << to << "\n" << r.err;
                // Read back through the same reader for every format.
                const fs::path check = dir / "check.wav";
                ASSERT_EQ(run({"convert", to.string(), check.string(), "--format", "wav",
                               "--overwrite", "replace"})
                              .code,
                          0);
                EXPECT_EQ(kytest::capture("sox " + q(check) + " -t raw - | md5sum"), rawSource)
                    << from << " -> " << to;
                next.push_back(to);
            }
            made.insert(made.end(), next.begin(), next.end());
        }
    }
}

TEST_F(CliCodecTest, CompressionLevelsAndTheirOption) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } bad[] = {
        {{"--format", "flac", "--compression", "9"}, "from 0 to 8"},
        {{"--format", "wv", "--compression", "0"}, "from 1 to 4"},
        {{"--format", "ogg", "--compression", "3"}, "has no compression levels"},
        {{"--format", "wav", "--compression", "1"}, "has no compression levels"},
        {{"--format", "flac", "--compression", "fast"}, "from 0 to 8"},
    };
    for (const Case& c : bad) {
        std::vector<std::string> args = {"rip", "--demo", "--out", (dir / "x").string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        kytest::ProgramRun r = run(args);
        EXPECT_EQ(r.code, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    const fs::path rips = dir / "rips";
    const std::vector<fs::path> wav =
        ripped(run({"rip", "--demo", "--tracks", "1", "--out", rips.string(), "--json"}));
    ASSERT_EQ(wav.size(), 1u);
    std::vector<uintmax_t> sizes;
    for (const char* level : {"0", "default", "8"}) {
        const fs::path flac = dir / (std::string("level-") + level + ".flac");
        kytest::ProgramRun r =
            run({"convert", wav[0].string(), flac.string(), "--compression", level});
        ASSERT_EQ(r.code, 0) << r.err;
        sizes.push_back(fs::file_size(flac));
    }
    // Level 0 is the fastest and largest; where 5 and 8 end up depends on the music.
    EXPECT_GT(sizes[0], sizes[1]);
    EXPECT_GT(sizes[0], sizes[2]);
    // The stored level stays with its format: another format starts from its default.
    ASSERT_EQ(run({"rip", "--demo", "--tracks", "1", "--format", "flac", "--compression", "8",
                   "--save", "--out", rips.string(), "--json", "--overwrite", "replace"})
                  .code,
              0);
    const std::string stored =
        kytest::capture("cat " + q(dir / "config" / "Velmora" / "DskR 5" / "settings.reg"));
    EXPECT_NE(stored.find("\"iCompressionLevel\"=dword:00000008"), std::string::npos) << stored;
    kytest::ProgramRun wv = run({"rip", "--demo", "--tracks", "1", "--format", "wv", "--out",
                                 rips.string(), "--json", "--overwrite", "replace"});
    EXPECT_EQ(wv.code, 0) << wv.err;
}

// MP3, MP2 and AAC files, made by lame, twolame and ffmpeg and by dskr-cli itself, converted
// to FLAC and back. The FLAC file holds what the reference decoders make of the stream:
// as many samples (an MP3 with a LAME header exactly as many as went in, its encoder's delay
// and padding trimmed; an AAC stream without its first frame, as faad decodes it), in time
// with the source; what dskr-cli encodes from FLAC decodes in ffmpeg at the length ours
// reads.
TEST_F(CliCodecTest, LossyFilesToFlacAndBack) {
    for (const char* tool : {"sox", "flac", "metaflac", "ffmpeg", "ffprobe", "mpg123", "faad"})
        if (!haveTool(tool)) GTEST_SKIP() << tool << " is missing";
    // An odd number of frames: no encoder's frame size divides it.
    const fs::path wav = dir / "source.wav";
    ASSERT_TRUE(kytest::run("sox -r 44100 -c 2 -n -b 16 " + q(wav) +
                            " synth 101333s pinknoise sine 330 vol 0.4"));
    std::vector<int16_t> source;
    ASSERT_TRUE(kytest::decodeRaw("sox " + q(wav) + " -t raw " + q(dir / "source.raw"),
                                  (dir / "source.raw").string(), source));
    const uint32_t frames = uint32_t(source.size() / 2);
    ASSERT_EQ(frames, 101333u);
    const fs::path flacSource = dir / "source.flac";
    ASSERT_TRUE(kytest::run("flac -s -f " + q(wav) + " -o " + q(flacSource)));

    // The reference decoders, raw 16-bit stereo at 44.1 kHz.
    auto decoded = [&](const std::string& codec, const fs::path& file) {
        const std::string raw = (dir / "ref.raw").string();
        std::string command;
        if (codec == "mp3" || codec == "mp2")
            command = "mpg123 -q -O " + shellQuote(raw) + " " + q(file);
        else
            command = "faad -q -f 2 -b 1 -o " + shellQuote(raw) + " " + q(file);
        std::vector<int16_t> out;
        EXPECT_TRUE(kytest::decodeRaw(command, raw, out)) << command;
        return out;
    };
    auto ffmpegFrames = [&](const fs::path& file) {
        std::vector<int16_t> out;
        const std::string raw = (dir / "ff.raw").string();
        EXPECT_TRUE(kytest::decodeRaw(
            "ffmpeg -v error -y -i " + q(file) + " -f s16le " + shellQuote(raw), raw, out));
        return uint32_t(out.size() / 2);
    };

    const struct {
        const char* name;
        const char* codec;   // ffprobe's name, our extension
        std::string command; // makes the file from the WAV (input, output appended); "" = ours
        uint32_t lag;        // frames the decoded stream runs late
    } cases[] = {
        {"lame.mp3", "mp3", "lame --quiet -V 2", 0},
        {"twolame.mp2", "mp2", "twolame --quiet -b 224", 481},
        {"ffmpeg.aac", "aac", "ffmpeg -c:a aac -b:a 160k", 0},
        {"ours.mp3", "mp3", "", 0},
        {"ours.mp2", "mp2", "", 481},
        {"ours.aac", "aac", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path lossy = dir / c.name;
        if (c.command.empty()) {
            // dskr-cli encodes it from the FLAC file.
            kytest::ProgramRun r = run({"convert", flacSource.string(), lossy.string()});
            ASSERT_EQ(r.code, 0) << r.err;
        } else {
            const std::string tool = c.command.substr(0, c.command.find(' '));
            if (!haveTool(tool.c_str())) {
                std::printf("%s: %s is missing\n", c.name, tool.c_str());
                continue;
            }
            // ffmpeg takes its options between the names, the others before both.
            const std::string options = c.command.substr(tool.size());
            const std::string command =
                tool == "ffmpeg" ? "ffmpeg -v error -i " + q(wav) + options + " " + q(lossy)
                                 : c.command + " " + q(wav) + " " + q(lossy);
            ASSERT_TRUE(kytest::run(command)) << command;
        }
        EXPECT_EQ(kytest::probeStream(lossy.string(), "codec_name"), c.codec);
        const std::vector<int16_t> reference = decoded(c.codec, lossy);
        const uint32_t referenceFrames = uint32_t(reference.size() / 2);

        // To FLAC.
        const fs::path flac = dir / (std::string(c.name) + ".flac");
        kytest::ProgramRun r = run({"convert", lossy.string(), flac.string()});
        ASSERT_EQ(r.code, 0) << r.err;
        ASSERT_TRUE(kytest::run("flac -s -t " + q(flac))) << "flac finds the file damaged";
        const uint32_t ours =
            uint32_t(std::stoul(kytest::capture("metaflac --show-total-samples " + q(flac))));
        EXPECT_EQ(ours, referenceFrames);
        if (c.codec == std::string("mp3")) {
            EXPECT_EQ(ours, frames) << "gapless trimming";
        }
        EXPECT_EQ(
            kytest::capture("metaflac --show-sample-rate --show-channels --show-bps " + q(flac)),
            "44100\n2\n16\n");
        std::vector<int16_t> back;
        const std::string raw = (dir / "flac.raw").string();
        ASSERT_TRUE(
            kytest::decodeRaw("flac -s -d -f --force-raw-format --endian=little --sign=signed " +
                                  q(flac) + " -o " + shellQuote(raw),
                              raw, back));
        uint32_t lag = 0;
        const double snr = kytest::alignedSnrDb(source, back, 2, 2048, &lag);
        EXPECT_EQ(lag, c.lag);
        EXPECT_GE(snr, 12) << "lag " << lag;
        // The FLAC file holds what the reference decoder makes of the stream, to within a
        // rounding step (float decoders).
        EXPECT_GE(kytest::alignedSnrDb(reference, back, 2, 0), 60);

        // And back from FLAC into the same format: ffmpeg decodes it to as many samples as
        // our reader gives (the MP3 exactly the source's, through its LAME header).
        const fs::path again = dir / (std::string("again-") + c.name);
        r = run({"convert", flac.string(), again.string()});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(kytest::probeStream(again.string(), "codec_name"), c.codec);
        EXPECT_EQ(kytest::probeStream(again.string(), "sample_rate"), "44100");
        const fs::path againFlac = dir / (std::string("again-") + c.name + ".flac");
        ASSERT_EQ(run({"convert", again.string(), againFlac.string()}).code, 0);
        const uint32_t againFrames =
            uint32_t(std::stoul(kytest::capture("metaflac --show-total-samples " + q(againFlac))));
        const uint32_t ffmpegCount = ffmpegFrames(again);
        if (c.codec == std::string("mp3")) {
            EXPECT_EQ(ffmpegCount, ours);
            EXPECT_EQ(againFrames, ours);
        } else if (c.codec == std::string("mp2")) {
            EXPECT_EQ(ffmpegCount, againFrames);
        } else {
            // ffmpeg keeps the first frame of an ADTS stream, which faad and we drop.
            EXPECT_EQ(ffmpegCount, againFrames + 1024);
            EXPECT_EQ(againFrames, uint32_t(decoded(c.codec, again).size() / 2));
        }
        // Each generation keeps the whole signal: no more than one frame of the encoder is
        // added or lost.
        EXPECT_NEAR(double(againFrames), double(ours) + c.lag, 1152 + 1024);
    }
}

TEST_F(CliCodecTest, AHiddenLibraryTakesOnlyItsFormat) {
    const fs::path rips = dir / "rips";
    const std::vector<fs::path> wav =
        ripped(run({"rip", "--demo", "--tracks", "1", "--out", rips.string(), "--json"}));
    ASSERT_EQ(wav.size(), 1u);
    const fs::path flac = dir / "made.flac";
    ASSERT_EQ(run({"convert", wav[0].string(), flac.string()}).code, 0);

    // Every codec library but libFLAC, where the loader looks.
    const fs::path libs = dir / "libs";
    fs::create_directories(libs);
    for (const char* name : {"libvorbis.so.0", "libvorbisenc.so.2", "libogg.so.0",
                             "libvorbisfile.so.3", "libwavpack.so.1", "libcdio.so.19"}) {
        const std::string found = kytest::capture("ldconfig -p | awk '$1 == \"" +
                                                  std::string(name) + "\" {print $NF; exit}'");
        if (!found.empty()) fs::create_symlink(found.substr(0, found.find('\n')), libs / name);
    }
    setenv("DSKR_LIBRARY_PATH", libs.c_str(), 1);

    const fs::path never = dir / "never.flac";
    kytest::ProgramRun r = run({"convert", wav[0].string(), never.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Missing required component: libFLAC.so.12 not found"), std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(never));
    for (auto& e : fs::directory_iterator(dir))
        EXPECT_EQ(e.path().string().find(".dskr-part"), std::string::npos) << e.path();

    kytest::ProgramRun read = run({"convert", flac.string(), (dir / "back.wav").string()});
    EXPECT_EQ(read.code, 1);
    EXPECT_NE(read.err.find("libFLAC.so.12 not found"), std::string::npos) << read.err;

    kytest::ProgramRun formats = run({"formats", "--json"});
    ASSERT_EQ(formats.code, 0) << formats.err;
    const json listed = json::parse(formats.out);
    for (const json& f : listed["formats"]) {
        if (f["extension"] == "flac") {
            EXPECT_EQ(f["missing"], "libFLAC.so.12 not found");
        } else {
            // Only the formats of libFLAC are affected (others whose libraries the folder
            // does not hold say so on their own account).
            EXPECT_TRUE(f["missing"].is_null() ||
                        f["missing"].get<std::string>().find("libFLAC") == std::string::npos)
                << f.dump();
        }
    }

    // Everything else goes on as before: a rip to WavPack, and to WAV.
    const std::vector<fs::path> wv = ripped(run(
        {"rip", "--demo", "--tracks", "2", "--format", "wv", "--out", rips.string(), "--json"}));
    EXPECT_EQ(wv.size(), 1u);
    kytest::ProgramRun rip = run(
        {"rip", "--demo", "--tracks", "2", "--format", "flac", "--out", rips.string(), "--json"});
    EXPECT_EQ(rip.code, 1);
    EXPECT_NE(rip.err.find("libFLAC.so.12 not found"), std::string::npos) << rip.err;
    for (auto& e : fs::recursive_directory_iterator(rips))
        EXPECT_NE(e.path().extension(), ".flac") << e.path();
}

TEST_F(CliCodecTest, AFailedConversionLeavesNoFile) {
    if (!haveTool("sox")) GTEST_SKIP() << "sox is missing";
    const fs::path wav = dir / "in.wav";
    ASSERT_TRUE(kytest::run("sox -n -r 44100 -c 2 -b 16 " + q(wav) + " synth 2 pinknoise"));
    const fs::path flac = dir / "in.flac";
    ASSERT_EQ(run({"convert", wav.string(), flac.string()}).code, 0);
    // A frame in the middle damaged: the reader stops there with an error.
    std::vector<uint8_t> bytes = kytest::readFile(flac.string());
    bytes[bytes.size() / 2] ^= 0xFF;
    ASSERT_TRUE(kytest::writeFile(flac.string(), bytes));
    for (const char* ext : {"wv", "flac", "ogg", "wav"}) {
        SCOPED_TRACE(ext);
        const fs::path out = dir / (std::string("out.") + ext);
        kytest::ProgramRun r = run({"convert", flac.string(), out.string()});
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find("File is corrupt"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(out));
    }
}

TEST_F(CliCodecTest, ShortenRipIsTheCdAudio) {
    auto demo = kyDiscImage::Demo();
    const std::vector<uint8_t> cd = trackAudio(*demo, 2);
    const std::vector<fs::path> files =
        ripped(run({"rip", "--demo", "--tracks", "2", "--format", "shn", "--out",
                    (dir / "shn").string(), "--json"}));
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].extension(), ".shn");
    const fs::path back = dir / "back.wav";
    EXPECT_TRUE(decodedBy(q(kCli) + " convert " + q(files[0]) + " " + q(back), back) == cd);
    if (haveTool("ffmpeg")) {
        const fs::path viaFfmpeg = dir / "ffmpeg.wav";
        EXPECT_TRUE(decodedBy("ffmpeg -v error -y -i " + q(files[0]) + " " + q(viaFfmpeg),
                              viaFfmpeg) == cd);
    }
}

TEST_F(CliCodecTest, MusepackRipWithGainsAndWithoutTheLibrary) {
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
