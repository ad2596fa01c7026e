// CD-Text packs: built for the virtual drive, parsed from any drive's answer.
#include "cd/cd_text.h"
#include "core/text.h"
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace {

constexpr uint8_t kFirstTextType = 0x80; // title; 0x81 performer ... 0x85 message
constexpr uint8_t kLastTextType = 0x85;
constexpr uint8_t kGenreType = 0x87;
constexpr uint8_t kSizeType = 0x8F;
constexpr size_t kPackText = 12;
constexpr size_t kMaxPacks = 256;
constexpr uint8_t kLatin1 = 0x00;
constexpr uint8_t kAscii = 0x01;
constexpr uint8_t kEnglish = 0x09;

// Genre codes of the genre pack; the text after the code may say more.
constexpr std::array<const char*, 28> kGenres = {"",
                                                 "",
                                                 "Adult Contemporary",
                                                 "Alternative Rock",
                                                 "Childrens Music",
                                                 "Classical",
                                                 "Contemporary Christian",
                                                 "Country",
                                                 "Dance",
                                                 "Easy Listening",
                                                 "Erotic",
                                                 "Folk",
                                                 "Gospel",
                                                 "Hip Hop",
                                                 "Jazz",
                                                 "Latin",
                                                 "Musical",
                                                 "New Age",
                                                 "Opera",
                                                 "Operetta",
                                                 "Pop Music",
                                                 "Rap",
                                                 "Reggae",
                                                 "Rock Music",
                                                 "Rhythm & Blues",
                                                 "Sound Effects",
                                                 "Spoken Word",
                                                 "World Music"};

std::string* Field(kyCdTextFields& f, uint8_t type) {
    switch (type) {
    case 0x80:
        return &f.title;
    case 0x81:
        return &f.performer;
    case 0x82:
        return &f.songwriter;
    case 0x83:
        return &f.composer;
    case 0x84:
        return &f.arranger;
    case 0x85:
        return &f.message;
    default:
        return nullptr;
    }
}

std::string ToLatin1(const std::string& utf8) {
    std::string out;
    for (char32_t c : kyUtf8ToUtf32(utf8)) {
        if (c == 0) continue; // would end the string early
        out += c < 0x100 ? char(uint8_t(c)) : '?';
    }
    return out;
}

std::string FromLatin1(const std::string& bytes) {
    std::string out;
    for (char c : bytes) kyAppendUtf8(out, char32_t(uint8_t(c)));
    return out;
}

// Cuts one type's strings (each with its track number) into packs.
struct PackWriter {
    std::vector<std::array<uint8_t, KY_CD_TEXT_PACK_BYTES>> packs;

    void Type(uint8_t type, const std::vector<std::pair<uint32_t, std::string>>& strings) {
        // Every byte of the type's text, with the track it belongs to and its place in its
        // string.
        std::string bytes;
        std::vector<uint8_t> track;
        std::vector<uint32_t> position;
        for (const auto& [number, text] : strings) {
            for (size_t i = 0; i <= text.size(); ++i) {
                bytes += i < text.size() ? text[i] : '\0';
                track.push_back(uint8_t(number));
                position.push_back(uint32_t(i));
            }
        }
        for (size_t at = 0; at < bytes.size(); at += kPackText) {
            std::array<uint8_t, KY_CD_TEXT_PACK_BYTES> p{};
            p[0] = type;
            p[1] = track[at];
            p[3] = uint8_t(std::min<uint32_t>(position[at], 15)); // block 0, single byte
            const size_t n = std::min(kPackText, bytes.size() - at);
            std::memcpy(p.data() + 4, bytes.data() + at, n);
            packs.push_back(p);
        }
    }
};

} // namespace

