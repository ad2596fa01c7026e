// Arbitrary bytes as a Shorten file: the probe, the header and its WAVE header, and our
// own decoder's commands and Rice codes.
#include "formats/shn_reader.h"
#include "reader_fuzz.h"
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t head[KY_PROBE_BYTES] = {};
    std::memcpy(head, data, size < sizeof head ? size : sizeof head);
    shn_Reader::Probe(head, sizeof head);
    static const kyFormatEntry* entry = fuzzing::readerEntry("Shorten lossless compression");
    fuzzing::readAll(entry, "fuzz.shn", data, size);
    return 0;
}
