// WAV writing speed: 74 minutes of stereo float blocks to "PCM 16-bit", and a whole
// 74-minute disc image read by the CD source over a virtual drive and stored unchanged
// (the interleaved path), beside cd-paranoia -B ripping the same image to WAV files.
// Each figure is the best of N runs (argument 1, default 3), since the machine may be
// shared; prints × realtime.
#include "cd/dsk_reader.h"
#include "cd/virtual_drive.h"
#include "formats/format_catalog.h"
#include "formats/writer_filter.h"
#include "tone_source.h"
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using bench::best;
using bench::kRate;
using bench::now;
using bench::report;
using bench::ToneSource;

constexpr double kSeconds = 74 * 60;

int32_t wavIndex() {
    kyFormatCatalog& c = kyFormatCatalog::Instance();
    for (size_t i = 0; i < c.Count(); ++i)
        if (c.Entry(static_cast<int32_t>(i))->displayName == "Microsoft wave format" &&
            c.Entry(static_cast<int32_t>(i))->writer)
            return static_cast<int32_t>(i);
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("dskr-wav-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string out = (dir / "out.wav").string();

    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;

    // 1. Float blocks through the quantizer to 16-bit PCM.
    double el = best(runs, [&] {
        kyWriterFilter* w = nullptr;
        if (kyFailed(kyFormatCatalog::Instance().CreateWriter(w, out.c_str(), "PCM 16-bit",
                                                              wavIndex()))) {
            std::fprintf(stderr, "cannot create %s\n", out.c_str());
            std::exit(1);
        }
        auto* src = new ToneSource(static_cast<uint32_t>(kSeconds * kRate), 4096);
        src->Connect(w);
        double t = now();
        kyError err = w->Run();
        double e = now() - t;
        w->DestroyChain();
        if (kyFailed(err)) std::fprintf(stderr, "float run failed: %s\n", kyErrorMessage(err));
        fs::remove(out);
        return e;
    });
    report("74 min stereo float blocks -> WAV \"PCM 16-bit\"", el, kSeconds);

    // 2. The CD source over a 74-minute CUE/BIN image, interleaved straight into WAV.
    std::string error;
    std::string cue = kyWriteTestImage(dir.string(), 74, error);
    if (cue.empty()) {
        std::fprintf(stderr, "no test image: %s\n", error.c_str());
        fs::remove_all(dir);
        return 1;
    }
    double discSeconds = 0;
    {
        std::shared_ptr<kyDiscImage> image = kyDiscImage::LoadCue(cue, error);
        if (!image || kyAddVirtualDrive(image, "", error) < 0) {
            std::fprintf(stderr, "no virtual drive: %s\n", error.c_str());
            fs::remove_all(dir);
            return 1;
        }
        auto* reader = new kyDskReader;
        int32_t number = -1;
        for (uint32_t i = 0; i < reader->DriveCount(); ++i)
            if (reader->DriveRecord(i)->devicePath.rfind("virtual", 0) == 0) number = int32_t(i);
        if (number < 0 || !reader->OpenDrive(static_cast<uint32_t>(number))) {
            std::fprintf(stderr, "cannot open the virtual drive\n");
            delete reader;
            fs::remove_all(dir);
            return 1;
        }
        reader->SetTrackRange(reader->Toc().firstTrack, reader->Toc().lastTrack);
        reader->SetReadMode(KY_READ_BURST);
        discSeconds = (reader->RangeEnd() - reader->RangeStart()) / 75.0;
        bool passthrough = false;
        double disc = best(runs, [&] {
            kyWriterFilter* w = nullptr;
            kyFormatCatalog::Instance().CreateWriter(w, out.c_str(), "PCM 16-bit", wavIndex());
            reader->Connect(w);
            double t = now();
            kyError err = w->Run();
            double e = now() - t;
            passthrough = w->passthrough();
            reader->Disconnect();
            delete w;
            if (kyFailed(err)) std::fprintf(stderr, "disc run failed: %s\n", kyErrorMessage(err));
            fs::remove(out);
            return e;
        });
        delete reader;
        report(passthrough ? "CD source (virtual drive, burst) -> WAV, interleaved"
                           : "CD source (virtual drive, burst) -> WAV, through floats",
               disc, discSeconds);
    }

    // 3. The peer on the same image.
    if (std::system("command -v cd-paranoia > /dev/null 2>&1") == 0) {
        for (const char* mode : {"-B", "-Z -B"}) {
            fs::path rip = dir / "paranoia";
            fs::create_directories(rip);
            std::string cmd = "cd '" + rip.string() + "' && cd-paranoia -q " + mode + " -d '" +
                              cue + "' > /dev/null 2>&1";
            int rc = 0;
            double peer = best(runs, [&] {
                double t = now();
                rc |= std::system(cmd.c_str());
                double e = now() - t;
                // The rip must really hold the disc's audio.
                uintmax_t bytes = 0;
                for (const auto& f : fs::directory_iterator(rip)) bytes += f.file_size();
                if (bytes < static_cast<uintmax_t>(discSeconds * kRate * 4)) rc |= 1;
                fs::remove_all(rip);
                fs::create_directories(rip);
                return e;
            });
            std::string label = std::string("cd-paranoia ") + mode + " (same image, WAV files)";
            if (rc != 0) label += " [failed]";
            report(label.c_str(), peer, discSeconds);
            fs::remove_all(rip);
        }
    } else {
        std::printf("cd-paranoia not installed: no peer figure\n");
    }
    fs::remove_all(dir);
    return 0;
}
