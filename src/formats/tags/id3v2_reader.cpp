#include "formats/tags/genres.h"
#include "formats/tags/id3v2.h"
#include "formats/tags/replay_gain.h"
#include "formats/tags/tag_bytes.h"
#include "formats/tags/tag_fields.h"
#include "formats/tags/tag_text.h"
#include <algorithm>
#include <bitset>
#include <charconv>
#include <cstring>
#include <optional>
#include <string>

using namespace tags;

namespace {

enum : uint8_t { kLatin1 = 0, kUtf16 = 1, kUtf16BE = 2, kUtf8 = 3 };

// Header flags.
constexpr uint8_t kTagUnsync = 0x80, kTagExtended = 0x40, kTagCompressed22 = 0x40,
                  kTagFooter = 0x10;
// Frame format flags: ID3v2.3, then ID3v2.4.
constexpr uint8_t kV3Compressed = 0x80, kV3Encrypted = 0x40, kV3Grouped = 0x20;
constexpr uint8_t kV4Grouped = 0x40, kV4Compressed = 0x08, kV4Encrypted = 0x04, kV4Unsync = 0x02,
                  kV4DataLength = 0x01;

// Undoes unsynchronisation: the 0x00 stuffed after every 0xFF goes.
std::vector<uint8_t> resync(const uint8_t* p, size_t n) {
    std::vector<uint8_t> out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(p[i]);
        if (p[i] == 0xFF && i + 1 < n && p[i + 1] == 0x00) ++i;
    }
    return out;
}

bool validFrameId(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!((p[i] >= 'A' && p[i] <= 'Z') || (p[i] >= '0' && p[i] <= '9'))) return false;
    return true;
}

size_t terminatorWidth(uint8_t encoding) {
    return encoding == kUtf16 || encoding == kUtf16BE ? 2 : 1;
}

// Where the first string of `p` ends (its terminator, or n).
size_t stringEnd(uint8_t encoding, const uint8_t* p, size_t n) {
    if (terminatorWidth(encoding) == 1) {
        const void* z = std::memchr(p, 0, n);
        return z ? static_cast<size_t>(static_cast<const uint8_t*>(z) - p) : n;
    }
    for (size_t i = 0; i + 1 < n; i += 2)
        if (p[i] == 0 && p[i + 1] == 0) return i;
    return n;
}

// One string as UTF-8, taken the way the property setters take text: Latin-1 as the
// single-byte code page, UTF-16 by its byte-order mark (or the encoding's order without
// one), UTF-8 when it is well formed and single-byte text when it is not.
std::string decode(uint8_t encoding, const uint8_t* p, size_t n) {
    switch (encoding) {
    case kLatin1:
        return kyTagSingleByteText(p, n);
    case kUtf16:
    case kUtf16BE:
        return kyTagUtf16Text(p, n, encoding == kUtf16BE);
    default:
        return kyTagUtf8Text(p, n);
    }
}

// Every string of `p` (ID3v2.4 separates values by terminators), or only the first.
std::vector<std::string> decodeAll(uint8_t encoding, const uint8_t* p, size_t n, bool all) {
    std::vector<std::string> out;
    const size_t width = terminatorWidth(encoding);
    while (n > 0) {
        const size_t end = stringEnd(encoding, p, n);
        std::string s = decode(encoding, p, end);
        if (!s.empty()) out.push_back(std::move(s));
        if (!all || end >= n) break;
        const size_t next = std::min(n, end + width);
        p += next;
        n -= next;
    }
    return out;
}

