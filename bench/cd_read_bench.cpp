// Reads the demo disc and a generated 74-minute CUE/BIN image through the virtual drive
// into a raw PCM file in each read mode, as one range and track by track (one range per
// track, as a batch reads them), and times `cd-paranoia -r` on the same image with and
// without -Z in the same run. Prints x realtime (audio seconds per second), and what reading
// track by track costs over one range in processor time (each start tied to the end of the
// track before). With --faults
// the track-by-track reads go through a drive with those faults and the extra reads per
// track are printed as well.
//
// Usage: cd_read_bench [--minutes N] [--runs N] [--faults SPEC]
//        (defaults: 74 minutes, best of 3 runs, no faults)
#include "cd/dsk_reader.h"
#include "cd/dsk_reader_mode_spti.h"
#include "cd/virtual_drive.h"
#include "core/data_format.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

// Writes what it is given to a raw PCM file: interleaved blocks as they come, planar
// blocks rounded to 16 bits as a writer would.
class RawFileSink : public kySinkFilter2 {
public:
    explicit RawFileSink(const std::string& path) : kySinkFilter2("Raw file") {
        m_file = std::fopen(path.c_str(), "wb");
        // Buffered in large blocks, as a file writer would.
        if (m_file) std::setvbuf(m_file, nullptr, _IOFBF, 1 << 20);
    }
    ~RawFileSink() {
        if (m_file) std::fclose(m_file);
    }
    bool ok() const { return m_file != nullptr; }
    uint64_t bytes() const { return m_bytes; }

    kyError Write(float** planes, uint32_t frames) override {
        m_buffer.resize(static_cast<size_t>(frames) * 4);
        kyError e = PlanarToInterleaved(m_buffer.data(), planes, nullptr, 2, 0, frames,
                                        "PCM 16-bit", false, false);
        if (kyFailed(e)) return e;
        return put(m_buffer.data(), m_buffer.size());
    }
    kyError WriteInterleaved(const void* data, uint32_t byteCount, uint32_t) override {
        return put(data, byteCount);
    }

private:
    kyError put(const void* data, size_t n) {
        if (std::fwrite(data, 1, n, m_file) != n) return KYERR_WRITE_FILE;
        m_bytes += n;
        return KY_OK;
    }
    std::FILE* m_file = nullptr;
    uint64_t m_bytes = 0;
    std::vector<uint8_t> m_buffer;
};

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

struct Disc {
    std::string name;
    std::shared_ptr<kyDiscImage> image;
    std::string cue; // empty for the demo disc
};

