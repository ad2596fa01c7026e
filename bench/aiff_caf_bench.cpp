// AIFF and CAF speed: 74 minutes of stereo float blocks written as each format's common
// subformats, and a 20-minute 16-bit WAV converted to AIFF and CAF by our reader and
// writers (samples carried unchanged), beside sox and ffmpeg converting the same file.
// Each figure is the best of N runs (argument 1, default 3); prints × realtime.
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "formats/writer_filter.h"
#include "tone_source.h"
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

int32_t writerIndex(const char* displayName) {
    kyFormatCatalog& c = kyFormatCatalog::Instance();
    for (size_t i = 0; i < c.Count(); ++i) {
        const kyFormatEntry* e = c.Entry(static_cast<int32_t>(i));
        if (e->displayName == displayName && e->writer) return static_cast<int32_t>(i);
    }
    return -1;
}

// Writes `frames` of the tone to `path`; seconds taken, or -1 on failure.
double writeTone(const std::string& path, const char* entry, const char* subformat,
                 uint32_t frames) {
    kyWriterFilter* w = nullptr;
    if (kyFailed(kyFormatCatalog::Instance().CreateWriter(w, path.c_str(), subformat,
                                                          writerIndex(entry))))
        return -1;
    auto* src = new bench::ToneSource(frames, 4096);
    src->Connect(w);
    double t = bench::now();
    kyError err = w->Run();
    double e = bench::now() - t;
    w->DestroyChain();
    return kyFailed(err) ? -1 : e;
}

// Our conversion of `in` to `out` with the writer entry for its extension.
double convert(const std::string& in, const std::string& out, const char* entry, bool& unchanged) {
    double t = bench::now();
    kyReaderFilter* r = nullptr;
    if (kyFailed(kyFormatCatalog::Instance().OpenReader(r, in.c_str(), -2))) return -1;
    kyWriterFilter* w = nullptr;
    if (kyFailed(kyFormatCatalog::Instance().CreateWriter(w, out.c_str(), "<Auto select>",
                                                          writerIndex(entry)))) {
        delete r;
        return -1;
    }
    r->Connect(w);
    kyError err = w->Run();
    unchanged = w->passthrough();
    w->DestroyChain();
    return kyFailed(err) ? -1 : bench::now() - t;
}

double command(const std::string& cmd) {
    double t = bench::now();
    int rc = std::system((cmd + " > /dev/null 2>&1").c_str());
    return rc == 0 ? bench::now() - t : -1;
}

} // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / ("dskr-aiff-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;

    // 1. Float blocks to each format.
    const double seconds = 74 * 60;
    const uint32_t frames = static_cast<uint32_t>(seconds * bench::kRate);
    struct Target {
        const char* entry;
        const char* subformat;
        const char* file;
        const char* label;
    } targets[] = {
        {"Microsoft wave format", "PCM 16-bit", "t.wav",
         "74 min float -> WAV \"PCM 16-bit\" (for comparison)"},
        {"Audio interchange file format", "PCM 16-bit", "t.aiff",
         "74 min float -> AIFF \"PCM 16-bit\""},
        {"Audio interchange file format - Compressed", "Float 32-bit", "t.aifc",
         "74 min float -> AIFF-C \"Float 32-bit\""},
        {"Apple CoreAudio format (big-endian)", "PCM 24-bit", "t.caf",
         "74 min float -> CAF big-endian \"PCM 24-bit\""},
        {"Apple CoreAudio format (little-endian)", "PCM 16-bit", "t.caf",
         "74 min float -> CAF little-endian \"PCM 16-bit\""},
        {"Apple CoreAudio format (little-endian)", "IMA ADPCM 4-bit", "t.caf",
         "74 min float -> CAF \"IMA ADPCM 4-bit\""},
    };
    for (const Target& t : targets) {
        const std::string path = (dir / t.file).string();
        bool failed = false;
        double e = bench::best(runs, [&] {
            double s = writeTone(path, t.entry, t.subformat, frames);
            failed |= s < 0;
            fs::remove(path);
            return s < 0 ? 1e30 : s;
        });
        if (failed)
            std::printf("%-58s failed\n", t.label);
        else
            bench::report(t.label, e, seconds);
    }

    // 2. Conversions of one 16-bit WAV, ours beside the tools.
    const double minutes = 20;
    const std::string wav = (dir / "in.wav").string();
    if (writeTone(wav, "Microsoft wave format", "PCM 16-bit",
                  static_cast<uint32_t>(minutes * 60 * bench::kRate)) < 0) {
        std::fprintf(stderr, "cannot write the input WAV\n");
        fs::remove_all(dir);
        return 1;
    }
    struct Conversion {
        const char* entry;
        const char* file;
        const char* label;
    } conversions[] = {
        {"Audio interchange file format", "c.aiff", "20 min WAV -> AIFF (dskr)"},
        {"Apple CoreAudio format (little-endian)", "c.caf",
         "20 min WAV -> CAF little-endian (dskr)"},
        {"Apple CoreAudio format (big-endian)", "c.caf", "20 min WAV -> CAF big-endian (dskr)"},
    };
    for (const Conversion& c : conversions) {
        const std::string out = (dir / c.file).string();
        bool unchanged = false, failed = false;
        double e = bench::best(runs, [&] {
            double s = convert(wav, out, c.entry, unchanged);
            failed |= s < 0;
            fs::remove(out);
            return s < 0 ? 1e30 : s;
        });
        std::string label = std::string(c.label) + (unchanged ? "" : " [through floats]");
        if (failed)
            std::printf("%-58s failed\n", label.c_str());
        else
            bench::report(label.c_str(), e, minutes * 60);
    }
    struct Peer {
        const char* tool;
        const char* cmd; // {in} and {out}
        const char* file;
        const char* label;
    } peers[] = {
        {"sox", "sox {in} {out}", "p.aiff", "20 min WAV -> AIFF (sox)"},
        {"sox", "sox {in} {out}", "p.caf", "20 min WAV -> CAF (sox)"},
        {"ffmpeg", "ffmpeg -nostdin -v error -y -i {in} {out}", "p.aiff",
         "20 min WAV -> AIFF (ffmpeg)"},
        {"ffmpeg", "ffmpeg -nostdin -v error -y -i {in} -c:a pcm_s16le {out}", "p.caf",
         "20 min WAV -> CAF little-endian (ffmpeg)"},
    };
    for (const Peer& p : peers) {
        if (std::system((std::string("command -v ") + p.tool + " > /dev/null 2>&1").c_str()) != 0) {
            std::printf("%s not installed: no peer figure\n", p.tool);
            continue;
        }
        const std::string out = (dir / p.file).string();
        std::string cmd = p.cmd;
        cmd.replace(cmd.find("{in}"), 4, "'" + wav + "'");
        cmd.replace(cmd.find("{out}"), 5, "'" + out + "'");
        bool failed = false;
        double e = bench::best(runs, [&] {
            double s = command(cmd);
            failed |= s < 0;
            fs::remove(out);
            return s < 0 ? 1e30 : s;
        });
        if (failed)
            std::printf("%-58s failed\n", p.label);
        else
            bench::report(p.label, e, minutes * 60);
    }
    fs::remove_all(dir);
    return 0;
}