// "(17)" "(17)Rock" "(RX)" "((text" (ID3v2.3) and "17" (ID3v2.4) as genre names.
std::string genreText(const std::string& s) {
    std::string names;
    size_t i = 0;
    while (i + 1 < s.size() && s[i] == '(' && s[i + 1] != '(') {
        const size_t close = s.find(')', i);
        if (close == std::string::npos) break;
        const std::string ref = s.substr(i + 1, close - i - 1);
        std::string name;
        uint32_t n = 0;
        auto r = std::from_chars(ref.data(), ref.data() + ref.size(), n);
        if (ref == "RX")
            name = "Remix";
        else if (ref == "CR")
            name = "Cover";
        else if (r.ec == std::errc() && r.ptr == ref.data() + ref.size() && kyGenreName(n))
            name = kyGenreName(n);
        else
            break;
        if (!names.empty()) names += "; ";
        names += name;
        i = close + 1;
    }
    std::string rest = s.substr(i);
    if (rest.compare(0, 2, "((") == 0) rest.erase(0, 1);
    if (!rest.empty() && !names.empty()) return rest; // a refinement of the number
    if (!names.empty()) return names;
    uint32_t n = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), n);
    if (!s.empty() && r.ec == std::errc() && r.ptr == s.data() + s.size() && kyGenreName(n))
        return kyGenreName(n);
    if (s == "RX") return "Remix";
    if (s == "CR") return "Cover";
    return rest.empty() ? s : rest;
}

std::string join(const std::vector<std::string>& values) {
    std::string out;
    for (const std::string& v : values) {
        if (!out.empty()) out += "; ";
        out += v;
    }
    return out;
}

class TagParser {
public:
    TagParser(kyPropertyTable& props, uint8_t major) : m_props(props), m_major(major) {}

    void frame(std::string id, const uint8_t* p, size_t n);
    void finish();

private:
    void text(const kyTagField& field, const uint8_t* p, size_t n);
    void comment(const uint8_t* p, size_t n);
    void userText(const uint8_t* p, size_t n);
    void url(const uint8_t* p, size_t n);
    void fileId(const uint8_t* p, size_t n);
    void set(uint32_t slot, const std::string& text) {
        if (!text.empty()) m_props.setUtf8(slot, text);
    }

    kyPropertyTable& m_props;
    uint8_t m_major;
    int m_commentRank = 0;
    std::bitset<KY_SOURCE_PROPERTY_SLOTS> m_fromUserText;
    std::optional<kyRgadTexts> m_rgad;
};

void TagParser::frame(std::string id, const uint8_t* p, size_t n) {
    if (m_major == 2) {
        const auto aliases = kyId3v22Aliases();
        auto it = std::find_if(aliases.begin(), aliases.end(),
                               [&](const kyId3v22Alias& a) { return id == a.v22; });
        if (it == aliases.end()) return;
        id = it->v23;
    }
    if (id == "COMM") return comment(p, n);
    if (id == "TXXX") return userText(p, n);
    if (id == "WXXX") return url(p, n);
    if (id == "UFID") return fileId(p, n);
    if (id == "TPOS") {
        if (n > 0 && p[0] <= kUtf8)
            kySetDiscNumber(m_props, decode(p[0], p + 1, stringEnd(p[0], p + 1, n - 1)));
        return;
    }
    if (id == "RGAD") {
        if (n >= 8) {
            const uint32_t bits = getBE32(p);
            float peak;
            std::memcpy(&peak, &bits, 4);
            m_rgad = kyDecodeRgad(peak, getBE16(p + 4), getBE16(p + 6));
        }
        return;
    }
    if (const kyTagField* field = kyFindTagField(kyId3v2Fields(), id)) text(*field, p, n);
}

void TagParser::text(const kyTagField& field, const uint8_t* p, size_t n) {
    if (n == 0) return;
    std::vector<std::string> values;
    if (p[0] <= kUtf8)
        values = decodeAll(p[0], p + 1, n - 1, m_major >= 4);
    else // no encoding byte: the whole frame is the text
        values = decodeAll(0xFF, p, n, false);
    if (field.slot == KYPROP_GENRE)
        for (std::string& v : values) v = genreText(v);
    set(field.slot, join(values));
}

