#include "cd/cd_text.h"
#include "cd/disc_image_builder.h"
#include <algorithm>
#include <cstring>

kyDiscImage::kyDiscImage() = default;
kyDiscImage::~kyDiscImage() = default;

kyDiscImageBuilder::kyDiscImageBuilder() : image(new kyDiscImage()) {}

int32_t kyDiscImageBuilder::AddSource(std::unique_ptr<kyDiscImage::Source> source) {
    image->m_sources.push_back(std::move(source));
    return int32_t(image->m_sources.size() - 1);
}

void kyDiscImageBuilder::AddExtent(uint32_t lba, uint32_t count, int32_t source, uint64_t sector) {
    if (count) image->m_extents.push_back({lba, count, source, sector});
}

std::unique_ptr<kyDiscImage> kyDiscImageBuilder::Finish() {
    auto& extents = image->m_extents;
    std::sort(
        extents.begin(), extents.end(),
        [](const kyDiscImage::Extent& a, const kyDiscImage::Extent& b) { return a.lba < b.lba; });
    for (kyDiscSession& s : image->m_sessions) {
        s.firstTrack = s.lastTrack = 0;
        for (const kyDiscTrack& t : image->m_tracks) {
            if (t.session != s.number) continue;
            if (!s.firstTrack) s.firstTrack = t.number;
            s.lastTrack = t.number;
        }
    }
    return std::move(image);
}

bool kyDiscImage::ReadSectors(uint32_t lba, uint32_t count, uint8_t* out) const {
    if (!out) return false;
    while (count) {
        // The extent holding lba: the last one starting at or before it.
        auto it = std::upper_bound(m_extents.begin(), m_extents.end(), lba,
                                   [](uint32_t l, const Extent& e) { return l < e.lba; });
        if (it == m_extents.begin()) return false;
        const Extent& e = *(it - 1);
        if (uint64_t(lba) >= uint64_t(e.lba) + e.count) return false;
        const uint32_t n = std::min<uint32_t>(count, e.lba + e.count - lba);
        if (e.source < 0)
            std::memset(out, 0, size_t(n) * 2352);
        else if (!m_sources[size_t(e.source)]->Read(e.sector + (lba - e.lba), n, out))
            return false;
        out += size_t(n) * 2352;
        lba += n;
        count -= n;
    }
    return true;
}

const kyDiscTrack* kyDiscImage::Track(uint32_t number) const {
    for (const kyDiscTrack& t : m_tracks)
        if (t.number == number) return &t;
    return nullptr;
}

std::string kyDiscImage::Isrc(uint32_t track) const {
    const kyDiscTrack* t = Track(track);
    return t ? t->isrc : std::string();
}

kyDiscToc kyDiscImage::Toc() const {
    kyDiscToc toc;
    if (m_tracks.empty()) return toc;
    toc.firstTrack = m_tracks.front().number;
    toc.lastTrack = m_tracks.back().number;
    for (size_t i = 0; i < m_tracks.size(); ++i) {
        const kyDiscTrack& t = m_tracks[i];
        kyTocEntry& e = toc.entries[t.number];
        e.start = t.start;
        e.SetControl(t.control);
        uint32_t end = LeadOut();
        if (i + 1 < m_tracks.size() && m_tracks[i + 1].session == t.session)
            end = m_tracks[i + 1].start;
        else
            for (const kyDiscSession& s : m_sessions)
                if (s.number == t.session) end = s.leadOut;
        e.length = end - t.start;
    }
    kyTocEntry& leadOut = toc.entries[toc.lastTrack + 1];
    leadOut.start = LeadOut();
    leadOut.length = 0;
    leadOut.SetControl(m_tracks.back().control);
    return toc;
}

namespace {

// Appends bytes to an answer, keeping only what fits: the answer's length field still
// tells the whole size, as a drive does with a short allocation length.
struct Answer {
    uint8_t* out;
    size_t capacity;
    size_t size = 0;
    void Put(uint8_t b) {
        if (size < capacity) out[size] = b;
        ++size;
    }
    void SetLength() {
        const size_t n = size - 2;
        if (capacity > 0) out[0] = uint8_t(n >> 8);
        if (capacity > 1) out[1] = uint8_t(n);
    }
};

} // namespace

size_t kyDiscImage::PlainTocAnswer(uint8_t* out, size_t capacity, bool msf) const {
    Answer a{out, out ? capacity : 0};
    a.Put(0);
    a.Put(0);
    a.Put(uint8_t(m_tracks.empty() ? 0 : m_tracks.front().number));
    a.Put(uint8_t(m_tracks.empty() ? 0 : m_tracks.back().number));
    auto descriptor = [&](uint8_t control, uint8_t number, uint32_t lba) {
        a.Put(0);
        a.Put(uint8_t(0x10 | control));
        a.Put(number);
        a.Put(0);
        if (msf) {
            uint8_t m, s, f;
            kyLbaToMsf(lba, m, s, f);
            a.Put(0);
            a.Put(m);
            a.Put(s);
            a.Put(f);
        } else {
            a.Put(uint8_t(lba >> 24));
            a.Put(uint8_t(lba >> 16));
            a.Put(uint8_t(lba >> 8));
            a.Put(uint8_t(lba));
        }
    };
    for (const kyDiscTrack& t : m_tracks) descriptor(t.control, uint8_t(t.number), t.start);
    if (!m_tracks.empty()) descriptor(m_tracks.back().control, 0xAA, LeadOut());
    a.SetLength();
    return a.size;
}

