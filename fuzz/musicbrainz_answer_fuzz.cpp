// Feeds arbitrary bytes to the parsers of what the MusicBrainz web service sends (disc id
// and release answers), names a disc from every release found, and puts the names through
// the tag writers and back: ids stay well-formed, texts hold no control characters and
// stay bounded, and what a tag carries comes back as it went in.
#include "core/property_table.h"
#include "formats/tags/ape_tag.h"
#include "formats/tags/id3v2.h"
#include "job/release_tags.h"
#include "metadata/musicbrainz_disc_id.h"
#include "metadata/musicbrainz_release.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// Eleven audio tracks and a data track in a second session, as on an enhanced CD.
kyDiscToc enhancedDisc() {
    kyDiscToc toc;
    toc.firstTrack = 1;
    toc.lastTrack = 12;
    for (uint32_t t = 1; t <= 13; ++t) {
        toc.entries[t].start = (t - 1) * 18000 + (t == 12 ? 11400 : 0);
        toc.entries[t].length = t <= 11 ? 18000 : t == 12 ? 6600 : 0;
        toc.entries[t].data = t == 12;
    }
    return toc;
}

bool cleanText(const std::string& s, size_t limit) {
    if (s.size() > limit) return false;
    for (char c : s)
        if (static_cast<unsigned char>(c) < 32 || c == 127) return false;
    return true;
}

bool idList(const std::string& ids) {
    for (size_t pos = 0; pos < ids.size(); pos += 37) {
        if (!isMusicBrainzId(std::string_view(ids).substr(pos, 36))) return false;
        if (pos + 36 < ids.size() && ids[pos + 36] != '/') return false;
    }
    return true;
}

void checkRelease(const MusicBrainzRelease& r) {
    check(isMusicBrainzId(r.id));
    check(r.releaseGroupId.empty() || isMusicBrainzId(r.releaseGroupId));
    check(cleanText(r.title, 1024) && cleanText(r.artist.text, 1024));
    for (const std::string& a : r.artist.artistIds) check(isMusicBrainzId(a));
    for (const MusicBrainzMedium& m : r.media) {
        for (const std::string& d : m.discIds) check(isMusicBrainzDiscId(d));
        for (const MusicBrainzTrack& t : m.tracks) {
            check(t.id.empty() || isMusicBrainzId(t.id));
            check(t.recordingId.empty() || isMusicBrainzId(t.recordingId));
            check(cleanText(t.title, 1024) && cleanText(t.number, 1024));
            for (const std::string& i : t.isrcs) check(i.size() == 12);
        }
    }
}

// The release's names on the tags of one file, read back from an ID3v2 tag and an APE tag.
void tagRoundTrip(const DiscInfo& info, size_t row) {
    kyPropertyTable props;
    kySetReleaseProperties(props, info, row, row, "");
    for (auto build : {+[](kyPropertyTable& p) { return kyBuildId3v2Tag(p); },
                       +[](kyPropertyTable& p) { return kyBuildApeTag(p); }}) {
        const std::vector<uint8_t> tag = build(props);
        kyPropertyTable back;
        const bool id3 = tag.size() >= 3 && tag[0] == 'I';
        if (tag.empty()) continue;
        check(id3 ? kyParseId3v2Tag(tag.data(), tag.size(), back)
                  : kyParseApeTag(tag.data(), tag.size(), back));
        for (uint32_t slot : {KYPROP_MB_RELEASE_ID, KYPROP_MB_RECORDING_ID, KYPROP_MB_ARTIST_ID,
                              KYPROP_MB_ALBUM_ARTIST_ID, KYPROP_RELEASE_COUNTRY, KYPROP_BARCODE,
                              KYPROP_DISC_NUMBER, KYPROP_DISC_TOTAL}) {
            const char* in = props.getUtf8(slot);
            const char* out = back.getUtf8(slot);
            if (std::string(in ? in : "") != std::string(out ? out : "")) {
                std::fprintf(stderr, "%s tag, slot %u: wrote \"%s\", read \"%s\"\n",
                             id3 ? "ID3v2" : "APE", slot, in ? in : "", out ? out : "");
                std::abort();
            }
        }
    }
}

void nameDisc(const MusicBrainzRelease& r, const kyDiscToc& toc) {
    checkRelease(r);
    const int medium = matchingMedium(r, toc);
    check(medium >= -1 && medium < static_cast<int>(r.media.size()));
    releaseDistinction(r, medium);
    DiscInfo info;
    info.makeRows(toc);
    const size_t rows = info.tracks.size();
    discInfoFromRelease(r, medium, toc, info);
    check(info.tracks.size() == rows);
    check(info.release.releaseId == r.id);
    check(idList(info.release.artistIds));
    for (const TrackEntry& t : info.tracks) {
        check(idList(t.artistIds));
        check(t.recordingId.empty() || isMusicBrainzId(t.recordingId));
    }
    tagRoundTrip(info, 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    static const kyDiscToc toc = enhancedDisc();
    std::string error;

    MusicBrainzDiscAnswer answer;
    if (parseMusicBrainzDiscAnswer(text, answer, error)) {
        check(answer.releases.size() <= 100);
        for (const MusicBrainzRelease& r : answer.releases) nameDisc(r, toc);
    } else {
        check(!error.empty() && answer.releases.empty());
    }

    MusicBrainzRelease release;
    if (parseMusicBrainzRelease(text, release, error)) nameDisc(release, toc);
    return 0;
}
