#include "job/offset_finder.h"
#include "cd/accuraterip_tap.h"
#include "cd/cd_sector.h"
#include "core/filter.h"

#include <map>
#include <set>
#include <vector>

namespace {
constexpr uint32_t kFrame = 450;
// Sectors on each side of frame 450 that hold every candidate (5880 samples = 10 sectors).
constexpr uint32_t kMargin = kMaxReadOffset / kycd::kSectorFrames + 1;

// Keeps the audio of one run.
class Collect : public kyCdAudioTap {
public:
    void RunStarted(uint32_t, uint32_t) override { bytes.clear(); }
    void SectorDelivered(uint32_t, const uint8_t* pcm) override {
        bytes.insert(bytes.end(), pcm, pcm + kycd::kSectorBytes);
    }
    std::vector<uint8_t> bytes;
};

// Takes whatever the source sends, as untouched sectors where it can.
class Discard : public kySinkFilter2 {
public:
    Discard() : kySinkFilter2("Offset search") {}
    kyError Run() override {
        if (m_upstream && m_upstream->GetInterleavedFormat(2)) return m_upstream->RunInterleaved();
        return kySinkFilter2::Run();
    }
    kyError Write(float**, uint32_t) override { return KY_OK; }
    kyError WriteInterleaved(const void*, uint32_t, uint32_t) override { return KY_OK; }
};
} // namespace

kyOffsetFinding kyFindReadOffset(kyDskReader& reader, const kyAccurateRipRecord& record,
                                 int maxTracks) {
    kyOffsetFinding result;
    if (record.state != kyAccurateRipResult::Match) {
        result.message =
            record.message.empty() ? "the disc is not in the AccurateRip database" : record.message;
        return result;
    }
    const kyDiscToc toc = reader.Toc();
    const int32_t savedOffset = reader.ReadOffset();
    reader.SetReadOffset(0);
    reader.SetReadMode(KY_READ_BURST);

    // offset -> tracks and pressings that agree
    std::map<int32_t, std::pair<std::set<uint32_t>, std::set<size_t>>> votes;
    uint32_t position = 0;
    for (uint32_t t = toc.firstTrack; t <= toc.lastTrack && result.tracksTried < maxTracks; ++t) {
        if (toc.entries[t].data) continue;
        ++position;
        const kyTocEntry& e = toc.entries[t];
        if (e.length < kFrame + kMargin + 1) continue;
        std::vector<std::pair<size_t, uint32_t>> wanted; // pressing, checksum
        for (size_t p = 0; p < record.pressings.size(); ++p) {
            const kyAccurateRipPressing& pressing = record.pressings[p];
            if (pressing.tracks.size() != record.ids.audioTracks ||
                position > pressing.tracks.size())
                continue;
            // Silence checks out at every offset: it tells nothing.
            if (pressing.tracks[position - 1].frame450)
                wanted.emplace_back(p, pressing.tracks[position - 1].frame450);
        }
        if (wanted.empty()) continue;
        const uint32_t first = e.start + kFrame - kMargin;
        const uint32_t end = e.start + kFrame + kMargin + 1;
        Collect audio;
        Discard sink;
        reader.AddAudioTap(&audio);
        const bool ranged = reader.SetRange(first, end);
        reader.Connect(&sink);
        const kyError err = ranged ? sink.Run() : KYERR_UNKNOWN;
        reader.Disconnect();
        reader.RemoveAudioTap(&audio);
        if (kyFailed(err) || audio.bytes.size() != size_t(end - first) * kycd::kSectorBytes)
            continue;
        ++result.tracksTried;
        const int64_t base = int64_t(kMargin) * kycd::kSectorFrames; // frame 450 at offset 0
        for (int32_t o = -kMaxReadOffset; o <= kMaxReadOffset; ++o) {
            const uint32_t crc = kyAccurateRipFrameCrc(audio.bytes.data() + (base + o) * 4);
            for (const auto& [p, sum] : wanted)
                if (sum == crc) {
                    votes[o].first.insert(t);
                    votes[o].second.insert(p);
                }
        }
    }
    reader.SetReadOffset(savedOffset);

    for (const auto& [offset, agree] : votes) {
        const int tracks = int(agree.first.size()), pressings = int(agree.second.size());
        if (tracks > result.tracks || (tracks == result.tracks && pressings > result.pressings)) {
            result.offset = offset;
            result.tracks = tracks;
            result.pressings = pressings;
        }
    }
    result.found = result.tracks > 0 && result.tracks >= std::min(2, result.tracksTried);
    if (!result.found)
        result.message = result.tracksTried == 0
                             ? "no track of the disc could be read around frame 450"
                             : "no offset from -5880 to +5880 samples matches the database";
    return result;
}
