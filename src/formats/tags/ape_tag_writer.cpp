#include "formats/tags/ape_tag.h"
#include "formats/tags/file_tags.h"
#include "formats/tags/tag_bytes.h"
#include "formats/tags/tag_fields.h"
#include <cstring>
#include <limits>
#include <new>
#include <sys/stat.h>

using namespace tags;

namespace {

constexpr uint32_t kVersion = 2000;
constexpr uint32_t kHasHeader = 0x80000000u, kIsHeader = 0x20000000u;

void appendHeader(std::vector<uint8_t>& out, uint32_t size, uint32_t count, uint32_t flags) {
    appendText(out, "APETAGEX");
    appendLE32(out, kVersion);
    appendLE32(out, size);
    appendLE32(out, count);
    appendLE32(out, flags);
    out.resize(out.size() + 8, 0);
}

} // namespace

std::vector<uint8_t> kyBuildApeTag(kyPropertyTable& props, bool withoutReplayGain) {
    std::vector<uint8_t> items;
    uint32_t count = 0;
    for (const kyTagField& field : kyApeTagFields()) {
        if (!field.written || (withoutReplayGain && kyIsReplayGainSlot(field.slot))) continue;
        const char* value = props.getUtf8(field.slot);
        if (!value || !*value) continue;
        // Values carry no terminator: readers take a NUL inside a value as the start of a
        // second value.
        const size_t length = std::strlen(value);
        if (length > std::numeric_limits<uint32_t>::max() / 2 - items.size()) break;
        appendLE32(items, static_cast<uint32_t>(length));
        appendLE32(items, 0); // UTF-8 text, read-write
        appendText(items, std::string_view(field.key, std::strlen(field.key) + 1));
        appendText(items, std::string_view(value, length));
        ++count;
    }
    if (count == 0) return {};
    const uint32_t size = static_cast<uint32_t>(items.size() + KY_APE_FOOTER_SIZE);
    std::vector<uint8_t> tag;
    tag.reserve(items.size() + 2 * KY_APE_FOOTER_SIZE);
    appendHeader(tag, size, count, kHasHeader | kIsHeader);
    tag.insert(tag.end(), items.begin(), items.end());
    appendHeader(tag, size, count, kHasHeader);
    return tag;
}

kyError WriteApeTag(int fd, kyPropertyTable& props, bool withoutReplayGain, uint64_t* written) {
    if (written) *written = 0;
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return KYERR_WRITE_FILE;
    try {
        return kyWriteTagBlock(fd, static_cast<uint64_t>(st.st_size),
                               kyBuildApeTag(props, withoutReplayGain), written);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
}
