#include "formats/stream_tags.h"
#include "formats/mpeg_audio_common.h"
#include "platform/file_io.h"
#include <cstring>

kyError kyReadStreamTags(int fd, uint64_t fileSize, kyPropertyTable& props, uint64_t& audioStart,
                         uint64_t& audioEnd) {
    audioStart = 0;
    audioEnd = fileSize;
    uint8_t h[10];
    while (audioStart + 10 <= audioEnd && kyReadExactlyAt(fd, audioStart, h, 10)) {
        const size_t tag = mpeg::Id3v2Size(h, 10);
        if (!tag || tag > audioEnd - audioStart) break;
        audioStart += tag;
    }
    uint8_t t[3];
    if (audioEnd >= audioStart + 128 && kyReadExactlyAt(fd, audioEnd - 128, t, 3) &&
        !std::memcmp(t, "TAG", 3))
        audioEnd -= 128;
    return KY_OK;
}
