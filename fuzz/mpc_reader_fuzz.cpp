// Arbitrary bytes as a Musepack file: the probe, the tags around the stream, our check of
// the SV8 stream header, and libmpcdec's demuxing over the reader's own file callbacks.
#include "formats/mpc_reader.h"
#include "reader_fuzz.h"
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t head[KY_PROBE_BYTES] = {};
    std::memcpy(head, data, size < sizeof head ? size : sizeof head);
    mpc_Reader::Probe(head, sizeof head);
    static const kyFormatEntry* entry = fuzzing::readerEntry("Musepack audio compression");
    fuzzing::readAll(entry, "fuzz.mpc", data, size);
    return 0;
}
