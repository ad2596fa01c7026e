#include "formats/flac_common.h"
#include "formats/format_catalog.h"
#include "formats/tags/id3v2.h"
#include "formats/tags/vorbis_comment.h"
#include <cstring>
#include <new>
#include <vector>

namespace flac {

namespace {
constexpr uint8_t kStreamInfo = 0;
constexpr uint8_t kVorbisComment = 4;
constexpr uint32_t kStreamInfoSize = 34;
// More blocks than any real file has: a walk that goes on longer is over garbage.
constexpr int kMaxBlocks = 4096;
} // namespace

int Probe(const uint8_t* head, size_t size) {
    const uint64_t start = kyId3v2TagSize(head, size);
    if (start > size || size - start < 4) return KY_PROBE_UNSURE;
    return std::memcmp(head + start, "fLaC", 4) == 0 ? KY_PROBE_CERTAIN : KY_PROBE_NO;
}

kyError ReadMetadata(const ReadFn& read, uint64_t fileSize, StreamInfo& info,
                     kyPropertyTable& props, uint64_t& audioOffset) {
    info = StreamInfo{};
    uint8_t head[10];
    uint64_t pos = 0;
    if (fileSize >= 10) {
        if (!read(0, head, 10)) return KYERR_READ_FILE;
        pos = kyId3v2TagSize(head, 10);
    }
    uint8_t magic[4];
    if (pos > fileSize || fileSize - pos < 4) return KYERR_CORRUPT;
    if (!read(pos, magic, 4)) return KYERR_READ_FILE;
    if (std::memcmp(magic, "fLaC", 4) != 0) return KYERR_CORRUPT;
    pos += 4;
    bool haveInfo = false;
    bool last = false;
    for (int n = 0; !last; ++n) {
        if (n == kMaxBlocks || fileSize - pos < 4) return KYERR_CORRUPT;
        uint8_t h[4];
        if (!read(pos, h, 4)) return KYERR_READ_FILE;
        last = (h[0] & 0x80) != 0;
        const uint8_t type = h[0] & 0x7F;
        const uint32_t length = (uint32_t(h[1]) << 16) | (uint32_t(h[2]) << 8) | h[3];
        pos += 4;
        if (length > fileSize - pos) return KYERR_CORRUPT;
        if (n == 0 && type != kStreamInfo) return KYERR_CORRUPT;
        if (type == kStreamInfo) {
            if (haveInfo || length < kStreamInfoSize) return KYERR_CORRUPT;
            uint8_t b[kStreamInfoSize];
            if (!read(pos, b, sizeof b)) return KYERR_READ_FILE;
            info.sampleRate = (uint32_t(b[10]) << 12) | (uint32_t(b[11]) << 4) | (b[12] >> 4);
            info.channels = ((b[12] >> 1) & 7) + 1;
            info.bitsPerSample = (((b[12] & 1) << 4) | (b[13] >> 4)) + 1;
            info.totalSamples = (uint64_t(b[13] & 0x0F) << 32) | (uint64_t(b[14]) << 24) |
                                (uint64_t(b[15]) << 16) | (uint64_t(b[16]) << 8) | b[17];
            if (info.sampleRate == 0 || info.bitsPerSample < 4) return KYERR_CORRUPT;
            haveInfo = true;
        } else if (type == kVorbisComment) {
            std::vector<uint8_t> body;
            try {
                body.resize(length);
            } catch (const std::bad_alloc&) {
                return KYERR_OUT_OF_MEMORY;
            }
            if (length && !read(pos, body.data(), length)) return KYERR_READ_FILE;
            // A damaged comment block loses its comments, not the audio.
            kyParseVorbisCommentBlock(body.data(), body.size(), props);
        }
        pos += length;
    }
    if (!haveInfo) return KYERR_CORRUPT;
    audioOffset = pos;
    return KY_OK;
}

} // namespace flac