void TagParser::comment(const uint8_t* p, size_t n) {
    if (n < 4) return;
    const uint8_t encoding = p[0];
    p += 4; // encoding, language
    n -= 4;
    const size_t descEnd = stringEnd(encoding, p, n);
    const std::string desc = decode(encoding, p, descEnd);
    // Players keep their own data in described comments ("iTunNORM"); the plain comment
    // is the one without a description.
    int rank = desc.empty() ? 2 : (desc.compare(0, 4, "iTun") == 0 ? 0 : 1);
    if (rank <= m_commentRank) return;
    const size_t start = std::min(n, descEnd + terminatorWidth(encoding));
    const std::string text = decode(encoding, p + start, stringEnd(encoding, p + start, n - start));
    if (text.empty()) return;
    m_commentRank = rank;
    set(KYPROP_COMMENT, text);
}

void TagParser::userText(const uint8_t* p, size_t n) {
    if (n < 1) return;
    const uint8_t encoding = p[0];
    ++p;
    --n;
    const size_t descEnd = stringEnd(encoding, p, n);
    const kyTagField* field =
        kyFindTagField(kyId3v2UserTextFields(), decode(encoding, p, descEnd), true);
    if (!field) return;
    const size_t start = std::min(n, descEnd + terminatorWidth(encoding));
    const std::string value =
        decode(encoding, p + start, stringEnd(encoding, p + start, n - start));
    if (value.empty()) return;
    set(field->slot, value);
    m_fromUserText.set(field->slot);
}

void TagParser::url(const uint8_t* p, size_t n) {
    if (n < 1) return;
    const uint8_t encoding = p[0];
    ++p;
    --n;
    const size_t start = std::min(n, stringEnd(encoding, p, n) + terminatorWidth(encoding));
    // The URL itself is always Latin-1.
    set(KYPROP_URL, decode(kLatin1, p + start, stringEnd(kLatin1, p + start, n - start)));
}

void TagParser::fileId(const uint8_t* p, size_t n) {
    const std::string_view owner = KY_ID3V2_MUSICBRAINZ_OWNER;
    if (n <= owner.size() + 1 || std::memcmp(p, owner.data(), owner.size() + 1) != 0) return;
    p += owner.size() + 1;
    n = std::min<size_t>(n - owner.size() - 1, 64); // the identifier is at most 64 bytes
    set(KYPROP_MB_RECORDING_ID, decode(kLatin1, p, stringEnd(kLatin1, p, n)));
}

void TagParser::finish() {
    if (!m_rgad) return;
    // The text frames are the more precise; "RGAD" fills in what they leave out.
    auto fill = [&](uint32_t slot, const std::optional<std::string>& text) {
        if (text && !m_fromUserText.test(slot)) set(slot, *text);
    };
    fill(KYPROP_PEAK, m_rgad->peak);
    fill(KYPROP_TRACK_GAIN, m_rgad->trackGain);
    fill(KYPROP_ALBUM_GAIN, m_rgad->albumGain);
}

// The size of the ID3v2.4 frame at `pos`. Some writers put plain sizes where synchsafe ones
// belong: when the two differ, the one that ends at another frame, padding or the end of
// the tag is believed.
uint32_t v24FrameSize(const uint8_t* body, size_t avail, size_t pos) {
    const uint8_t* h = body + pos;
    const uint32_t plain = getBE32(h + 4);
    uint32_t safe;
    if (!getSynchsafe32(h + 4, safe)) return plain;
    if (safe == plain) return safe;
    auto landsWell = [&](uint32_t size) {
        const size_t next = pos + 10 + size;
        if (next > avail) return false;
        if (next == avail || body[next] == 0) return true;
        return next + 4 <= avail && validFrameId(body + next, 4);
    };
    return !landsWell(safe) && landsWell(plain) ? plain : safe;
}

} // namespace

