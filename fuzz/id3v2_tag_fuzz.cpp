// Feeds arbitrary bytes to the ID3v2 parser as a tag (any version, unsynchronised or not)
// and, as a file, to the tag scanner, which reads leading and appended ID3v2 tags.
#include "formats/tags/id3v2.h"
#include "tag_fuzz_support.h"
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kyId3v2TagSize(data, size);
    if (size >= 10) kyId3v2TagSizeFromFooter(data + size - 10, 10);
    kyPropertyTable props;
    kyParseId3v2Tag(data, size, props);
    for (uint32_t slot = 0; slot < props.size(); ++slot) props.getA(slot);
    // What was read must make a tag that reads back.
    const std::vector<uint8_t> tag = kyBuildId3v2Tag(props);
    kyPropertyTable again;
    if (!tag.empty() && !kyParseId3v2Tag(tag.data(), tag.size(), again)) __builtin_trap();
    scanTagsOf(data, size);
    return 0;
}
