// Feeds arbitrary bytes to the ID3v1 parser (its last 128 bytes as a tag) and, as a file,
// to the tag scanner, which peels ID3v1, Lyrics3 v1 and v2 blocks, APE tags and appended
// ID3v2 tags off the end.
#include "formats/tags/id3v1.h"
#include "tag_fuzz_support.h"
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= KY_ID3V1_SIZE) {
        kyPropertyTable props;
        kyParseId3v1Tag(data + size - KY_ID3V1_SIZE, KY_ID3V1_SIZE, props);
        kyBuildId3v1Tag(props);
    }
    scanTagsOf(data, size);
    return 0;
}
