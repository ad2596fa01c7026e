#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "formats/writer_filter.h"
#include "platform/file_io.h"
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

// Each format module's registration. They run in this order at start-up (the order only
// matters among entries that compare equal): AAC, AIFF, Monkey's Audio, BWF, CAF, FLAC,
// iTunes MPEG-4, QuickTime, MPEG layer II, MPEG layer III, MPEG-4, Musepack, Ogg Vorbis,
// Shorten, WAV, WavPack. The WAV module registers BWF and WAV; the QuickTime module iTunes
// MPEG-4, QuickTime and MPEG-4; the MPEG module layers II and III, and the MPEG audio reader.
void aac_RegisterFormats(kyFormatCatalog& catalog);
void aiff_RegisterFormats(kyFormatCatalog& catalog);
void ape_RegisterFormats(kyFormatCatalog& catalog);
void caf_RegisterFormats(kyFormatCatalog& catalog);
void mov_RegisterFormats(kyFormatCatalog& catalog);
void mpeg_RegisterFormats(kyFormatCatalog& catalog);
void flac_RegisterFormats(kyFormatCatalog& catalog);
void mpc_RegisterFormats(kyFormatCatalog& catalog);
void ogg_RegisterFormats(kyFormatCatalog& catalog);
void shn_RegisterFormats(kyFormatCatalog& catalog);
void wav_RegisterFormats(kyFormatCatalog& catalog);
void wv_RegisterFormats(kyFormatCatalog& catalog);

