// Feeds arbitrary bytes to the AAC reader as a file (the tags around the stream, ADTS
// frames found and counted, ADIF, the stream handed on or decoded), and to the ADTS parser
// and the probe directly.
#include "formats/adts_common.h"
#include "reader_fuzz.h"
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const kyFormatEntry* entry =
        fuzzing::readerEntry("MPEG 2/4 AAC (Advanced Audio Coding)");
    uint8_t head[KY_PROBE_BYTES] = {};
    std::memcpy(head, data, size < sizeof head ? size : sizeof head);
    adts::Probe(head, sizeof head);
    adts::Header h;
    adts::Parse(data, size, h);
    fuzzing::readAll(entry, "fuzz.aac", data, size);
    return 0;
}
