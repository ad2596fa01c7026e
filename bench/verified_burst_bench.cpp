// Verified burst against burst mode: a generated image (74 minutes by default) in a
// virtual drive throttled to a drive speed (16x by default), every track to a WAV file,
// the disc's AccurateRip record served by a local HTTP server started here. Runs:
//   burst            burst mode, the record given to the batch (checksums and verdicts)
//   verified         verified burst, every track confirmed: nothing read again
//   verified, 1 bad  verified burst, one track's checksum unknown to the record: that
//                    track read again in scratch correcting mode
//   scratch          scratch correcting mode throughout (with "scratch" on the command line)
// Each as wall time and as a multiple of the drive's time for the audio (minutes × 60 /
// speed). Burst and verified burst alternate for `rounds` rounds, the best of each kept
// (the drive's time is fixed; what the machine's load adds to it is not).
//
//   verified_burst_bench [minutes] [speed] [rounds] [scratch]     (defaults: 74 16 1)
#include "bench_batch.h"
#include "cd/accuraterip_tap.h"
#include "job/accuraterip_check.h"
#include "job/batch_runner.h"
#include "metadata/accuraterip_client.h"
#include "support/local_http_server.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The image's checksums, read straight from it, as one pressing of confidence 9.
kyAccurateRipPressing pressingOf(const kyDiscImage& image) {
    const kyDiscToc toc = image.Toc();
    kyAccurateRipTap tap(toc);
    tap.RunStarted(0, image.LeadOut());
    std::vector<uint8_t> sectors(size_t(75) * 2352);
    for (uint32_t s = 0; s < image.LeadOut(); s += 75) {
        const uint32_t n = std::min<uint32_t>(75, image.LeadOut() - s);
        if (!image.ReadSectors(s, n, sectors.data())) continue;
        for (uint32_t i = 0; i < n; ++i) tap.SectorDelivered(s + i, sectors.data() + i * 2352);
    }
    kyAccurateRipPressing p{kyAccurateRipDiscIds(toc), {}};
    for (const kyAccurateRipSums& s : tap.sums()) p.tracks.push_back({9, s.v1, s.frame450});
    return p;
}

} // namespace

int main(int argc, char** argv) {
    const uint32_t minutes = argc > 1 ? uint32_t(std::atoi(argv[1])) : 74;
    const double speed = argc > 2 ? std::atof(argv[2]) : 16;
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
    const bool withScratch = argc > 4 && std::strcmp(argv[4], "scratch") == 0;

    char faults[32];
    std::snprintf(faults, sizeof faults, "speed=%g", speed);
    BenchDisc bench("verified_bench", minutes, faults);
    if (!bench) return 1;
    const kyDiscImage& image = *kyVirtualDriveDevice(0)->Image();
    RipSettings& settings = bench.settings;
    DiscInfo& disc = bench.disc;
    kyDskReader* reader = bench.reader.get();

    const kyAccurateRipPressing pressing = pressingOf(image);
    const size_t badTrack = pressing.tracks.size() / 2; // a track in the middle
    bool oneBad = false;
    kytest::LocalHttpServer server([&](const kytest::LocalHttpServer::Request&) {
        kyAccurateRipPressing p = pressing;
        if (oneBad) p.tracks[badTrack].crc ^= 0x5A5A5A5A;
        return kytest::LocalHttpServer::Reply{
            kytest::LocalHttpServer::answer(kyMakeDbar({p}), 200, true)};
    });
    settings.szAccurateRipServer = server.url();

    const double audioSeconds = image.LeadOut() / 75.0;
    const double driveSeconds = audioSeconds / speed;
    std::printf("verified burst: %u min image, %zu tracks, to WAV, drive at %gx "
                "(%.1f s of drive time; shared machine)\n",
                minutes, disc.tracks.size(), speed, driveSeconds);

    struct Run {
        const char* name;
        int32_t mode;
        bool oneBad;
    };
    std::vector<Run> runs;
    for (int r = 0; r < rounds; ++r) {
        runs.push_back({"burst", KY_READ_BURST, false});
        runs.push_back({"verified burst", KY_READ_VERIFIED, false});
    }
    runs.push_back({"verified, 1 unconfirmed", KY_READ_VERIFIED, true});
    if (withScratch) runs.push_back({"scratch correcting", KY_READ_SCRATCH, false});
    double burst = 0, verified = 0;
    for (const Run& run : runs) {
        settings.eMode = run.mode;
        oneBad = run.oneBad;
        QuietFrontend fe;
        kyBatchRunner runner(settings, disc, *reader, fe);
        const auto t0 = std::chrono::steady_clock::now();
        // Burst mode is given the record as a rip with AccurateRip is; verified burst asks
        // for it itself, inside the timed run.
        if (run.mode != KY_READ_VERIFIED)
            runner.setAccurateRip(kyLookUpAccurateRip(settings, reader->Toc()));
        runner.Run();
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const auto& r = runner.result();
        int confirmed = 0, reread = 0, accurate = 0;
        uint32_t rereads = 0;
        for (const kyFileRecord& f : r.records) {
            confirmed += f.verified == kyVerifiedBurst::Confirmed;
            reread += f.verified == kyVerifiedBurst::Reread;
            rereads += f.rereads;
            for (const auto& a : f.accurateRip)
                accurate += a.verdict.result == kyAccurateRipResult::Match;
        }
        if (run.mode == KY_READ_BURST) burst = burst > 0 ? std::min(burst, s) : s;
        if (run.mode == KY_READ_VERIFIED && !run.oneBad)
            verified = verified > 0 ? std::min(verified, s) : s;
        std::printf("  %-24s %8.2f s  %5.3f x drive time  %+6.1f %% vs burst  "
                    "(%d/%d ok, %d accurate, %d confirmed, %d read again, %u re-reads)\n",
                    run.name, s, s / driveSeconds, burst > 0 ? (s / burst - 1) * 100 : 0.0,
                    r.successes, r.fileCount, accurate, confirmed, reread, rereads);
        if (r.successes != r.fileCount) return 1;
    }
    std::printf("  best of %d: burst %.2f s, verified burst %.2f s (%+.1f %%)\n", rounds, burst,
                verified, (verified / burst - 1) * 100);
    return 0;
}
