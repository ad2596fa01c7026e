#pragma once
// What every reader's fuzz target does with its input: hand the bytes to the reader of a
// catalogue entry as a file, then open it, ask for its properties and markers, and read
// everything (from the start or after a seek, planar or interleaved).
#include "core/filter.h"
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace fuzzing {

class NullSink : public kySinkFilter2 {
public:
    NullSink() : kySinkFilter2("Null sink") {}
    kyError Write(float** planes, uint32_t frames) override {
        // Touch the first and last sample of every plane the reader hands over.
        for (float** p = planes; *p; ++p) sum += (*p)[0] + (*p)[frames - 1];
        total += frames;
        return total > (1u << 22) ? KYERR_CANCELLED : KY_OK; // bound the work per input
    }
    kyError WriteInterleaved(const void* bytes, uint32_t n, uint32_t frames) override {
        if (n) sum += static_cast<const uint8_t*>(bytes)[n - 1];
        total += frames;
        return total > (1u << 22) ? KYERR_CANCELLED : KY_OK;
    }
    float sum = 0;
    uint64_t total = 0;
};

// The reader entry with this display name.
inline const kyFormatEntry* readerEntry(const char* displayName) {
    kyFormatCatalog& c = kyFormatCatalog::Instance();
    for (size_t i = 0; i < c.Count(); ++i) {
        const kyFormatEntry* e = c.Entry(static_cast<int32_t>(i));
        if (e->displayName == displayName && e->reader) return e;
    }
    return nullptr;
}

// The last byte of the input chooses a seek (bit 0) and the interleaved run (bit 1).
inline void readAll(const kyFormatEntry* entry, const char* fileName, const uint8_t* data,
                    size_t size) {
    const uint8_t mode = size ? data[size - 1] : 0;
    int fd = memfd_create("fuzz", 0);
    if (fd < 0) return;
    if (size && write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return;
    }
    lseek(fd, 0, SEEK_SET);
    kyReaderFilter* r = entry->reader(fd, fileName, entry, 0);
    if (!r) {
        close(fd);
        return;
    }
    if (kyFailed(r->OpenResult())) {
        delete r;
        return;
    }
    kyAudioFormat f{};
    r->GetFormat(f);
    for (uint32_t i = 0; i < 31; ++i) r->GetPropertyW(i);
    uint32_t frame;
    std::string name;
    for (uint32_t i = 0; i < 4 && r->GetMarker(i, frame, name); ++i) {
    }
    auto* sink = new NullSink;
    r->Connect(sink);
    if (mode & 1) r->Seek(f.lengthFrames / 3);
    if ((mode & 2) && r->GetInterleavedFormat(f.channels))
        r->RunInterleaved();
    else
        sink->Run();
    sink->DestroyChain(); // destroys the reader too
}

} // namespace fuzzing
