// Arbitrary bytes as a WavPack file: the probe, the tags at the end of the file, and the
// unpacking through libwavpack over the reader's own file (our stream callbacks, which
// keep the library inside the audio part).
#include "formats/wv_reader.h"
#include "reader_fuzz.h"
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t head[KY_PROBE_BYTES] = {};
    std::memcpy(head, data, size < sizeof head ? size : sizeof head);
    wv_Reader::Probe(head, sizeof head);
    static const kyFormatEntry* entry = fuzzing::readerEntry("WavPack lossless compression");
    fuzzing::readAll(entry, "fuzz.wv", data, size);
    return 0;
}