// Best time of `runs` reads of every audio track of `disc` in `mode`, as one range or one
// range per track, through a drive with `faults`; 0 on failure. `rereads` gets the extra
// reads per track of the last run.
double TimeMode(const Disc& disc, uint32_t mode, bool byTrack, const std::string& faults,
                const std::string& dir, int runs, double& audioSeconds, double& rereads,
                double& cpuBest) {
    kyClearVirtualDrives();
    std::string error;
    if (kyAddVirtualDrive(disc.image, faults, error) < 0) {
        std::fprintf(stderr, "virtual drive: %s\n", error.c_str());
        return 0;
    }
    kyOpticalDriveRoots roots; // no real drives: only the virtual one
    roots.deviceDir = dir + "/no-devices";
    roots.cdromInfo = dir + "/no-info";
    kyDskReader::Methods methods;
    methods.passThrough = std::make_unique<kyDskReaderModeSPTI>(roots);
    kyDskReader reader(std::move(methods));
    // Settling pauses of a drive with faults are not what is measured.
    reader.SetSleepFunction([](std::chrono::milliseconds) {});
    if (!reader.OpenDrive(0)) return 0;
    const kyDiscToc& toc = reader.Toc();
    uint32_t first = 0, last = 0;
    for (uint32_t t = toc.firstTrack; t <= toc.lastTrack; ++t)
        if (!toc.entries[t].data) {
            if (!first) first = t;
            last = t;
        }
    if (!first) return 0;
    const uint32_t start = toc.entries[first].start;
    const uint32_t end = toc.entries[last].start + toc.entries[last].length;
    audioSeconds = (end - start) / 75.0;

    double best = 0;
    for (int run = 0; run < runs; ++run) {
        const std::string out = dir + "/out.raw";
        RawFileSink sink(out);
        if (!sink.ok()) return 0;
        uint64_t extra = 0;
        uint32_t ranges = 0;
        const auto t0 = std::chrono::steady_clock::now();
        const std::clock_t c0 = std::clock();
        for (uint32_t t = first; t <= last; ++t) {
            if (byTrack ? toc.entries[t].data : t != first) continue;
            reader.SetReadMode(mode);
            if (byTrack)
                reader.SetTrackRange(t, t);
            else
                reader.SetRange(start, end);
            reader.Connect(&sink);
            const kyError e = reader.GetInterleavedFormat(2) ? reader.RunInterleaved() : sink.Run();
            reader.Disconnect();
            if (kyFailed(e)) {
                std::fprintf(stderr, "read failed: %s\n", kyErrorMessage(e));
                return 0;
            }
            extra += reader.Report().rereads;
            ++ranges;
        }
        const double s = Seconds(std::chrono::steady_clock::now() - t0);
        const double cpu = double(std::clock() - c0) / CLOCKS_PER_SEC;
        if (cpuBest == 0 || cpu < cpuBest) cpuBest = cpu;
        if (!byTrack && sink.bytes() != static_cast<uint64_t>(end - start) * KY_SECTOR_BYTES) {
            std::fprintf(stderr, "short read\n");
            return 0;
        }
        rereads = ranges ? double(extra) / ranges : 0;
        if (best == 0 || s < best) best = s;
    }
    std::filesystem::remove(dir + "/out.raw");
    return best;
}

// Best time of `runs` runs of cd-paranoia on the CUE sheet; 0 when it is missing or fails.
double TimeParanoia(const std::string& cue, bool noParanoia, const std::string& dir, int runs) {
    if (std::system("command -v cd-paranoia >/dev/null 2>&1") != 0) return 0;
    const std::string out = dir + "/paranoia.raw";
    const std::string cmd = std::string("cd-paranoia -q ") + (noParanoia ? "-Z " : "") + "-r -d '" +
                            cue + "' -- 1- '" + out + "' >/dev/null 2>&1";
    double best = 0;
    for (int run = 0; run < runs; ++run) {
        const auto t0 = std::chrono::steady_clock::now();
        const int rc = std::system(cmd.c_str());
        const double s = Seconds(std::chrono::steady_clock::now() - t0);
        if (rc != 0) {
            std::fprintf(stderr, "cd-paranoia failed: %s\n", cmd.c_str());
            return 0;
        }
        if (best == 0 || s < best) best = s;
    }
    std::filesystem::remove(out);
    return best;
}

} // namespace

