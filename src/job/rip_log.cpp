#include "job/rip_log.h"
#include "app/shell.h"
#include "cd/crc32_tap.h"
#include "job/accuraterip_check.h"
#include "job/output_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {
std::string number(long long v, bool sign = false) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    std::string s(buf, r.ptr);
    return sign && v > 0 ? "+" + s : s;
}

std::string percent(uint32_t peak) {
    char buf[24];
    auto r =
        std::to_chars(buf, buf + sizeof buf, peak * 100.0 / 32768.0, std::chars_format::fixed, 1);
    return std::string(buf, r.ptr) + " %";
}

std::string hex8(uint32_t v) {
    return kyCrc32Tap::hex(v);
}

void line(std::string& out, const char* label, const std::string& value) {
    std::string l = label;
    l += ':';
    if (l.size() < 22) l.append(22 - l.size(), ' ');
    out += l + value + "\n";
}
} // namespace

const char* kyReadModeName(uint32_t mode) {
    switch (mode) {
    case 0:
        return "Burst mode";
    case 1:
        return "Jitter correcting mode";
    case 2:
        return "Scratch correcting mode";
    case 3:
        return "Verified burst mode";
    default:
        return "Unknown mode";
    }
}

std::string kyRipLogDate() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

std::string kyRipLogPath(const std::string& playlistPath) {
    const size_t slash = playlistPath.rfind('/');
    const size_t dot = playlistPath.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return playlistPath + ".log";
    return playlistPath.substr(0, dot) + ".log";
}

std::string kyVerifiedBurstNote(const kyFileRecord& f) {
    switch (f.verified) {
    case kyVerifiedBurst::None:
        break;
    case kyVerifiedBurst::Confirmed:
        return "burst read, confirmed by AccurateRip";
    case kyVerifiedBurst::Reread: {
        std::string why;
        for (const kyFileRecord::AccurateRip& a : f.burstAccurateRip)
            if (a.verdict.result != kyAccurateRipResult::Match)
                why += (why.empty() ? "" : ", ") + number(a.track) + " " +
                       kyAccurateRipResultText(a.verdict.result);
        if (why.empty()) why = f.burstAccurateRip.empty() ? "no track to check" : "suspect sectors";
        return "read again in scratch correcting mode (burst read not confirmed: " + why + ")";
    }
    case kyVerifiedBurst::Secure:
        return "read in scratch correcting mode (no AccurateRip record)";
    case kyVerifiedBurst::BurstKept:
        return "burst read kept unconfirmed: " + f.verifyNote;
    }
    return {};
}

std::string kyRipLogSummary(const std::vector<kyFileRecord>& files) {
    int tracks = 0, accurate = 0;
    std::string notAccurate;
    bool checked = false;
    for (const kyFileRecord& f : files) {
        for (const kyFileRecord::AccurateRip& a : f.accurateRip) {
            ++tracks;
            checked |= a.verdict.result != kyAccurateRipResult::Skipped;
            if (a.verdict.result == kyAccurateRipResult::Match) {
                ++accurate;
                continue;
            }
            notAccurate += (notAccurate.empty() ? "" : ", ") + number(a.track) + " (" +
                           kyAccurateRipResultText(a.verdict.result) + ")";
        }
    }
    std::string reread; // files read again by verified burst, by their first track
    for (const kyFileRecord& f : files)
        if (f.verified == kyVerifiedBurst::Reread || f.verified == kyVerifiedBurst::BurstKept)
            reread += (reread.empty() ? "" : ", ") + number(f.firstTrack);
    if (!reread.empty()) reread = "; read again in scratch correcting mode: " + reread;
    if (tracks == 0) return "No track was read whole, none could be checked" + reread;
    if (!checked) return "Not checked against AccurateRip" + reread;
    if (accurate == tracks) return "All tracks accurately ripped" + reread;
    return number(accurate) + " of " + number(tracks) +
           " tracks accurately ripped; not accurately ripped: " + notAccurate + reread;
}

