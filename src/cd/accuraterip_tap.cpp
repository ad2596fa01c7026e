#include "cd/accuraterip_tap.h"
#include "cd/cd_sector.h"

#include <algorithm>

namespace {
constexpr uint64_t kSkipFrames = 5 * kycd::kSectorFrames; // at the disc's two ends

uint32_t wordAt(const uint8_t* pcm, uint32_t frame) {
    const uint8_t* p = pcm + frame * 4;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The sums of the low and of the high halves of position * word over a whole sector whose
// positions all count and fit in 32 bits: no test per frame, so the compiler vectorises it
// (32 x 32 -> 64-bit multiplies, lanes of 64-bit sums that cannot overflow in 588 terms).
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target_clones("avx2", "default")))
#endif
void addWholeSector(const uint8_t* pcm, uint32_t position, uint32_t& v1, uint32_t& v2) {
    uint64_t low = 0, high = 0;
    for (uint32_t f = 0; f < kycd::kSectorFrames; ++f) {
        const uint64_t product = uint64_t(position + f) * wordAt(pcm, f);
        low += product & 0xFFFFFFFFu;
        high += product >> 32;
    }
    v1 += static_cast<uint32_t>(low);
    v2 += static_cast<uint32_t>(low) + static_cast<uint32_t>(high);
}

// The largest sample magnitude of a sector, 0..32768.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target_clones("avx2", "default")))
#endif
uint16_t
peakOf(const uint8_t* pcm) {
    int32_t peak = 0;
    for (uint32_t i = 0; i < kycd::kSectorSamples; ++i) {
        const int32_t v = kycd::SampleAt(pcm, i);
        peak = std::max(peak, v < 0 ? -v : v);
    }
    return static_cast<uint16_t>(peak);
}
} // namespace

void kyAccurateRipAdd(const uint8_t* pcm, uint64_t position, uint64_t first, uint64_t last,
                      uint32_t& v1, uint32_t& v2) {
    const uint64_t end = position + kycd::kSectorFrames - 1;
    if (position >= first && end <= last && end <= 0xFFFFFFFFu) {
        addWholeSector(pcm, static_cast<uint32_t>(position), v1, v2);
        return;
    }
    for (uint32_t f = 0; f < kycd::kSectorFrames; ++f) {
        const uint64_t pos = position + f;
        if (pos < first || pos > last) continue;
        const uint64_t product = (pos & 0xFFFFFFFFu) * wordAt(pcm, f);
        v1 += static_cast<uint32_t>(product);
        v2 += static_cast<uint32_t>(product) + static_cast<uint32_t>(product >> 32);
    }
}

uint32_t kyAccurateRipFrameCrc(const uint8_t* pcm) {
    uint32_t v1 = 0, v2 = 0;
    kyAccurateRipAdd(pcm, 1, 1, kycd::kSectorFrames, v1, v2);
    return v1;
}

kyAccurateRipTap::kyAccurateRipTap(const kyDiscToc& toc) : m_toc(toc) {
    for (uint32_t t = toc.firstTrack; t >= 1 && t <= toc.lastTrack && t <= 99; ++t) {
        if (toc.entries[t].data) continue;
        if (!m_firstAudio) m_firstAudio = t;
        m_lastAudio = t;
    }
}

int kyAccurateRipTap::trackOf(uint32_t sector) const {
    if (m_cached < m_sums.size()) {
        const kyTocEntry& e = m_toc.entries[m_sums[m_cached].track];
        if (sector >= e.start && sector - e.start < e.length) return int(m_cached);
    }
    return -1;
}

void kyAccurateRipTap::RunStarted(uint32_t firstSector, uint32_t endSector) {
    m_sums.clear();
    m_progress.clear();
    m_cached = 0;
    if (!m_firstAudio) return;
    for (uint32_t t = m_firstAudio; t <= m_lastAudio; ++t) {
        const kyTocEntry& e = m_toc.entries[t];
        if (e.data || e.length == 0) continue;
        if (e.start >= endSector || e.start + e.length <= firstSector) continue;
        kyAccurateRipSums s;
        s.track = t;
        m_sums.push_back(s);
        // A track whose start is not in the run cannot be read whole by it.
        m_progress.push_back({e.start, e.start < firstSector});
    }
}

void kyAccurateRipTap::SectorDelivered(uint32_t sector, const uint8_t* pcm) {
    int i = trackOf(sector);
    if (i < 0) {
        for (size_t k = 0; k < m_sums.size(); ++k) {
            const kyTocEntry& e = m_toc.entries[m_sums[k].track];
            if (sector >= e.start && sector - e.start < e.length) {
                m_cached = uint32_t(k);
                i = int(k);
                break;
            }
        }
        if (i < 0) return; // pregap of a user range, a data track: no checksum
    }
    kyAccurateRipSums& s = m_sums[size_t(i)];
    Progress& p = m_progress[size_t(i)];
    const kyTocEntry& e = m_toc.entries[s.track];
    if (sector != p.next) p.broken = true;
    p.next = sector + 1;
    const uint32_t index = sector - e.start;
    const uint64_t frames = uint64_t(e.length) * kycd::kSectorFrames;
    const uint64_t first = s.track == m_firstAudio ? kSkipFrames : 1;
    const uint64_t last =
        s.track == m_lastAudio ? (frames > kSkipFrames ? frames - kSkipFrames : 0) : frames;
    kyAccurateRipAdd(pcm, uint64_t(index) * kycd::kSectorFrames + 1, first, last, s.v1, s.v2);
    s.peak = std::max(s.peak, peakOf(pcm));
    if (index == 450) {
        s.frame450 = kyAccurateRipFrameCrc(pcm);
        s.hasFrame450 = true;
    }
    if (index + 1 == e.length) s.complete = !p.broken;
}

const kyAccurateRipSums* kyAccurateRipTap::track(uint32_t number) const {
    auto it = std::find_if(m_sums.begin(), m_sums.end(),
                           [number](const kyAccurateRipSums& s) { return s.track == number; });
    return it == m_sums.end() ? nullptr : &*it;
}
