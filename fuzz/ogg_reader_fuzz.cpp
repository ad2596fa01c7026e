// Arbitrary bytes as an Ogg Vorbis file: the probe, then libvorbisfile over the reader's
// own file, the comments and the decoding.
#include "formats/ogg_reader.h"
#include "reader_fuzz.h"
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t head[KY_PROBE_BYTES] = {};
    std::memcpy(head, data, size < sizeof head ? size : sizeof head);
    ogg_Reader::Probe(head, sizeof head);
    static const kyFormatEntry* entry = fuzzing::readerEntry("Vorbis Ogg stream");
    fuzzing::readAll(entry, "fuzz.ogg", data, size);
    return 0;
}
