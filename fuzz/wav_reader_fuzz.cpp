// Feeds arbitrary bytes to the WAV reader as a file: open, read everything (from the
// start and after a seek), and ask for its markers and properties.
#include "core/filter.h"
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "formats/wav_common.h"
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

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

const kyFormatEntry* wavReaderEntry() {
    kyFormatCatalog& c = kyFormatCatalog::Instance();
    for (size_t i = 0; i < c.Count(); ++i) {
        const kyFormatEntry* e = c.Entry(static_cast<int32_t>(i));
        if (e->displayName == "Microsoft wave format" && e->reader) return e;
    }
    return nullptr;
}

void readAll(const uint8_t* data, size_t size, bool seek, bool interleaved) {
    static const kyFormatEntry* entry = wavReaderEntry();
    int fd = memfd_create("wav", 0);
    if (fd < 0) return;
    if (size && write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return;
    }
    lseek(fd, 0, SEEK_SET);
    kyReaderFilter* r = entry->reader(fd, "fuzz.wav", entry, 0);
    if (!r) {
        close(fd);
        return;
    }
    if (kySucceeded(r->OpenResult())) {
        kyAudioFormat f{};
        r->GetFormat(f);
        for (uint32_t i = 0; i < 31; ++i) r->GetPropertyW(i);
        uint32_t frame;
        std::string name;
        for (uint32_t i = 0; i < 4 && r->GetMarker(i, frame, name); ++i) {
        }
        auto* sink = new NullSink;
        r->Connect(sink);
        if (seek) r->Seek(f.lengthFrames / 3);
        if (interleaved && r->GetInterleavedFormat(f.channels))
            r->RunInterleaved();
        else
            sink->Run();
        sink->DestroyChain(); // destroys the reader too
        return;
    }
    delete r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t head[KY_PROBE_BYTES] = {};
    std::memcpy(head, data, size < sizeof head ? size : sizeof head);
    wav::ProbeWav(head, sizeof head);
    wav::ProbeBwf(head, sizeof head);
    const uint8_t mode = size ? data[size - 1] : 0;
    readAll(data, size, mode & 1, mode & 2);
    return 0;
}
