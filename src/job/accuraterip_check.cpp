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
