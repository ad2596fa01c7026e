#include "formats/tags/lyrics3.h"
#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace {
constexpr std::string_view kBegin = "LYRICSBEGIN";
constexpr std::string_view kEndV1 = "LYRICSEND";
constexpr std::string_view kEndV2 = "LYRICS200";
constexpr uint64_t kSizeDigits = 6;
// Lyrics3 v1 holds at most 5100 bytes of lyrics.
constexpr uint64_t kMaxV1Lyrics = 5100;
} // namespace

bool kyLyrics3BlockSize(const kyTagReadFn& read, uint64_t start, uint64_t end, uint64_t& size) {
    size = 0;
    if (end < start || end - start < kBegin.size() + kEndV1.size()) return true;
    char tail[kSizeDigits + kEndV2.size()];
    const uint64_t tailSize = std::min<uint64_t>(sizeof tail, end - start);
    if (!read(end - tailSize, tail + sizeof tail - tailSize, tailSize)) return false;
    const std::string_view last(tail + sizeof tail - kEndV2.size(), kEndV2.size());

    if (last == kEndV2 && tailSize == sizeof tail) {
        // v2: six digits give the size from "LYRICSBEGIN" up to the digits.
        uint64_t body = 0;
        for (uint64_t i = 0; i < kSizeDigits; ++i) {
            if (tail[i] < '0' || tail[i] > '9') return true;
            body = body * 10 + uint64_t(tail[i] - '0');
        }
        if (body < kBegin.size() || body > end - start - sizeof tail) return true;
        const uint64_t at = end - sizeof tail - body;
        char begin[kBegin.size()];
        if (!read(at, begin, sizeof begin)) return false;
        if (std::string_view(begin, sizeof begin) == kBegin) size = body + sizeof tail;
        return true;
    }
    if (last == kEndV1) {
        // v1: the nearest "LYRICSBEGIN" within the longest lyrics the version allows.
        const uint64_t span =
            std::min<uint64_t>(end - start, kMaxV1Lyrics + kBegin.size() + kEndV1.size());
        std::vector<char> block(span);
        if (!read(end - span, block.data(), span)) return false;
        const std::string_view text(block.data(), span - kEndV1.size());
        const size_t at = text.rfind(kBegin);
        if (at != std::string_view::npos) size = span - at;
    }
    return true;
}
