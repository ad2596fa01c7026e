// Feeds arbitrary bytes to every parser of what a CDDB server sends (query, read and sites
// answers, xmcd records, cdplayer.ini), and checks that a record read, written and read
// again comes back as it was, with every written line whole and short enough.
#include "metadata/disc_lookup.h"
#include "metadata/freedb_client.h"
#include "metadata/xmcd.h"
#include "platform/profile_file.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

kyDiscToc twelveTracks() {
    kyDiscToc toc;
    toc.firstTrack = 1;
    toc.lastTrack = 12;
    for (uint32_t t = 1; t <= 13; ++t) {
        toc.entries[t].start = (t - 1) * 18000;
        toc.entries[t].length = t <= 12 ? 18000 : 0;
    }
    return toc;
}

void check(bool condition) {
    if (!condition) std::abort();
}

// What a value becomes on its way through the writer and back.
std::string normal(const std::string& value) {
    return xmcdUnescape(xmcdEscape(value));
}

void roundTrip(const DiscInfo& read, const kyDiscToc& toc) {
    const std::string record = xmcdRecord(read, toc, read.revision, "fuzz 1.0");
    for (size_t pos = 0; pos < record.size();) {
        const size_t eol = record.find("\r\n", pos);
        check(eol != std::string::npos && eol - pos <= 253);
        pos = eol + 2;
    }
    DiscInfo again;
    again.makeRows(toc);
    std::string error;
    check(discInfoFromXmcd(record, again, error));
    check(again.revision == read.revision);
    check(again.year == (read.year > 0 ? read.year : 0));
    check(again.genre == normal(read.genre));
    check(again.extended == normal(read.extended));
    const std::string artist = normal(read.artist);
    const bool splitsAgain =
        artist.find(" / ") != std::string::npos ||
        (artist.size() >= 2 && artist.compare(artist.size() - 2, 2, " /") == 0);
    if (!splitsAgain) {
        check(again.artist == artist);
        check(again.title == normal(read.title));
    }
    for (size_t i = 0; i < read.tracks.size(); ++i) {
        check(again.tracks[i].name == normal(read.tracks[i].name));
        check(again.tracks[i].extended == normal(read.tracks[i].extended));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    static const kyDiscToc toc = twelveTracks();
    std::string error;

    std::vector<FreedbMatch> matches;
    bool exact = false;
    if (parseQueryAnswer(text, matches, exact, error))
        for (const FreedbMatch& m : matches) {
            check(!m.discId.empty() && m.discId.size() <= 8 && categoryName(m.category));
            choiceLine(m);
        }

    DiscInfo info;
    info.makeRows(toc);
    if (parseReadAnswer(text, FreedbMatch{"06019002", 8, ""}, info, error)) roundTrip(info, toc);

    DiscInfo record;
    record.makeRows(toc);
    if (discInfoFromXmcd(text, record, error)) roundTrip(record, toc);

    std::vector<FreedbSite> sites;
    if (parseSitesAnswer(text, sites, error))
        for (const FreedbSite& s : sites)
            check(s.host.size() <= 255 && s.path.size() <= 80 && s.latitude.size() <= 15 &&
                  s.longitude.size() <= 15 && s.description.size() <= 80);

    kyProfileFile ini;
    ini.parse(text);
    ini.getString("CA800", "artist");
    ini.getInt("ca800", "numtracks", 0);
    return 0;
}
