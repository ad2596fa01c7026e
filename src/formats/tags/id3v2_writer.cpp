#include "core/text.h"
#include "formats/tags/file_tags.h"
#include "formats/tags/id3v2.h"
#include "formats/tags/replay_gain.h"
#include "formats/tags/tag_bytes.h"
#include "formats/tags/tag_fields.h"
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>

using namespace tags;

namespace {

// The largest tag size the header's 28 bits can hold.
constexpr uint32_t kMaxTagSize = 0x0FFFFFFF;

enum : uint8_t { kLatin1 = 0, kUtf16 = 1 };

// ID3v2.3 knows Latin-1 and UTF-16 with a byte-order mark. The C1 controls (U+0080-U+009F)
// would come back as Windows-1252 letters from readers that take Latin-1 loosely, so they
// go as UTF-16 too.
bool fitsLatin1(std::u16string_view text) {
    for (char16_t c : text)
        if (c > 0xFF || (c >= 0x80 && c <= 0x9F)) return false;
    return true;
}

// A text in the frame's encoding, with its terminator when `terminate` is set.
void appendEncoded(std::vector<uint8_t>& out, uint8_t encoding, std::u16string_view text,
                   bool terminate) {
    if (encoding == kLatin1) {
        for (char16_t c : text) out.push_back(static_cast<uint8_t>(c));
        if (terminate) out.push_back(0);
        return;
    }
    if (!text.empty()) {
        out.push_back(0xFF);
        out.push_back(0xFE);
    }
    for (char16_t c : text) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    if (terminate) {
        out.push_back(0);
        out.push_back(0);
    }
}

class FrameList {
public:
    // Adds one frame unless the tag would outgrow what its header can say.
    void add(const char* id, const std::vector<uint8_t>& data) {
        const size_t frame = KY_ID3V2_HEADER_SIZE + data.size();
        if (data.size() > kMaxTagSize || m_bytes.size() + frame > kMaxTagSize) return;
        appendText(m_bytes, std::string_view(id, 4));
        appendBE32(m_bytes, static_cast<uint32_t>(data.size()));
        appendBE16(m_bytes, 0);
        m_bytes.insert(m_bytes.end(), data.begin(), data.end());
    }
    const std::vector<uint8_t>& bytes() const { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
};

// A text frame, or with `description` a user text frame (TXXX), in Latin-1 when the text
// fits it.
void addText(FrameList& frames, const char* id, std::u16string_view text,
             std::u16string_view description = {}, bool described = false) {
    if (text.empty()) return;
    const uint8_t encoding = fitsLatin1(text) && fitsLatin1(description) ? kLatin1 : kUtf16;
    std::vector<uint8_t> data{encoding};
    if (std::strcmp(id, "COMM") == 0) appendText(data, "eng");
    if (described) appendEncoded(data, encoding, description, true);
    appendEncoded(data, encoding, text, true);
    frames.add(id, data);
}

std::u16string_view wide(kyPropertyTable& props, uint32_t slot) {
    const char16_t* w = props.getW(slot);
    return w ? std::u16string_view(w) : std::u16string_view();
}

void addTextFrames(FrameList& frames, kyPropertyTable& props) {
    std::vector<std::string_view> written;
    for (const kyTagField& field : kyId3v2Fields()) {
        if (!field.written) continue;
        // One frame of an id: the first slot of the table that has a text fills it.
        if (std::find(written.begin(), written.end(), field.key) != written.end()) continue;
        const std::u16string_view text = wide(props, field.slot);
        if (text.empty()) continue;
        written.push_back(field.key);
        // COMM: the comment without a short description.
        addText(frames, field.key, text, u"", std::strcmp(field.key, "COMM") == 0);
    }
    const std::string disc = kyDiscNumberText(props);
    addText(frames, "TPOS", kyUtf8ToUtf16(disc));
    // ID3v2.3 keeps dates as the year (TYER), the day and month (TDAT, "DDMM") and the
    // original release year (TORY).
    const char* date = props.getUtf8(KYPROP_DATE);
    if (date && std::strlen(date) == 10)
        addText(frames, "TDAT", kyUtf8ToUtf16(std::string{date[8], date[9], date[5], date[6]}));
    const char* original = props.getUtf8(KYPROP_ORIGINAL_DATE);
    if (original && std::strlen(original) >= 4)
        addText(frames, "TORY", kyUtf8ToUtf16(std::string(original, 4)));
}

// The recording's MusicBrainz id as a unique file identifier of the service.
void addRecordingId(FrameList& frames, kyPropertyTable& props) {
    const char* id = props.getUtf8(KYPROP_MB_RECORDING_ID);
    if (!id || !*id || std::strlen(id) > 64) return; // the frame holds at most 64 bytes
    std::vector<uint8_t> data;
    appendText(data, std::string_view(KY_ID3V2_MUSICBRAINZ_OWNER,
                                      std::strlen(KY_ID3V2_MUSICBRAINZ_OWNER) + 1));
    appendText(data, id);
    frames.add("UFID", data);
}

void addPicture(FrameList& frames, kyPropertyTable& props) {
    kyTagPicture picture;
    if (!kyReadTagPicture(props, picture)) return;
    std::vector<uint8_t> data{kLatin1};
    appendText(data, std::string_view(picture.mimeType, std::strlen(picture.mimeType) + 1));
    data.push_back(3); // front cover
    data.push_back(0); // no description
    data.insert(data.end(), picture.bytes.begin(), picture.bytes.end());
    frames.add("APIC", data);
}

void addUrlFrame(FrameList& frames, kyPropertyTable& props) {
    const char* url = props.getA(KYPROP_URL);
    if (!url || !*url) return;
    std::vector<uint8_t> data{kLatin1};
    appendText(data, std::string_view("URL", 4)); // with its NUL
    // The URL ends the frame and has no terminator: readers would keep it as part of the
    // address.
    appendText(data, url);
    frames.add("WXXX", data);
}

void addReplayGainFrames(FrameList& frames, kyPropertyTable& props) {
    const auto track = kyReplayGainNumber(props.getA(KYPROP_TRACK_GAIN));
    const auto album = kyReplayGainNumber(props.getA(KYPROP_ALBUM_GAIN));
    if (track || album) {
        // A peak a float cannot hold is no peak.
        double peakValue = kyReplayGainNumber(props.getA(KYPROP_PEAK)).value_or(1.0);
        if (std::fabs(peakValue) > std::numeric_limits<float>::max()) peakValue = 1.0;
        const float peak = static_cast<float>(peakValue);
        uint32_t peakBits;
        std::memcpy(&peakBits, &peak, 4);
        std::vector<uint8_t> data;
        appendBE32(data, peakBits);
        appendBE16(data, track ? kyReplayGainWord(*track, KY_RG_NAME_RADIO) : 0);
        appendBE16(data, album ? kyReplayGainWord(*album, KY_RG_NAME_AUDIOPHILE) : 0);
        frames.add("RGAD", data);
    }
}

void addUserTextFrames(FrameList& frames, kyPropertyTable& props) {
    for (const kyTagField& field : kyId3v2UserTextFields())
        addText(frames, "TXXX", wide(props, field.slot), kyUtf8ToUtf16(field.key), true);
}

} // namespace

std::vector<uint8_t> kyBuildId3v2Tag(kyPropertyTable& props, const kyId3v2Options& options) {
    FrameList frames;
    addTextFrames(frames, props);
    addUrlFrame(frames, props);
    addReplayGainFrames(frames, props);
    addUserTextFrames(frames, props);
    addRecordingId(frames, props);
    addPicture(frames, props);
    const std::vector<uint8_t>& body = frames.bytes();
    if (body.empty()) return {};
    const uint32_t padding = std::min<uint32_t>(options.padding, kMaxTagSize - body.size());
    std::vector<uint8_t> tag;
    tag.reserve(KY_ID3V2_HEADER_SIZE + body.size() + padding);
    appendText(tag, "ID3");
    tag.push_back(3); // version 2.3.0
    tag.push_back(0);
    tag.push_back(0); // no unsynchronisation, extended header or experimental frames
    appendSynchsafe32(tag, static_cast<uint32_t>(body.size() + padding));
    tag.insert(tag.end(), body.begin(), body.end());
    tag.resize(tag.size() + padding, 0);
    return tag;
}

kyError WriteId3v2Tag(int fd, uint64_t offset, kyPropertyTable& props, uint64_t* written,
                      const kyId3v2Options& options) {
    if (written) *written = 0;
    try {
        return kyWriteTagBlock(fd, offset, kyBuildId3v2Tag(props, options), written);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
}
