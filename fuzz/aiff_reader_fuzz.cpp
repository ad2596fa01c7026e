// Feeds arbitrary bytes to the AIFF/AIFF-C reader as a file: open, read everything (from
// the start and after a seek), and ask for its markers and properties.
#include "formats/aiff_common.h"
#include "reader_fuzz.h"
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const kyFormatEntry* entry =
        fuzzing::readerEntry("Audio interchange file format - Compressed");
    uint8_t head[KY_PROBE_BYTES] = {};
    std::memcpy(head, data, size < sizeof head ? size : sizeof head);
    aiff::ProbeAiff(head, sizeof head);
    aiff::ProbeAifc(head, sizeof head);
    fuzzing::readAll(entry, "fuzz.aifc", data, size);
    return 0;
}
