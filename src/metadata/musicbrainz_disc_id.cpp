#include "metadata/musicbrainz_disc_id.h"

#include "metadata/sha1.h"

#include <cstdio>

namespace {

// The gap between an enhanced CD's audio session and its data track: the audio session's
// lead-out (6750 sectors) and the data session's lead-in (4500) and pregap (150).
constexpr uint32_t kSessionGap = 11400;

// Base64 with the three characters that are awkward in URLs replaced.
std::string base64(const kySha1::Digest& d) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._";
    std::string out;
    for (size_t i = 0; i < d.size(); i += 3) {
        const uint32_t n = uint32_t(d[i]) << 16 | (i + 1 < d.size() ? uint32_t(d[i + 1]) << 8 : 0) |
                           (i + 2 < d.size() ? uint32_t(d[i + 2]) : 0);
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += i + 1 < d.size() ? alphabet[(n >> 6) & 63] : '-';
        out += i + 2 < d.size() ? alphabet[n & 63] : '-';
    }
    return out;
}

} // namespace

bool musicBrainzToc(const kyDiscToc& toc, MusicBrainzToc& out) {
    out = MusicBrainzToc{};
    if (toc.firstTrack < 1 || toc.lastTrack > 99 || toc.firstTrack > toc.lastTrack) return false;
    uint32_t lastAudio = 0;
    for (uint32_t t = toc.firstTrack; t <= toc.lastTrack; ++t)
        if (!toc.entries[t].data) lastAudio = t;
    if (lastAudio == 0) return false;
    out.firstTrack = toc.firstTrack;
    out.lastTrack = lastAudio;
    for (uint32_t t = toc.firstTrack; t <= lastAudio; ++t)
        out.offsets.push_back(toc.entries[t].start + 150);
    if (lastAudio < toc.lastTrack) {
        const uint32_t data = toc.entries[lastAudio + 1].start;
        // A table too short for the gap (a damaged or made-up one) ends the session where
        // the data track begins rather than before the last audio track.
        out.leadOut = (data >= kSessionGap && data - kSessionGap > toc.entries[lastAudio].start
                           ? data - kSessionGap
                           : data) +
                      150;
    } else {
        out.leadOut = toc.entries[toc.lastTrack + 1].start + 150;
    }
    return true;
}

std::string musicBrainzDiscId(const kyDiscToc& toc) {
    MusicBrainzToc m;
    if (!musicBrainzToc(toc, m)) return {};
    char text[16];
    kySha1 h;
    std::snprintf(text, sizeof text, "%02X", m.firstTrack);
    h.update(text);
    std::snprintf(text, sizeof text, "%02X", m.lastTrack);
    h.update(text);
    // The lead-out, then 99 track offsets (tracks the disc does not have count as 0).
    for (uint32_t i = 0; i < 100; ++i) {
        uint32_t offset = 0;
        if (i == 0)
            offset = m.leadOut;
        else if (i >= m.firstTrack && i <= m.lastTrack)
            offset = m.offsets[i - m.firstTrack];
        std::snprintf(text, sizeof text, "%08X", offset);
        h.update(text);
    }
    return base64(h.finish());
}

std::string musicBrainzTocText(const kyDiscToc& toc) {
    MusicBrainzToc m;
    if (!musicBrainzToc(toc, m)) return {};
    std::string out = std::to_string(m.firstTrack) + " " + std::to_string(m.lastTrack) + " " +
                      std::to_string(m.leadOut);
    for (uint32_t o : m.offsets) out += " " + std::to_string(o);
    return out;
}

bool isMusicBrainzDiscId(const std::string& text) {
    if (text.size() != 28) return false;
    for (char c : text)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-'))
            return false;
    return true;
}
