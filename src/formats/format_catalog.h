#pragma once
// The process-wide catalogue of file formats. Each format module registers its entries
// once at start-up; everything else asks the catalogue, never a format directly.
#include "core/error.h"
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class kyReaderFilter;
class kyWriterFilter;
struct kyFormatEntry;

// Content scores of a probe.
constexpr int KY_PROBE_NO = 0;
constexpr int KY_PROBE_UNSURE = 2;
constexpr int KY_PROBE_LIKELY = 4;
constexpr int KY_PROBE_CERTAIN = 6;

// Bytes handed to a probe: the head of the file, zero-filled past a shorter file.
constexpr size_t KY_PROBE_BYTES = 4096;

// Scores the first KY_PROBE_BYTES bytes of a file.
using kyProbeFn = int (*)(const uint8_t* head, size_t size);
// Makes a reader over an open file (the reader owns the descriptor from then on, also when
// it fails). Null only when the reader could not be allocated.
using kyReaderFactory = kyReaderFilter* (*)(int fd, const char* fileName,
                                            const kyFormatEntry* entry, int32_t option);
// Makes a writer over a freshly created file (the writer owns the descriptor). `subformat`
// may be empty. Null only when the writer could not be allocated.
using kyWriterFactory = kyWriterFilter* (*)(int fd, const char* fileName, const char* subformat,
                                            const kyFormatEntry* entry);

// The codec libraries a format loads at run time, for writing or for reading, as the front
// ends show them.
struct kyComponentStatus {
    std::string library; // the files loaded ("libmp3lame.so.0", "libvorbis.so.0, libogg.so.0")
    std::string version; // name and version when found and told ("libmp3lame 3.100"), else ""
    std::string missing; // what is missing ("libFLAC.so.12 not found"), "" when nothing is
    bool found() const { return missing.empty(); }
    // A library that tells its version once loaded: an empty version means not found.
    static kyComponentStatus Versioned(std::string library, std::string version) {
        std::string missing = version.empty() ? library + " not found" : std::string();
        return {std::move(library), std::move(version), std::move(missing)};
    }
};
using kyComponentFn = kyComponentStatus (*)(bool writing);

// One format as the catalogue knows it. Texts are UTF-8.
struct kyFormatEntry {
    std::string extension;   // without the dot; empty matches any file; may hold ? and *
    std::string displayName; // shown to the user and stored as the writer's format name
    kyProbeFn probe = nullptr;
    kyReaderFactory reader = nullptr;
    kyWriterFactory writer = nullptr;
    // Subformats a writer offers, in order: "<Auto select>" first (except MPEG-4),
    // "*X" group headers for compressed streams stored unchanged.
    std::vector<std::string> subformats;
    uint32_t minChannels = 1;
    uint32_t maxChannels = 1000;
    int32_t parameter = 0; // the writer's own meaning (BWF mode, byte order, profile...)
    kyComponentFn component = nullptr; // the codec libraries it needs, if any (null for the
                                       // program's own formats)
    // Compression levels the writer takes (kyWriterFilter::SetCompressionLevel), in the
    // codec's own numbering; none when highestLevel < lowestLevel.
    int32_t lowestLevel = 0;
    int32_t highestLevel = -1;
};

class kyFormatCatalog {
public:
    // The one catalogue of the process, with every built-in format registered.
    static kyFormatCatalog& Instance();

    // Sorted insertion by extension, then display name (both case-insensitive); an entry
    // already at its place is not inserted twice. The entry must outlive the catalogue.
    void RegisterFormat(const kyFormatEntry* entry);

    size_t Count() const { return m_entries.size(); }
    const kyFormatEntry* Entry(int32_t index) const;
    // Index of `entry`, or -1.
    int32_t IndexOf(const kyFormatEntry* entry) const;

    // From `index` on, the first entry with a writer: updates `index` and returns true.
    // False for a negative index or when none is left.
    bool NextWriterFormat(int32_t& index, std::string* extension = nullptr,
                          std::string* displayName = nullptr) const;
    // The subformat-th item of a writer's list, "*" headers not counted ("<Auto select>" is
    // item 0), with the entry's channel limits.
    bool GetWriterSubformat(int32_t formatIndex, int32_t subformatIndex, std::string& name,
                            uint32_t* maxChannels = nullptr, uint32_t* minChannels = nullptr) const;
    // First entry with a writer whose extension equals the name's (text after the last
    // dot), or -1.
    int32_t FindWriterFormat(const char* fileName) const;
    // Detection by extension and content; the file position is put back to 0. -1 when no
    // entry reaches a score of 4.
    int32_t FindReaderFormat(const char* fileName, int fd) const;

    // Opens `fileName` for reading; formatIndex -2 detects the format.
    kyError OpenReader(kyReaderFilter*& reader, const char* fileName, int32_t formatIndex,
                       int32_t option = 0) const;
    // Creates (replacing) `fileName` and a writer for it; formatIndex -2 chooses by
    // extension. The file exists, empty, once this succeeds.
    kyError CreateWriter(kyWriterFilter*& writer, const char* fileName, const char* subformat,
                         int32_t formatIndex) const;

    // The extension of a file name as detection sees it (text after the last dot).
    static std::string ExtensionOf(const char* fileName);

private:
    std::vector<const kyFormatEntry*> m_entries;
};

// Case-insensitive (ASCII) comparison, <0, 0 or >0.
int kyCompareNoCase(const std::string& a, const std::string& b);
