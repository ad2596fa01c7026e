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

void addTextFrames(FrameList& frames, kyPropertyTable& props) {
    for (const kyTagField& field : kyId3v2Fields()) {
        if (!field.written) continue;
        const char16_t* w = props.getW(field.slot);
        if (!w || !*w) continue;
        const std::u16string_view text(w);
        const uint8_t encoding = fitsLatin1(text) ? kLatin1 : kUtf16;
        std::vector<uint8_t> data{encoding};
        if (std::strcmp(field.key, "COMM") == 0) {
            appendText(data, "eng");
            appendEncoded(data, encoding, u"", true); // empty short description
        }
        appendEncoded(data, encoding, text, true);
        frames.add(field.key, data);
    }
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
    for (const kyTagField& field : kyId3v2UserTextFields()) {
        const char* value = props.getA(field.slot);
        if (!value || !*value) continue;
        std::vector<uint8_t> data{kLatin1};
        appendText(data, std::string_view(field.key, std::strlen(field.key) + 1));
        appendText(data, std::string_view(value, std::strlen(value) + 1));
        frames.add("TXXX", data);
    }
}

} // namespace

std::vector<uint8_t> kyBuildId3v2Tag(kyPropertyTable& props, const kyId3v2Options& options) {
    FrameList frames;
    addTextFrames(frames, props);
    addUrlFrame(frames, props);
    addReplayGainFrames(frames, props);
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