size_t kyDiscImage::FullTocAnswer(uint8_t* out, size_t capacity) const {
    Answer a{out, out ? capacity : 0};
    a.Put(0);
    a.Put(0);
    a.Put(uint8_t(m_sessions.empty() ? 0 : m_sessions.front().number));
    a.Put(uint8_t(m_sessions.empty() ? 0 : m_sessions.back().number));
    auto descriptor = [&](uint8_t session, uint8_t adrControl, uint8_t point, uint32_t msfLba,
                          uint8_t zero, uint8_t pm, uint8_t ps, uint8_t pf) {
        uint8_t m = 0, s = 0, f = 0;
        if (msfLba != UINT32_MAX) kyLbaToMsf(msfLba, m, s, f);
        const uint8_t bytes[11] = {session, adrControl, 0, point, m, s, f, zero, pm, ps, pf};
        for (uint8_t b : bytes) a.Put(b);
    };
    for (size_t i = 0; i < m_sessions.size(); ++i) {
        const kyDiscSession& s = m_sessions[i];
        const kyDiscTrack* first = Track(s.firstTrack);
        const kyDiscTrack* last = Track(s.lastTrack);
        if (!first || !last) continue;
        const uint8_t session = uint8_t(s.number);
        // Disc type in A0's PSEC: 0x20 when the session holds CD-ROM XA (mode 2) data.
        uint8_t discType = 0;
        for (const kyDiscTrack& t : m_tracks)
            if (t.session == s.number && t.mode == 2) discType = 0x20;
        descriptor(session, uint8_t(0x10 | (first->control & 0x0F)), 0xA0, UINT32_MAX, 0,
                   uint8_t(first->number), discType, 0);
        descriptor(session, uint8_t(0x10 | (last->control & 0x0F)), 0xA1, UINT32_MAX, 0,
                   uint8_t(last->number), 0, 0);
        uint8_t m, sec, f;
        kyLbaToMsf(s.leadOut, m, sec, f);
        descriptor(session, uint8_t(0x10 | (last->control & 0x0F)), 0xA2, UINT32_MAX, 0, m, sec, f);
        for (const kyDiscTrack& t : m_tracks) {
            if (t.session != s.number) continue;
            kyLbaToMsf(t.start, m, sec, f);
            descriptor(session, uint8_t(0x10 | (t.control & 0x0F)), uint8_t(t.number), UINT32_MAX,
                       0, m, sec, f);
        }
        // Multi-session: where the next program area may start, and the outermost lead-out.
        if (i + 1 < m_sessions.size()) {
            const kyDiscTrack* next = Track(m_sessions[i + 1].firstTrack);
            descriptor(session, 0x50, 0xB0, next ? next->start : s.leadOut + 11400, 1, 79, 59, 74);
        }
    }
    a.SetLength();
    return a.size;
}

size_t kyDiscImage::CdTextAnswer(uint8_t* out, size_t capacity) const {
    Answer a{out, out ? capacity : 0};
    a.Put(0);
    a.Put(0);
    a.Put(0);
    a.Put(0);
    if (!m_tracks.empty())
        for (uint8_t b :
             kyBuildCdTextPacks(m_cdText, m_tracks.front().number, m_tracks.back().number))
            a.Put(b);
    a.SetLength();
    return a.size;
}

kySubQ kyDiscImage::SubQ(int64_t lba) const {
    kySubQ q;
    q.adr = 1;
    q.absolute = int32_t(std::clamp<int64_t>(lba, -150, int64_t(LeadOut()) + 450000));
    if (m_tracks.empty()) return q;
    // The track whose pregap or body holds the sector: the last one whose pregap starts at
    // or before it (the first track before its own pregap: the lead-in's pause).
    size_t i = 0;
    while (i + 1 < m_tracks.size() && int64_t(m_tracks[i + 1].pregapStart) <= lba) ++i;
    const kyDiscTrack& t = m_tracks[i];
    uint32_t sessionEnd = LeadOut();
    for (const kyDiscSession& s : m_sessions)
        if (s.number == t.session) sessionEnd = s.leadOut;
    q.control = t.control & 0x0F;
    if (lba >= int64_t(sessionEnd)) {
        q.track = 0xAA;
        q.index = 1;
        q.relative = int32_t(lba - sessionEnd);
        return q;
    }
    q.track = t.number;
    q.relative = int32_t(lba - int64_t(t.start)); // counts down to INDEX 01 in the pregap
    q.index = lba < int64_t(t.start) ? 0 : 1;
    if (q.index == 1)
        for (uint32_t at : t.indexes)
            if (int64_t(at) <= lba) ++q.index;
    return q;
}
