// Feeds arbitrary bytes to the MPEG audio reader as a file (the tags around the stream,
// the first frame and its VBR header, the frame count, the stream handed on or decoded),
// and to the frame and VBR header parsers and the probe directly.
#include "formats/mpeg_audio_common.h"
#include "reader_fuzz.h"
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const kyFormatEntry* entry = fuzzing::readerEntry("MPEG audio layer III");
    uint8_t head[KY_PROBE_BYTES] = {};
    std::memcpy(head, data, size < sizeof head ? size : sizeof head);
    mpeg::Probe(head, sizeof head);
    mpeg::FrameHeader h;
    mpeg::VbrHeader v;
    if (mpeg::ParseFrameHeader(data, size, h)) mpeg::ParseVbrHeader(data, size, h, v);
    mpeg::FindFrames(data, size, 0, 3, &h);
    fuzzing::readAll(entry, "fuzz.mp3", data, size);
    return 0;
}
