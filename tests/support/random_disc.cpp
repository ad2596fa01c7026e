#include "support/random_disc.h"
#include "cd/disc_image_builder.h"
#include <cmath>
#include <cstring>
#include <vector>

namespace kytest {
namespace {

struct Rng {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t between(uint32_t lo, uint32_t hi) { return lo + uint32_t(next() % (hi - lo + 1)); }
    double unit() { return double(next() >> 11) / 9007199254740992.0; }
};

// The disc's bytes, made once.
class Memory : public kyDiscImage::Source {
public:
    explicit Memory(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    bool Read(uint64_t sector, uint32_t count, uint8_t* out) const override {
        if ((sector + count) * 2352 > m_bytes.size()) return false;
        std::memcpy(out, m_bytes.data() + sector * 2352, size_t(count) * 2352);
        return true;
    }

private:
    std::vector<uint8_t> m_bytes;
};

} // namespace

std::shared_ptr<kyDiscImage> makeRandomDisc(uint64_t seed, const RandomDiscShape& shape) {
    Rng rng{seed * 0x2545F4914F6CDD1Dull + 7};
    const uint32_t tracks = rng.between(shape.minTracks, shape.maxTracks);
    std::vector<uint32_t> starts;
    std::vector<uint8_t> pcm;
    for (uint32_t t = 0; t < tracks; ++t) {
        const uint32_t sectors = rng.between(shape.minSectors, shape.maxSectors);
        // (maxSilence 0: no track starts or ends in silence)
        const uint32_t lead =
            rng.unit() < 0.35 && shape.maxSilence ? rng.between(1, shape.maxSilence) : 0;
        const uint32_t tail =
            rng.unit() < 0.35 && shape.maxSilence ? rng.between(1, shape.maxSilence) : 0;
        starts.push_back(uint32_t(pcm.size() / 2352));
        const size_t base = pcm.size();
        pcm.resize(base + size_t(sectors) * 2352, 0);
        // A few partials that change from track to track, and a little noise.
        const double f1 = 110 + rng.unit() * 600, f2 = 90 + rng.unit() * 900;
        const double f3 = 200 + rng.unit() * 2000, level = 0.2 + rng.unit() * 0.5;
        const uint32_t frames = sectors * 588;
        const uint32_t from = std::min(lead, sectors / 2) * 588;
        const uint32_t to = frames - std::min(tail, sectors / 3) * 588;
        for (uint32_t f = from; f < to; ++f) {
            const double x = double(f) / 44100.0;
            const double noise = (rng.unit() - 0.5) * 0.06;
            const double l =
                level * (0.5 * std::sin(2 * M_PI * f1 * x) + 0.3 * std::sin(2 * M_PI * f3 * x)) +
                noise;
            const double r = level * (0.5 * std::sin(2 * M_PI * f2 * x) +
                                      0.2 * std::sin(2 * M_PI * f1 * 1.5 * x)) -
                             noise;
            const int16_t s[2] = {int16_t(std::lrint(l * 32767)), int16_t(std::lrint(r * 32767))};
            std::memcpy(&pcm[base + size_t(f) * 4], s, 4);
        }
    }
    const uint32_t total = uint32_t(pcm.size() / 2352);
    kyDiscImageBuilder b;
    const int32_t source = b.AddSource(std::make_unique<Memory>(std::move(pcm)));
    b.AddExtent(0, total, source, 0);
    for (uint32_t t = 0; t < tracks; ++t) {
        kyDiscTrack track;
        track.number = t + 1;
        track.start = track.pregapStart = starts[t];
        b.Tracks().push_back(track);
    }
    kyDiscSession session;
    session.leadOut = total;
    b.Sessions().push_back(session);
    return std::shared_ptr<kyDiscImage>(b.Finish());
}

} // namespace kytest
