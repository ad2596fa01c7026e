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
constexpr uint32_t kItemText = 0, kItemBinary = 2; // read-write

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
    // Values carry no terminator: readers take a NUL inside a value as the start of a
    // second value.
    auto add = [&](const char* key, std::string_view prefix, const void* value, size_t length,
                   uint32_t flags) {
        const size_t size = prefix.size() + length;
        if (size > std::numeric_limits<uint32_t>::max() / 2 - items.size()) return false;
        appendLE32(items, static_cast<uint32_t>(size));
        appendLE32(items, flags);
        appendText(items, std::string_view(key, std::strlen(key) + 1));
        appendText(items, prefix);
        items.insert(items.end(), static_cast<const uint8_t*>(value),
                     static_cast<const uint8_t*>(value) + length);
        ++count;
        return true;
    };
    for (const kyTagField& field : kyApeTagFields()) {
        if (!field.written || (withoutReplayGain && kyIsReplayGainSlot(field.slot))) continue;
        const char* text = props.getUtf8(field.slot);
        const std::string value = field.slot == KYPROP_DISC_NUMBER ? kyDiscNumberText(props)
                                  : text                           ? std::string(text)
                                                                   : std::string();
        if (value.empty()) continue;
        if (!add(field.key, {}, value.data(), value.size(), kItemText)) return {};
    }
    // The front cover as a binary item: a file name, a NUL and the image.
    kyTagPicture picture;
    if (kyReadTagPicture(props, picture) &&
        !add(KY_APE_FRONT_COVER,
             std::string_view(
                 picture.mimeType == std::string_view("image/png") ? "cover.png" : "cover.jpg", 10),
             picture.bytes.data(), picture.bytes.size(), kItemBinary))
        return {};
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
