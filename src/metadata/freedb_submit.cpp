#include "metadata/freedb_submit.h"

#include "core/text.h"

#include "metadata/freedb_disc_id.h"
#include "metadata/xmcd.h"

#include <climits>

namespace {
constexpr size_t kSubmitAnswerBytes = 32768;

// A row still carrying the name it was made with, or none.
bool unnamed(const TrackEntry& row) {
    if (row.name.empty()) return true;
    const int32_t n = row.number < 0 ? 0 : row.number;
    const std::string digits = std::to_string(n / 10 % 10) + std::to_string(n % 10);
    return kyEqualsNoCaseAscii(row.name, (row.data ? "Data " : "Track ") + digits) ||
           kyEqualsNoCaseAscii(row.name, "Track" + digits);
}
} // namespace

const char* submitMenuText(const DiscInfo& info) {
    return info.revision < 0 ? "Submit new disc..." : "Submit disc update...";
}

std::string submitConfirmation(const DiscInfo& info) {
    return std::string("\nPlease carefully verify that all info is correct before submitting "
                       "this ") +
           (info.revision < 0 ? "new disc to" : "as an update of the disc in") +
           " the freedb database.";
}

std::string submitCheck(const DiscInfo& info) {
    if (info.artist.empty() || kyEqualsNoCaseAscii(info.artist, "New artist"))
        return "Please enter the artist name before submitting a disc!\n\n(for 'collection' "
               "type discs - type in 'Various')";
    if (info.title.empty() || kyEqualsNoCaseAscii(info.title, "New album"))
        return "Please enter the album name before submitting a disc!";
    const char* category = categoryName(info.category);
    if (!category || !*category) return "Please select a category before submitting a disc!";
    for (const TrackEntry& row : info.tracks)
        if (unnamed(row)) return "Please enter track names before submitting a disc!";
    return {};
}

bool submitDisc(FreedbClient& client, const kyDiscToc& toc, DiscInfo& info) {
    bool named = !info.artist.empty() && !info.title.empty() && !info.tracks.empty();
    for (const TrackEntry& row : info.tracks) named &= !row.name.empty();
    const char* category = categoryName(info.category);
    const std::string query = discIdQueryText(toc);
    if (!named || !category || query.empty()) {
        client.setFailure(FreedbFailure::Malformed,
                          "the record needs an artist, a title, a category and every track's "
                          "name before it can be submitted");
        return false;
    }
    const std::string discId = query.substr(0, query.find('+'));
    const std::vector<std::string> headers = {
        std::string("Category: ") + category,
        "Discid: " + discId,
        "User-Email: " + client.email(),
        "Submit-Mode: submit",
        "Charset: UTF-8",
        "X-Cddbd-Note: Sent by " + client.identity,
    };
    const int32_t revision = info.revision < INT32_MAX ? info.revision + 1 : INT32_MAX;
    std::string answer;
    if (!postRequest(client, kFreedbSubmitPath, xmcdRecord(info, toc, revision, client.identity),
                     &headers, answer, kSubmitAnswerBytes))
        return false;
    if (answer.compare(0, 3, "200") != 0) {
        std::string line = answer.substr(0, std::min(answer.find_first_of("\r\n"), size_t{80}));
        for (char& c : line)
            if (static_cast<unsigned char>(c) < 32) c = ' ';
        client.setFailure(FreedbFailure::Refused, "the server answered \"" + line + "\"");
        return false;
    }
    info.revision = revision;
    return true;
}
