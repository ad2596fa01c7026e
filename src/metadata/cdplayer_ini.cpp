#include "metadata/cdplayer_ini.h"

#include "core/text.h"
#include "platform/profile_file.h"
#include "platform/user_folders.h"

#include <charconv>

namespace {
// The longest text the file's values are read with.
constexpr size_t kValueCharacters = 1023;

// A value as UTF-8, at most 1023 characters.
std::string decoded(const std::string& raw) {
    std::string text = kyUtf8OrSingleByte(raw);
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 &&
            ++characters > kValueCharacters) {
            text.resize(i);
            break;
        }
    return text;
}
} // namespace

uint32_t cdPlayerIniKey(const kyDiscToc& toc) {
    if (toc.firstTrack < 1 || toc.lastTrack > 99 || toc.firstTrack > toc.lastTrack) return 0;
    uint32_t key = 0;
    for (uint32_t t = toc.firstTrack; t <= toc.lastTrack; ++t) {
        const kyTocEntry& e = toc.entries[t];
        if (e.data) continue;
        const uint32_t address = e.start + 150;
        key += (address / 75 / 60) * 65536 + (address / 75 % 60) * 256 + address % 75;
    }
    return key;
}

std::string cdPlayerIniPath() {
    const std::string config = kyUserConfigFolder();
    return config.empty() ? std::string() : config + "/Velmora/cdplayer.ini";
}

bool readCdPlayerIni(DiscInfo& info, const kyDiscToc& toc, const std::string& path) {
    kyProfileFile file;
    if (!file.load(path.empty() ? cdPlayerIniPath() : path)) return false;
    char section[16];
    auto [end, ec] = std::to_chars(section, section + sizeof section, cdPlayerIniKey(toc), 16);
    for (char* p = section; p < end; ++p)
        if (*p >= 'a' && *p <= 'f') *p = static_cast<char>(*p - 32);
    const std::string name(section, end);
    const long count = file.getInt(name, "numtracks", 0);
    if (count <= 0 || count > static_cast<long>(info.tracks.size())) return false;
    if (std::string artist = decoded(file.getString(name, "artist")); !artist.empty())
        info.artist = artist;
    if (std::string title = decoded(file.getString(name, "title")); !title.empty())
        info.title = title;
    for (long i = 0; i < count; ++i)
        if (std::string track = decoded(file.getString(name, std::to_string(i))); !track.empty())
            info.tracks[static_cast<size_t>(i)].name = track;
    return true;
}
