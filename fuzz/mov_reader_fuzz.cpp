// Feeds arbitrary bytes to the QuickTime/MPEG-4 reader as a file: the box walk, compressed
// movie headers, sample tables, metadata atoms and every decoder behind them; and to the
// metadata parser on its own.
#include "formats/mov_common.h"
#include "formats/tags/mp4_atoms.h"
#include "reader_fuzz_support.h"
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const kyFormatEntry* entry = fuzzing::readerEntry("Apple QuickTime movie format");
    uint8_t head[KY_PROBE_BYTES] = {};
    std::memcpy(head, data, size < sizeof head ? size : sizeof head);
    mov::ProbeMov(head, sizeof head);
    mov::ProbeMp4(head, sizeof head);
    mov::ProbeM4a(head, sizeof head);
    const uint8_t mode = size ? data[size - 1] : 0;
    fuzzing::readAll(entry, "fuzz.mov", data, size, mode & 1, mode & 2);
    if (mode & 4) {
        kyPropertyTable props;
        std::vector<kyMp4Freeform> others;
        kyParseMp4UserData(data, size, props, &others);
    }
    return 0;
}