int kyCompareNoCase(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int ca = std::tolower(static_cast<unsigned char>(a[i]));
        int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca - cb;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

namespace {

// "?" matches one character and "*" the rest, case-insensitively.
bool extensionMatches(const std::string& pattern, const std::string& ext) {
    size_t i = 0;
    for (; i < pattern.size(); ++i) {
        if (pattern[i] == '*') return true;
        if (i >= ext.size()) return false;
        if (pattern[i] == '?') continue;
        if (std::tolower(static_cast<unsigned char>(pattern[i])) !=
            std::tolower(static_cast<unsigned char>(ext[i])))
            return false;
    }
    return i == ext.size();
}

} // namespace

kyFormatCatalog& kyFormatCatalog::Instance() {
    static kyFormatCatalog catalog;
    static std::once_flag once;
    std::call_once(once, [] {
        aac_RegisterFormats(catalog);
        aiff_RegisterFormats(catalog);
        ape_RegisterFormats(catalog);
        caf_RegisterFormats(catalog);
        mov_RegisterFormats(catalog);
        mpeg_RegisterFormats(catalog);
        flac_RegisterFormats(catalog);
        mpc_RegisterFormats(catalog);
        ogg_RegisterFormats(catalog);
        shn_RegisterFormats(catalog);
        wav_RegisterFormats(catalog);
        wv_RegisterFormats(catalog);
    });
    return catalog;
}

void kyFormatCatalog::RegisterFormat(const kyFormatEntry* entry) {
    if (!entry) return;
    size_t pos = 0;
    for (; pos < m_entries.size(); ++pos) {
        const kyFormatEntry* e = m_entries[pos];
        int c = kyCompareNoCase(e->extension, entry->extension);
        if (c > 0) break;
        if (c == 0 && kyCompareNoCase(e->displayName, entry->displayName) >= 0) break;
    }
    if (pos < m_entries.size() && m_entries[pos] == entry) return;
    if (m_entries.size() == m_entries.capacity()) m_entries.reserve(m_entries.size() + 32);
    m_entries.insert(m_entries.begin() + static_cast<ptrdiff_t>(pos), entry);
}

const kyFormatEntry* kyFormatCatalog::Entry(int32_t index) const {
    if (index < 0 || static_cast<size_t>(index) >= m_entries.size()) return nullptr;
    return m_entries[static_cast<size_t>(index)];
}

int32_t kyFormatCatalog::IndexOf(const kyFormatEntry* entry) const {
    for (size_t i = 0; i < m_entries.size(); ++i)
        if (m_entries[i] == entry) return static_cast<int32_t>(i);
    return -1;
}

bool kyFormatCatalog::NextWriterFormat(int32_t& index, std::string* extension,
                                       std::string* displayName) const {
    if (index < 0) return false;
    for (size_t i = static_cast<size_t>(index); i < m_entries.size(); ++i) {
        if (!m_entries[i]->writer) continue;
        index = static_cast<int32_t>(i);
        if (extension) *extension = m_entries[i]->extension;
        if (displayName) *displayName = m_entries[i]->displayName;
        return true;
    }
    return false;
}

bool kyFormatCatalog::GetWriterSubformat(int32_t formatIndex, int32_t subformatIndex,
                                         std::string& name, uint32_t* maxChannels,
                                         uint32_t* minChannels) const {
    const kyFormatEntry* e = Entry(formatIndex);
    if (!e || !e->writer || e->subformats.empty() || subformatIndex < 0) return false;
    int32_t n = 0;
    for (const std::string& item : e->subformats) {
        if (!item.empty() && item[0] == '*') continue;
        if (n++ == subformatIndex) {
            name = item;
            if (maxChannels) *maxChannels = e->maxChannels;
            if (minChannels) *minChannels = e->minChannels;
            return true;
        }
    }
    return false;
}

std::string kyFormatCatalog::ExtensionOf(const char* fileName) {
    if (!fileName) return {};
    const char* dot = std::strrchr(fileName, '.');
    return dot ? std::string(dot + 1) : std::string();
}

int32_t kyFormatCatalog::FindWriterFormat(const char* fileName) const {
    std::string ext = ExtensionOf(fileName);
    if (ext.empty()) return -1;
    for (size_t i = 0; i < m_entries.size(); ++i)
        if (m_entries[i]->writer && kyCompareNoCase(m_entries[i]->extension, ext) == 0)
            return static_cast<int32_t>(i);
    return -1;
}

int32_t kyFormatCatalog::FindReaderFormat(const char* fileName, int fd) const {
    uint8_t head[KY_PROBE_BYTES] = {};
    if (fd >= 0) {
        kyReadUpTo(fd, 0, head, sizeof head); // a shorter file leaves zeros
        ::lseek(fd, 0, SEEK_SET);
    }
    std::string ext = ExtensionOf(fileName);
    int32_t best = -1;
    int bestScore = -1;
    for (size_t i = 0; i < m_entries.size(); ++i) {
        const kyFormatEntry* e = m_entries[i];
        if (!e->reader) continue;
        int score = e->extension.empty() ? 1 : (extensionMatches(e->extension, ext) ? 3 : 0);
        score += e->probe ? e->probe(head, sizeof head) : KY_PROBE_UNSURE;
        if (score > bestScore) {
            bestScore = score;
            best = static_cast<int32_t>(i);
        }
    }
    return bestScore >= 4 ? best : -1;
}

kyError kyFormatCatalog::OpenReader(kyReaderFilter*& reader, const char* fileName,
                                    int32_t formatIndex, int32_t option) const {
    reader = nullptr;
    if (!fileName) return KYERR_INVALID_PARAMETER;
    int fd = ::open(fileName, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        kySetErrorReason(KYERR_OPEN_FILE, errno);
        return KYERR_OPEN_FILE;
    }
    if (formatIndex == -2) {
        formatIndex = FindReaderFormat(fileName, fd);
        if (formatIndex < 0) {
            ::close(fd);
            return KYERR_FILE_FORMAT;
        }
    }
    const kyFormatEntry* e = Entry(formatIndex);
    if (!e || !e->reader) {
        ::close(fd);
        return KYERR_INVALID_PARAMETER;
    }
    kyReaderFilter* r = e->reader(fd, fileName, e, option);
    if (!r) {
        ::close(fd);
        return KYERR_OUT_OF_MEMORY;
    }
    // A file the reader could not make sense of is reported now, not at the first pull.
    kyError err = r->OpenResult();
    if (kyFailed(err)) {
        delete r; // closes the file
        return err;
    }
    reader = r;
    return KY_OK;
}

kyError kyFormatCatalog::CreateWriter(kyWriterFilter*& writer, const char* fileName,
                                      const char* subformat, int32_t formatIndex) const {
    writer = nullptr;
    if (!fileName) return KYERR_INVALID_PARAMETER;
    if (formatIndex == -2) {
        formatIndex = FindWriterFormat(fileName);
        if (formatIndex < 0) return KYERR_FILE_FORMAT;
    }
    const kyFormatEntry* e = Entry(formatIndex);
    if (!e || !e->writer) return KYERR_INVALID_PARAMETER;
    // Truncated only when not empty already (the usual case: the temporary file a rip has
    // just made): on ext4 truncating a file to nothing makes its close start writing the
    // whole file back there and then, in the writer's time.
    int fd = ::open(fileName, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || st.st_size != 0) && ::ftruncate(fd, 0) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        fd = -1;
    }
    if (fd < 0) {
        kySetErrorReason(KYERR_CREATE_FILE, errno);
        return KYERR_CREATE_FILE;
    }
    kyWriterFilter* w = e->writer(fd, fileName, subformat ? subformat : "", e);
    if (!w) {
        ::close(fd);
        return KYERR_OUT_OF_MEMORY;
    }
    writer = w;
    return KY_OK;
}
