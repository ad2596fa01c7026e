// Arbitrary bytes as a FLAC file: the probe, our walk over the metadata blocks (with the
// comment block) and the decoding through libFLAC over the reader's own file.
#include "formats/flac_common.h"
#include "reader_fuzz.h"
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t head[KY_PROBE_BYTES] = {};
    std::memcpy(head, data, size < sizeof head ? size : sizeof head);
    flac::Probe(head, sizeof head);
    static const kyFormatEntry* entry = fuzzing::readerEntry("Free lossless audio codec");
    fuzzing::readAll(entry, "fuzz.flac", data, size);
    return 0;
}