std::string kyRipLogText(const kyRipLogContext& c, const std::vector<kyFileRecord>& files) {
    std::string out = std::string(kProgramCaption) + " rip log, " + c.date + "\n\n";
    line(out, "Drive", c.drive.empty() ? "(unnamed)" : c.drive);
    line(out, "Read mode", kyReadModeName(c.readMode));
    if (!c.verifiedBurst.empty()) line(out, "Verified burst", c.verifiedBurst);
    line(out, "Read offset", number(c.readOffset, true) + " samples");
    line(out, "Speed", c.speed >= 255 ? "max" : number(c.speed) + "x");
    line(out, "Test and copy", c.testAndCopy ? "yes" : "no");
    line(out, "Pre-emphasis", c.keepPreEmphasis ? "kept as on the disc" : "removed");
    if (c.accurateRip) {
        const kyAccurateRipIds& ids = c.accurateRip->ids;
        line(out, "AccurateRip disc",
             ids.audioTracks ? kyAccurateRipPath(ids).substr(6) : std::string("(no audio)"));
        line(out, "freedb disc id", ids.audioTracks ? kyCrc32Tap::hex(ids.freedb) : "");
        std::string state;
        switch (c.accurateRip->state) {
        case kyAccurateRipResult::Match:
            state =
                "record found, " + number(long(c.accurateRip->pressings.size())) + " pressing(s)";
            break;
        case kyAccurateRipResult::Skipped:
            state = "not asked";
            break;
        default:
            state = c.accurateRip->message;
            break;
        }
        line(out, "AccurateRip", state);
    }
    for (const kyFileRecord& f : files) {
        out += "\nFile " + f.path + "\n";
        line(out, "  Tracks",
             (f.firstTrack == f.lastTrack ? number(f.firstTrack)
                                          : number(f.firstTrack) + "-" + number(f.lastTrack)) +
                 " (sectors " + number(f.firstSector) + "-" +
                 number(f.endSector > f.firstSector ? f.endSector - 1 : f.firstSector) + ")");
        uint16_t peak = 0;
        bool emphasis = false;
        for (const kyFileRecord::AccurateRip& a : f.accurateRip) {
            peak = std::max(peak, a.sums.peak);
            emphasis |= a.track >= 1 && a.track <= 99 && c.toc.entries[a.track].preEmphasis;
        }
        if (!f.accurateRip.empty()) line(out, "  Peak", percent(peak));
        if (emphasis)
            line(out, "  Pre-emphasis", c.keepPreEmphasis ? "yes, kept (PRE)" : "yes, removed");
        line(out, "  Copy CRC", f.copyCrc ? hex8(*f.copyCrc) : "-");
        if (c.testAndCopy) {
            line(out, "  Test CRC", f.testCrc ? hex8(*f.testCrc) : "-");
            if (f.testCrc && f.copyCrc)
                line(out, "  Copy",
                     *f.testCrc == *f.copyCrc ? "test and copy agree" : "test and copy DIFFER");
        }
        line(out, "  Re-reads", number(f.rereads));
        auto trackLine = [&](const char* prefix, const kyFileRecord::AccurateRip& a) {
            line(out, (prefix + number(a.track)).c_str(),
                 "AccurateRip v1 " + hex8(a.sums.v1) + ", v2 " + hex8(a.sums.v2) + ": " +
                     kyAccurateRipVerdictText(a.verdict));
        };
        if (f.verified != kyVerifiedBurst::None) line(out, "  Settled", kyVerifiedBurstNote(f));
        // A file read again says first what the burst read gave.
        for (const kyFileRecord::AccurateRip& a : f.burstAccurateRip)
            trackLine("  Burst track ", a);
        if (f.burstCrc && (f.verified == kyVerifiedBurst::Reread))
            line(out, "  Burst CRC",
                 hex8(*f.burstCrc) + (!f.copyCrc                  ? std::string()
                                      : *f.copyCrc == *f.burstCrc ? ", the secure read agrees"
                                                                  : ", the secure read DIFFERS"));
        for (const kyFileRecord::AccurateRip& a : f.accurateRip) trackLine("  Track ", a);
        for (const kySectorSpan& span : f.suspect) line(out, "  Suspect", kySpanText(c.toc, span));
        line(out, "  Result", kyFileOutcomeText(f.outcome));
    }
    out += "\n" + kyRipLogSummary(files) + "\n";
    return out;
}

bool kyWriteRipLog(const std::string& path, const std::string& text, std::string& error) {
    kyPendingFile file;
    if (!file.create(path)) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::FILE* f = std::fopen(file.temporaryPath().c_str(), "wb");
    bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const int saved = errno;
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok || !file.commit()) {
        error = path + ": " + std::strerror(ok ? errno : saved);
        file.discard();
        return false;
    }
    return true;
}
