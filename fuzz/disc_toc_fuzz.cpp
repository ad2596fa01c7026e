// Feeds arbitrary drive answers to the table-of-contents builder: the first 804 bytes as the
// plain table, the rest as the full table.
#include "cd/disc_toc.h"
#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> plain(data, data + (size < 804 ? size : 804));
    std::vector<uint8_t> full;
    if (size > 804) full.assign(data + 804, data + (size - 804 > 2204 ? 804 + 2204 : size));
    kyDiscToc toc;
    if (toc.BuildFromPlain(plain.data(), plain.size()))
        toc.RefineFromFull(full.data(), full.size());
    return 0;
}
