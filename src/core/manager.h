#pragma once
// The process-wide pipeline manager: opens readers and creates writers through the format
// catalogue, connects a source to a writer with channel and rate conversion, and makes
// names for temporary files.
#include "core/error.h"
#include <cstdint>
#include <string>

class kySourceFilter;
class kyReaderFilter;
class kyWriterFilter;
class kySinkFilter;
struct kyFormatEntry;

// Longest temporary file name the callers keep (characters, with the terminator).
constexpr size_t KY_MAX_PATH = 260;

class kyManager {
public:
    static kyManager& Instance();
    virtual ~kyManager() = default;

    // formatIndex -2 detects the format from the file.
    virtual kyError OpenReader(kyReaderFilter*& reader, const char* fileName, int32_t formatIndex,
                               int32_t option);
    // formatIndex -2 chooses the format by the name's extension.
    virtual kyError CreateWriter(kyWriterFilter*& writer, const char* fileName,
                                 const char* subformat, int32_t formatIndex);

    // Connects `source` to `writer` so that the writer gets `channels` channels (0: the
    // source's count within the writer's limits) at `sampleRate` (0: the source's rate),
    // inserting a channel broker and a resampler where needed. On failure nothing has been
    // linked and the caller still owns both.
    kyError ConnectWithConversion(kySourceFilter* source, kyWriterFilter* writer, uint32_t channels,
                                  uint32_t sampleRate);
    // The same for a sink that stands in for a writer of `entry` made later (null: no
    // channel limits).
    kyError ConnectWithConversion(kySourceFilter* source, kySinkFilter* sink,
                                  const kyFormatEntry* entry, uint32_t channels,
                                  uint32_t sampleRate);

    // Makes and creates a unique empty file "ky??????.tmp" in the temporary directory and
    // returns its name; the caller removes it. Empty only when no name fits in KY_MAX_PATH.
    static std::string TempFileName();
    // A temporary file for the caller's own use, opened read/write and already unlinked:
    // it has no name, so nothing is left behind whatever becomes of the process, and its
    // space is freed when the descriptor is closed. -1 when none can be made.
    static int OpenTempFile();
};
