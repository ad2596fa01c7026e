// Arbitrary bytes as a Vorbis comment block, and as one "NAME=value" entry.
#include "formats/tags/vorbis_comment.h"
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kyPropertyTable props;
    kyParseVorbisCommentBlock(data, size, props);
    kyApplyVorbisComment(std::string_view(reinterpret_cast<const char*>(data), size), props);
    // What was read is written again as the table says.
    kyVorbisComments(props);
    return 0;
}
