#include "metadata/accuraterip_client.h"
#include "metadata/freedb_disc_id.h"

#include <cstdio>

namespace {
constexpr size_t kHeaderBytes = 13;
constexpr size_t kEntryBytes = 9;

uint32_t get32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s += char((v >> (8 * i)) & 0xFF);
}

std::string hex8(uint32_t v) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}
} // namespace

kyAccurateRipIds kyAccurateRipDiscIds(const kyDiscToc& toc) {
    kyAccurateRipIds ids;
    if (toc.firstTrack < 1 || toc.lastTrack < toc.firstTrack || toc.lastTrack > 99) return ids;
    uint32_t audio = 0;
    for (uint32_t t = toc.firstTrack; t <= toc.lastTrack; ++t) {
        if (toc.entries[t].data) continue;
        const uint32_t start = toc.entries[t].start;
        ids.id1 += start;
        ids.id2 += (start ? start : 1) * t;
        ++audio;
    }
    if (!audio) return ids;
    ids.audioTracks = audio;
    const uint32_t leadOut = toc.entries[toc.lastTrack + 1].start;
    ids.id1 += leadOut;
    ids.id2 += leadOut * (audio + 1);
    ids.freedb = freedbDiscId(toc);
    return ids;
}

std::string kyAccurateRipPath(const kyAccurateRipIds& ids) {
    const std::string id1 = hex8(ids.id1);
    char count[8];
    std::snprintf(count, sizeof count, "%03u", ids.audioTracks % 1000);
    return std::string(1, id1[7]) + "/" + id1[6] + "/" + id1[5] + "/dBAR-" + count + "-" + id1 +
           "-" + hex8(ids.id2) + "-" + hex8(ids.freedb) + ".bin";
}

bool kyParseDbar(std::string_view bytes, std::vector<kyAccurateRipPressing>& pressings,
                 std::string& error) {
    pressings.clear();
    if (bytes.empty()) {
        error = "the AccurateRip record is empty";
        return false;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < kHeaderBytes) {
            error = "the AccurateRip record is cut off in the header of pressing " +
                    std::to_string(pressings.size() + 1);
            return false;
        }
        kyAccurateRipPressing pressing;
        pressing.ids.audioTracks = p[at];
        pressing.ids.id1 = get32(p + at + 1);
        pressing.ids.id2 = get32(p + at + 5);
        pressing.ids.freedb = get32(p + at + 9);
        at += kHeaderBytes;
        if (pressing.ids.audioTracks == 0) {
            error = "pressing " + std::to_string(pressings.size() + 1) +
                    " of the AccurateRip record has no tracks";
            return false;
        }
        const size_t need = size_t(pressing.ids.audioTracks) * kEntryBytes;
        if (bytes.size() - at < need) {
            error = "the AccurateRip record is cut off in pressing " +
                    std::to_string(pressings.size() + 1) + " (" +
                    std::to_string(bytes.size() - at) + " of " + std::to_string(need) +
                    " bytes of its tracks)";
            return false;
        }
        for (uint32_t t = 0; t < pressing.ids.audioTracks; ++t, at += kEntryBytes)
            pressing.tracks.push_back({p[at], get32(p + at + 1), get32(p + at + 5)});
        pressings.push_back(std::move(pressing));
    }
    return true;
}

std::string kyMakeDbar(const std::vector<kyAccurateRipPressing>& pressings) {
    std::string out;
    for (const kyAccurateRipPressing& p : pressings) {
        out += char(p.tracks.size() & 0xFF);
        put32(out, p.ids.id1);
        put32(out, p.ids.id2);
        put32(out, p.ids.freedb);
        for (const kyAccurateRipEntry& e : p.tracks) {
            out += char(e.confidence);
            put32(out, e.crc);
            put32(out, e.frame450);
        }
    }
    return out;
}

const char* kyAccurateRipResultText(kyAccurateRipResult result) {
    switch (result) {
    case kyAccurateRipResult::Match:
        return "match";
    case kyAccurateRipResult::Mismatch:
        return "mismatch";
    case kyAccurateRipResult::NotFound:
        return "not-found";
    case kyAccurateRipResult::Offline:
        return "offline";
    case kyAccurateRipResult::Skipped:
        break;
    }
    return "skipped";
}

kyAccurateRipTrackVerdict kyAccurateRipRecord::verdict(uint32_t position,
                                                       const kyAccurateRipSums& sums) const {
    kyAccurateRipTrackVerdict v;
    if (state != kyAccurateRipResult::Match) {
        v.result = state;
        return v;
    }
    if (!sums.complete) return v; // skipped: not read whole
    // A track no rip was ever submitted for (confidence 0 in every pressing) is not known:
    // its checksum can neither confirm nor contradict a rip.
    v.result = kyAccurateRipResult::NotFound;
    for (const kyAccurateRipPressing& p : pressings) {
        // A pressing of another track count belongs to another disc.
        if (position < 1 || position > p.tracks.size() ||
            (ids.audioTracks && p.tracks.size() != ids.audioTracks))
            continue;
        const kyAccurateRipEntry& e = p.tracks[position - 1];
        if (e.confidence == 0) continue;
        if (v.result == kyAccurateRipResult::NotFound) v.result = kyAccurateRipResult::Mismatch;
        const bool v1 = e.crc == sums.v1, v2 = e.crc == sums.v2;
        if (!v1 && !v2) continue;
        ++v.pressings;
        if (v.result != kyAccurateRipResult::Match || e.confidence > *v.confidence) {
            v.result = kyAccurateRipResult::Match;
            v.confidence = e.confidence;
            v.v2 = v2;
        }
    }
    return v;
}

kyAccurateRipRecord kyFetchAccurateRip(const kyDiscToc& toc, const kyAccurateRipOptions& options) {
    kyAccurateRipRecord record;
    record.state = kyAccurateRipResult::Offline;
    const kyAccurateRipIds ids = kyAccurateRipDiscIds(toc);
    record.ids = ids;
    if (!ids.audioTracks) {
        record.state = kyAccurateRipResult::NotFound;
        record.message = "the disc has no audio track";
        return record;
    }
    std::string base;
    if (!kyHttpServerUrl(options.server, "the AccurateRip server", "http://", base, record.message))
        return record;
    kyHttpRequest request;
    request.url = base + "/accuraterip/" + kyAccurateRipPath(ids);
    request.timeouts = options.timeouts;
    request.maxAnswerBytes = options.maxBytes;
    request.proxy = options.proxy;
    request.keepGoing = options.keepGoing;
    const kyHttpResponse response = kyHttpPerform(request);
    if (!response.ok()) {
        record.message = "AccurateRip: " + response.message;
        return record;
    }
    if (response.status == 404) {
        record.state = kyAccurateRipResult::NotFound;
        record.message = "the disc is not in the AccurateRip database";
        return record;
    }
    if (response.status != 200) {
        record.message = "the AccurateRip server answered HTTP " + std::to_string(response.status);
        return record;
    }
    std::string error;
    if (!kyParseDbar(response.body, record.pressings, error)) {
        record.message = error;
        return record;
    }
    record.state = kyAccurateRipResult::Match;
    return record;
}
