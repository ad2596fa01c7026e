// Feeds arbitrary bytes to the WAV reader as a file: open, read everything (from the
// start and after a seek), and ask for its markers and properties.
#include "formats/wav_common.h"
#include "reader_fuzz.h"
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const kyFormatEntry* entry = fuzzing::readerEntry("Microsoft wave format");
    uint8_t head[KY_PROBE_BYTES] = {};
    std::memcpy(head, data, size < sizeof head ? size : sizeof head);
    wav::ProbeWav(head, sizeof head);
    wav::ProbeBwf(head, sizeof head);
    fuzzing::readAll(entry, "fuzz.wav", data, size);
    return 0;
}
