#include "job/accuraterip_check.h"
#include "core/text.h"
#include "platform/http_client.h"

#include <algorithm>

kyAccurateRipRecord kyLookUpAccurateRip(const RipSettings& settings, const kyDiscToc& toc,
                                        std::function<bool()> keepGoing) {
    if (!settings.bAccurateRip) {
        kyAccurateRipRecord skipped;
        skipped.ids = kyAccurateRipDiscIds(toc);
        skipped.message = "AccurateRip was not asked";
        return skipped;
    }
    kyAccurateRipOptions options;
    options.server = settings.szAccurateRipServer;
    const long ms = long(std::clamp(settings.iAccurateRipTimeout, 1, 600)) * 1000;
    options.timeouts = {ms, ms, 3 * ms};
    options.proxy = kyHttpProxyUrl(kySingleByteToUtf8(settings.szDBProxy));
    options.keepGoing = std::move(keepGoing);
    return kyFetchAccurateRip(toc, options);
}

void kyJudgeTracks(const kyAccurateRipRecord& database, const kyAccurateRipTap& tap,
                   const kyDiscToc& toc, kyFileRecord& record) {
    record.accurateRip.clear();
    for (const kyAccurateRipSums& sums : tap.sums()) {
        uint32_t position = 0; // among the audio tracks, as the record lists them
        for (uint32_t t = toc.firstTrack; t <= sums.track; ++t)
            if (!toc.entries[t].data) ++position;
        kyFileRecord::AccurateRip entry;
        entry.track = int32_t(sums.track);
        entry.sums = sums;
        entry.verdict = database.verdict(position, sums);
        record.accurateRip.push_back(entry);
    }
}

bool kyTracksConfirmed(const kyFileRecord& record) {
    if (record.firstTrack < 1 || record.accurateRip.empty() || !record.suspect.empty() ||
        (record.testCrc && record.copyCrc && *record.testCrc != *record.copyCrc))
        return false;
    return std::all_of(record.accurateRip.begin(), record.accurateRip.end(), [](const auto& a) {
        return a.verdict.result == kyAccurateRipResult::Match;
    });
}

void kyMarkContradictedTracks(const kyDiscToc& toc, kyFileRecord& record) {
    kyReadReport merged;
    merged.suspect = record.suspect;
    for (const kyFileRecord::AccurateRip& a : record.accurateRip) {
        if (a.verdict.result != kyAccurateRipResult::Mismatch || a.track < 1 || a.track > 99)
            continue;
        const kyTocEntry& e = toc.entries[a.track];
        const uint32_t first = std::max(e.start, record.firstSector);
        const uint32_t end = std::min(e.start + e.length, record.endSector);
        if (first >= end) continue;
        // Agreeing reads of every sector outweigh a database that may not know this pressing.
        const bool unsure =
            std::any_of(record.suspect.begin(), record.suspect.end(),
                        [&](const kySectorSpan& s) { return s.first < end && s.last >= first; });
        if (record.secureRead && !unsure) continue;
        merged.addSuspect(first, end - 1);
    }
    record.suspect = merged.suspect;
}

std::string kyAccurateRipVerdictText(const kyAccurateRipTrackVerdict& v) {
    switch (v.result) {
    case kyAccurateRipResult::Match:
        return std::string("Accurately ripped (confidence ") + std::to_string(*v.confidence) +
               (v.v2 ? ", v2)" : ", v1)");
    case kyAccurateRipResult::Mismatch:
        return "Not accurately ripped (no pressing matches)";
    case kyAccurateRipResult::NotFound:
        return "Not present in the AccurateRip database";
    case kyAccurateRipResult::Offline:
        return "AccurateRip database not reached";
    case kyAccurateRipResult::Skipped:
        break;
    }
    return "Not checked";
}
