// Feeds arbitrary bytes to the CAF reader as a file: open, read everything (from the start
// and after a seek), and ask for its properties.
#include "formats/caf_common.h"
#include "reader_fuzz.h"
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const kyFormatEntry* entry = fuzzing::readerEntry("Apple CoreAudio format");
    uint8_t head[KY_PROBE_BYTES] = {};
    std::memcpy(head, data, size < sizeof head ? size : sizeof head);
    caf::ProbeCaf(head, sizeof head);
    fuzzing::readAll(entry, "fuzz.caf", data, size);
    return 0;
}
