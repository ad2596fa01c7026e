// Feeds arbitrary bytes to the APE tag parser as a whole tag (ending with its footer) and,
// as a file, to the tag scanner.
#include "formats/tags/ape_tag.h"
#include "tag_fuzz_support.h"
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kyApeTagInfo info;
    if (size >= KY_APE_FOOTER_SIZE)
        kyApeTagFooter(data + size - KY_APE_FOOTER_SIZE, KY_APE_FOOTER_SIZE, info);
    kyPropertyTable props;
    kyParseApeTag(data, size, props);
    // What was read must make a tag that reads back.
    const std::vector<uint8_t> tag = kyBuildApeTag(props);
    kyPropertyTable again;
    if (!tag.empty() && !kyParseApeTag(tag.data(), tag.size(), again)) __builtin_trap();
    scanTagsOf(data, size);
    return 0;
}