int main(int argc, char** argv) {
    uint32_t minutes = 74;
    int runs = 3;
    std::string faults;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--minutes"))
            minutes = static_cast<uint32_t>(std::atoi(argv[i + 1]));
        if (!std::strcmp(argv[i], "--runs")) runs = std::max(1, std::atoi(argv[i + 1]));
        if (!std::strcmp(argv[i], "--faults")) faults = argv[i + 1];
    }

    char tmpl[] = "/tmp/dskr-cd-bench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = tmpl;

    std::vector<Disc> discs;
    discs.push_back({"demo disc", kyDiscImage::Demo(), ""});
    std::string error;
    const auto t0 = std::chrono::steady_clock::now();
    const std::string cue = kyWriteTestImage(dir, minutes, error);
    if (cue.empty()) {
        std::fprintf(stderr, "test image: %s\n", error.c_str());
    } else {
        std::printf("wrote a %u-minute CUE/BIN image in %.1f s\n", minutes,
                    Seconds(std::chrono::steady_clock::now() - t0));
        auto image = kyDiscImage::LoadCue(cue, error);
        if (!image)
            std::fprintf(stderr, "loading %s: %s\n", cue.c_str(), error.c_str());
        else
            discs.push_back({std::to_string(minutes) + "-minute image", std::move(image), cue});
    }

    // Processor time too: on a busy machine it says more than the clock.
    std::printf("%-18s %-34s %10s %12s %12s %14s\n", "disc", "reader", "seconds", "x realtime",
                "x rt (cpu)", "rereads/track");
    double burst = 0, jitter = 0, paranoiaZ = 0, paranoia = 0;
    // Processor seconds of the image per mode, as one range and track by track: what tying
    // each track's start to the end of the track before costs.
    double cpuOf[2][3] = {};
    for (const Disc& disc : discs) {
        const char* names[] = {"DskR burst", "DskR jitter correcting", "DskR scratch correcting"};
        for (int byTrack = 0; byTrack <= 1; ++byTrack)
            for (uint32_t mode = 0; mode < 3; ++mode) {
                double audio = 0, rereads = 0, cpu = 0;
                // Faults only on the track-by-track reads, the way a batch reads.
                const double s = TimeMode(disc, mode, byTrack, byTrack ? faults : std::string(),
                                          dir, runs, audio, rereads, cpu);
                if (s <= 0) continue;
                const std::string reader = std::string(names[mode]) + (byTrack ? ", by track" : "");
                std::printf("%-18s %-34s %10.2f %12.1f %12.1f %14.1f\n", disc.name.c_str(),
                            reader.c_str(), s, audio / s, cpu > 0 ? audio / cpu : 0.0, rereads);
                if (!disc.cue.empty()) cpuOf[byTrack][mode] = cpu;
                if (!disc.cue.empty() && mode == 0 && !byTrack) burst = audio / s;
                if (!disc.cue.empty() && mode == 1 && !byTrack) jitter = audio / s;
            }
        if (disc.cue.empty()) continue;
        // Audio seconds of the image as cd-paranoia reads it: every track up to the lead-out.
        double audio = 0;
        const auto& tracks = disc.image->Tracks();
        for (size_t i = 0; i < tracks.size(); ++i) {
            if (tracks[i].IsData()) continue;
            const uint32_t next =
                i + 1 < tracks.size() ? tracks[i + 1].start : disc.image->LeadOut();
            audio += (next - tracks[i].start) / 75.0;
        }
        const double z = TimeParanoia(disc.cue, true, dir, runs);
        const double p = TimeParanoia(disc.cue, false, dir, runs);
        if (z > 0) {
            paranoiaZ = audio / z;
            std::printf("%-18s %-34s %10.2f %12.1f\n", disc.name.c_str(), "cd-paranoia -Z -r", z,
                        paranoiaZ);
        }
        if (p > 0) {
            paranoia = audio / p;
            std::printf("%-18s %-34s %10.2f %12.1f\n", disc.name.c_str(), "cd-paranoia -r", p,
                        paranoia);
        }
    }
    for (uint32_t mode = 1; mode < 3 && faults.empty(); ++mode)
        if (cpuOf[0][mode] > 0 && cpuOf[1][mode] > 0)
            std::printf("%s, track by track / one range (processor time): %.3f\n",
                        mode == 1 ? "jitter correcting" : "scratch correcting",
                        cpuOf[1][mode] / cpuOf[0][mode]);
    if (burst > 0 && paranoiaZ > 0)
        std::printf("burst / cd-paranoia -Z: %.2f\n", burst / paranoiaZ);
    if (jitter > 0 && paranoia > 0)
        std::printf("jitter correcting / cd-paranoia (paranoia mode): %.2f\n", jitter / paranoia);

    kyClearVirtualDrives();
    std::filesystem::remove_all(dir);
    return 0;
}