size_t kyId3v2TagSize(const uint8_t* h, size_t size) {
    uint32_t body;
    if (size < KY_ID3V2_HEADER_SIZE || std::memcmp(h, "ID3", 3) != 0 || h[3] == 0xFF ||
        h[4] == 0xFF || !getSynchsafe32(h + 6, body))
        return 0;
    const bool footer = h[3] >= 4 && (h[5] & kTagFooter);
    return KY_ID3V2_HEADER_SIZE + body + (footer ? KY_ID3V2_HEADER_SIZE : 0);
}

size_t kyId3v2TagSizeFromFooter(const uint8_t* f, size_t size) {
    uint32_t body;
    if (size < KY_ID3V2_HEADER_SIZE || std::memcmp(f, "3DI", 3) != 0 || f[3] == 0xFF ||
        f[4] == 0xFF || !getSynchsafe32(f + 6, body))
        return 0;
    return 2 * KY_ID3V2_HEADER_SIZE + body;
}

bool kyParseId3v2Tag(const uint8_t* data, size_t size, kyPropertyTable& props) {
    if (!kyId3v2TagSize(data, size)) return false;
    const uint8_t major = data[3];
    const uint8_t flags = data[5];
    if (major < 2 || major > 4) return false;
    uint32_t declared = 0;
    getSynchsafe32(data + 6, declared);
    const uint8_t* body = data + KY_ID3V2_HEADER_SIZE;
    size_t avail = std::min<size_t>(declared, size - KY_ID3V2_HEADER_SIZE);
    if (major == 2 && (flags & kTagCompressed22)) return true; // nothing readable inside

    // Up to ID3v2.3 the whole tag is unsynchronised; in ID3v2.4 each frame is.
    std::vector<uint8_t> resynced;
    if (major < 4 && (flags & kTagUnsync)) {
        resynced = resync(body, avail);
        body = resynced.data();
        avail = resynced.size();
    }

    size_t pos = 0;
    if (major >= 3 && (flags & kTagExtended)) {
        if (avail < 4) return true;
        uint32_t n;
        if (major == 3) {
            n = getBE32(body); // not counting its own four bytes
            if (n > avail - 4) return true;
            pos = 4 + n;
        } else {
            if (!getSynchsafe32(body, n) || n < 6 || n > avail) return true;
            pos = n;
        }
    }

    TagParser parser(props, major);
    const size_t idSize = major == 2 ? 3 : 4;
    const size_t headerSize = major == 2 ? 6 : 10;
    while (pos + headerSize <= avail) {
        const uint8_t* h = body + pos;
        if (h[0] == 0 || !validFrameId(h, idSize)) break; // padding, or not a frame
        uint32_t frameSize;
        uint8_t format = 0;
        if (major == 2) {
            frameSize = getBE24(h + 3);
        } else {
            frameSize = major == 3 ? getBE32(h + 4) : v24FrameSize(body, avail, pos);
            format = h[9];
        }
        if (frameSize > avail - pos - headerSize) break; // nothing is read past the tag
        const uint8_t* p = h + headerSize;
        size_t n = frameSize;
        pos += headerSize + frameSize;
        const std::string id(reinterpret_cast<const char*>(h), idSize);

        std::vector<uint8_t> frameResynced;
        if (major == 3) {
            if (format & (kV3Compressed | kV3Encrypted)) continue;
            if (format & kV3Grouped) {
                if (n < 1) continue;
                ++p;
                --n;
            }
        } else if (major == 4) {
            if (format & (kV4Compressed | kV4Encrypted)) continue;
            const size_t extra =
                ((format & kV4Grouped) ? 1 : 0) + ((format & kV4DataLength) ? 4 : 0);
            if (n < extra) continue;
            p += extra;
            n -= extra;
            if ((format & kV4Unsync) || (flags & kTagUnsync)) {
                frameResynced = resync(p, n);
                p = frameResynced.data();
                n = frameResynced.size();
            }
        }
        parser.frame(id, p, n);
    }
    parser.finish();
    return true;
}
