#include "cd/disc_toc.h"

namespace {

uint32_t BigEndian32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Bytes of an answer that are really there: the drive's own length field counts the bytes
// after itself, and never more than the buffer we gave it.
size_t AnswerBytes(const uint8_t* answer, size_t bytes) {
    const size_t claimed = ((size_t(answer[0]) << 8) | answer[1]) + 2;
    return claimed < bytes ? claimed : bytes;
}

} // namespace

bool kyDiscToc::BuildFromPlain(const uint8_t* plain, size_t bytes) {
    if (!plain || bytes < 4) return false;
    const size_t available = AnswerBytes(plain, bytes);
    const uint32_t first = plain[2];
    const uint32_t last = plain[3];
    if (first < 1 || last > 99 || first > last) return false;
    const uint32_t descriptors = last - first + 2; // every track and the lead-out
    if (4 + size_t(descriptors) * 8 > available) return false;

    kyDiscToc toc;
    toc.firstTrack = first;
    toc.lastTrack = last;
    for (uint32_t i = 0; i < descriptors; ++i) {
        const uint8_t* d = plain + 4 + 8 * i;
        kyTocEntry& e = toc.entries[first + i];
        e.start = BigEndian32(d + 4);
        e.SetControl(d[1]);
        if (i > 0) {
            kyTocEntry& previous = toc.entries[first + i - 1];
            // Addresses going backwards would give a track of four billion sectors.
            if (e.start < previous.start) return false;
            previous.length = e.start - previous.start;
        }
    }
    toc.entries[last + 1].length = 0;
    *this = toc;
    return true;
}

void kyDiscToc::RefineFromFull(const uint8_t* full, size_t bytes) {
    if (!full || bytes < 4 || firstTrack < 1 || lastTrack > 99 || firstTrack > lastTrack) return;
    const size_t available = AnswerBytes(full, bytes);
    const uint32_t firstSession = full[2];
    const uint32_t lastSession = full[3];
    size_t count = available >= 4 ? (available - 4) / 11 : 0;
    if (count > 100) count = 100;

    bool inSession = false;
    uint32_t session = 0;
    uint32_t lastSeen = 0; // last track seen in this session, 0 = none
    bool haveLeadOut = false;
    uint32_t leadOut = 0;

    for (size_t i = 0; i < count; ++i) {
        const uint8_t* d = full + 4 + 11 * i;
        if (d[0] < firstSession) continue;
        if (d[0] > lastSession) break;
        if (!inSession || d[0] != session) {
            if (inSession && lastSeen && haveLeadOut && leadOut >= entries[lastSeen].start)
                entries[lastSeen].length = leadOut - entries[lastSeen].start;
            inSession = true;
            session = d[0];
            lastSeen = 0;
            haveLeadOut = false;
        }
        const uint8_t adr = d[1] >> 4;
        const uint8_t point = d[3];
        const int32_t p = kyMsfToLba(d[8], d[9], d[10]);
        if (adr == 1 && point >= 1 && point <= 99) {
            // A point the plain table does not know would land on the lead-out record or
            // beyond; an address before 00:02:00 is no track start.
            if (point < firstTrack || point > lastTrack || p < 0) continue;
            kyTocEntry& e = entries[point];
            e.start = uint32_t(p);
            e.SetControl(d[1]);
            if (lastSeen && lastSeen < point && e.start >= entries[lastSeen].start)
                entries[lastSeen].length = e.start - entries[lastSeen].start;
            lastSeen = point;
        } else if (adr == 1 && point == 0xA2) {
            if (p >= 0) {
                leadOut = uint32_t(p);
                haveLeadOut = true;
            }
        } else if (adr == 5 && point >= 1 && point <= 64) {
            const int32_t a = kyMsfToLba(d[4], d[5], d[6]);
            const int32_t b = p;
            if (a < 0 || b < 0) continue;
            for (uint32_t t = firstTrack; t <= lastSeen; ++t) {
                kyTocEntry& e = entries[t];
                const uint32_t end = e.start + e.length;
                if (uint32_t(a) == e.start && uint32_t(b) < end) {
                    e.start = uint32_t(b);
                    e.length = end - uint32_t(b);
                    break;
                }
                if (uint32_t(b) == end && uint32_t(a) > e.start) {
                    e.length = uint32_t(a) - e.start;
                    break;
                }
            }
        }
    }
}