uint16_t kyCdTextCrc(const uint8_t* data, size_t bytes) {
    uint16_t crc = 0;
    for (size_t i = 0; i < bytes; ++i) {
        crc ^= uint16_t(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return uint16_t(~crc);
}

std::vector<uint8_t> kyBuildCdTextPacks(const kyCdText& text, uint32_t firstTrack,
                                        uint32_t lastTrack) {
    std::vector<uint8_t> out;
    if (text.Empty() || firstTrack < 1 || lastTrack < firstTrack || lastTrack > 99) return out;
    std::vector<std::array<uint8_t, KY_CD_TEXT_PACK_BYTES>> packs;
    std::array<uint8_t, 16> counts{};
    for (uint8_t type = kFirstTextType; type <= kGenreType; ++type) {
        std::vector<std::pair<uint32_t, std::string>> strings;
        bool any = false;
        if (type == kGenreType) {
            if (text.genre.empty()) continue;
            // The code of a genre the list names, else "not defined" and the text.
            uint16_t code = 1;
            for (size_t i = 2; i < kGenres.size(); ++i)
                if (kyEqualsNoCaseAscii(text.genre, kGenres[i])) code = uint16_t(i);
            std::string g;
            g += char(code >> 8);
            g += char(code & 0xFF);
            g += ToLatin1(text.genre);
            strings.emplace_back(0, g);
            any = true;
        } else if (type <= kLastTextType) {
            kyCdTextFields disc = text.disc;
            const std::string d = ToLatin1(*Field(disc, type));
            any = !d.empty();
            strings.emplace_back(0, d);
            std::string previous;
            for (uint32_t n = firstTrack; n <= lastTrack; ++n) {
                kyCdTextFields t;
                if (const kyCdTextFields* f = text.Track(n)) t = *f;
                std::string s = ToLatin1(*Field(t, type));
                any = any || !s.empty();
                // A track that repeats the one before says so with a TAB.
                const bool same = n > firstTrack && !s.empty() && s == previous;
                previous = s;
                strings.emplace_back(n, same ? std::string("\t") : s);
            }
        } else {
            continue; // disc identification and the rest are not written
        }
        if (!any) continue;
        PackWriter w;
        w.Type(type, strings);
        if (packs.size() + w.packs.size() + 3 > kMaxPacks) continue;
        counts[type - 0x80] = uint8_t(w.packs.size());
        packs.insert(packs.end(), w.packs.begin(), w.packs.end());
    }
    if (packs.empty()) return out;

    // The size packs: character code, tracks, pack counts, last sequence number, language.
    counts[kSizeType - 0x80] = 3;
    uint8_t size[36] = {};
    size[0] = kLatin1;
    size[1] = uint8_t(firstTrack);
    size[2] = uint8_t(lastTrack);
    std::memcpy(size + 4, counts.data(), 16);
    size[20] = uint8_t(packs.size() + 3 - 1);
    size[28] = kEnglish;
    for (uint8_t i = 0; i < 3; ++i) {
        std::array<uint8_t, KY_CD_TEXT_PACK_BYTES> p{};
        p[0] = kSizeType;
        p[1] = i;
        std::memcpy(p.data() + 4, size + 12 * i, kPackText);
        packs.push_back(p);
    }
    out.reserve(packs.size() * KY_CD_TEXT_PACK_BYTES);
    for (size_t i = 0; i < packs.size(); ++i) {
        std::array<uint8_t, KY_CD_TEXT_PACK_BYTES>& p = packs[i];
        p[2] = uint8_t(i);
        const uint16_t crc = kyCdTextCrc(p.data(), 16);
        p[16] = uint8_t(crc >> 8);
        p[17] = uint8_t(crc);
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

kyCdTextParseReport kyParseCdTextPacks(const uint8_t* data, size_t bytes, kyCdText& text) {
    text = kyCdText();
    kyCdTextParseReport report;
    if (!data) return report;
    report.packs = uint32_t(bytes / KY_CD_TEXT_PACK_BYTES);

    // The intact packs of block 0, by type, in the order they came.
    std::vector<const uint8_t*> byType[16];
    for (uint32_t i = 0; i < report.packs; ++i) {
        const uint8_t* p = data + size_t(i) * KY_CD_TEXT_PACK_BYTES;
        const uint16_t crc = uint16_t((p[16] << 8) | p[17]);
        if (crc != kyCdTextCrc(p, 16)) {
            ++report.badCrc;
            continue;
        }
        const uint8_t block = (p[3] >> 4) & 7;
        if (p[0] < 0x80 || p[0] > 0x8F || block != 0 || (p[1] & 0x80)) {
            ++report.ignored;
            continue;
        }
        byType[p[0] - 0x80].push_back(p);
    }

    // Character code and first track from the size packs, when they are all there.
    uint8_t charCode = kLatin1;
    uint32_t firstTrack = 1;
    const std::vector<const uint8_t*>& size = byType[kSizeType - 0x80];
    if (size.size() == 3 && size[0][1] == 0 && size[1][1] == 1 && size[2][1] == 2) {
        charCode = size[0][4];
        if (size[0][5] >= 1 && size[0][5] <= 99) firstTrack = size[0][5];
    }
    if (charCode != kLatin1 && charCode != kAscii) {
        for (const auto& list : byType) report.ignored += uint32_t(list.size());
        return report;
    }

    // Strings of each text type, by track (0 the disc); a lone TAB repeats the track before.
    for (uint8_t type = kFirstTextType; type <= kLastTextType; ++type) {
        std::vector<std::string> found(100);
        std::vector<bool> have(100, false);
        uint32_t track = 0;
        std::string current;
        bool damaged = true; // nothing read yet: a continuation cannot be used
        int previousSeq = -2;
        for (const uint8_t* p : byType[type - 0x80]) {
            const uint32_t packTrack = p[1];
            const uint32_t position = p[3] & 0x0F;
            const bool follows = p[2] == previousSeq + 1 && packTrack == track &&
                                 position == std::min<size_t>(current.size(), 15);
            previousSeq = p[2];
            if (p[3] & 0x80) { // double-byte text in a single-byte block: not ours to read
                ++report.ignored;
                damaged = true;
                continue;
            }
            if (!follows) {
                // A pack went missing or does not fit: what was being read is lost, and a
                // string this pack continues is skipped up to its end.
                track = packTrack;
                current.clear();
                damaged = position != 0;
            }
            for (size_t i = 0; i < kPackText; ++i) {
                const char c = char(p[4 + i]);
                if (c != '\0') {
                    current += c;
                    continue;
                }
                if (!damaged && track < 100) {
                    found[track] = current;
                    have[track] = true;
                }
                track = track == 0 ? firstTrack : track + 1;
                current.clear();
                damaged = false;
            }
        }
        for (uint32_t n = 0; n < 100; ++n) {
            if (!have[n]) continue;
            std::string value = found[n];
            if (value == "\t") value = n > firstTrack ? found[n - 1] : std::string();
            found[n] = value;
            if (value.empty()) continue;
            if (n == 0) {
                *Field(text.disc, type) = FromLatin1(value);
            } else {
                if (text.tracks.size() <= n) text.tracks.resize(n + 1);
                *Field(text.tracks[n], type) = FromLatin1(value);
            }
        }
    }

    // The genre: a code and a text, which may run over several packs.
    std::string genre;
    int previousSeq = -2;
    for (const uint8_t* p : byType[kGenreType - 0x80]) {
        if (previousSeq >= 0 ? p[2] != previousSeq + 1 : (p[3] & 0x0F) != 0) break;
        previousSeq = p[2];
        genre.append(reinterpret_cast<const char*>(p + 4), kPackText);
    }
    if (genre.size() >= 2) {
        const uint16_t code = uint16_t((uint8_t(genre[0]) << 8) | uint8_t(genre[1]));
        const std::string rest = genre.substr(2);
        const size_t end = rest.find('\0');
        if (end != std::string::npos && end > 0)
            text.genre = FromLatin1(rest.substr(0, end));
        else if (code < kGenres.size())
            text.genre = kGenres[code];
    }
    return report;
}
