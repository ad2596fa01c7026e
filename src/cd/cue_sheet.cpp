// Loading a CUE sheet and its files into a disc model. Sheets come from many programs: the
// loader takes them as they are written in the wild (any letter case, tabs, CR LF, UTF-8
// with or without its mark or Windows-1252 text, "\" in file names, a track's INDEX 00 at
// the end of the previous FILE) and refuses the rest with "<path>:<line>: <reason>".
#include "cd/disc_image_builder.h"
#include "core/filter.h"
#include "core/text.h"
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "platform/file_io.h"
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t kSectorBytes = 2352;
constexpr uint32_t kFramesPerSector = 588;
constexpr size_t kMaxCueBytes = 1 << 20; // a real sheet is a few kilobytes
constexpr uint32_t kSessionGap = 11400;  // lead-out, lead-in and pregap between sessions
// The last address a CD can have is 99:59:74 (LBA 449849): the lead-out at most one after.
constexpr uint32_t kMaxLeadOut = 100 * 60 * 75 - 150;

// How a track's sectors are stored in its file.
enum class Stored { Raw, Mode1User, Mode2Formless, Mode2Form1User, Mode2Form2User, RawSubcode };
struct SectorFormat {
    const char* name;
    uint32_t bytes; // per sector in the file
    uint8_t mode;   // 0 audio, 1 mode 1, 2 mode 2
    Stored stored;
};
constexpr SectorFormat kFormats[] = {
    {"AUDIO", 2352, 0, Stored::Raw},
    {"CDG", 2448, 0, Stored::RawSubcode},
    {"MODE1/2048", 2048, 1, Stored::Mode1User},
    {"MODE1/2352", 2352, 1, Stored::Raw},
    {"MODE2/2048", 2048, 2, Stored::Mode2Form1User},
    {"MODE2/2324", 2324, 2, Stored::Mode2Form2User},
    {"MODE2/2336", 2336, 2, Stored::Mode2Formless},
    {"MODE2/2352", 2352, 2, Stored::Raw},
    {"CDI/2336", 2336, 2, Stored::Mode2Formless},
    {"CDI/2352", 2352, 2, Stored::Raw},
};

struct FileHandle {
    int fd = -1;
    uint64_t bytes = 0;
    ~FileHandle() {
        if (fd >= 0) ::close(fd);
    }
};

uint8_t Bcd(uint32_t v) {
    return uint8_t((v / 10) << 4 | (v % 10));
}

// A run of sectors of a BINARY or MOTOROLA file in one sector format, read with pread so
// that reads need no shared position. Sectors stored without their header get the sync
// pattern and header of their disc address (the error-correction bytes stay zero).
struct FileSource : kyDiscImage::Source {
    std::shared_ptr<FileHandle> file;
    uint64_t base; // byte offset of the run's first sector
    uint32_t lba;  // its disc address
    SectorFormat format;
    bool swap; // MOTOROLA: 16-bit samples stored big-endian
    FileSource(std::shared_ptr<FileHandle> f, uint64_t b, uint32_t l, SectorFormat fmt, bool s)
        : file(std::move(f)), base(b), lba(l), format(fmt), swap(s) {}

    bool Read(uint64_t sector, uint32_t count, uint8_t* out) const override {
        if (format.stored == Stored::Raw) return ReadRun(sector, count, out, 2352);
        std::vector<uint8_t> one(format.bytes);
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t* s = out + size_t(i) * kSectorBytes;
            if (!ReadRun(sector + i, 1, one.data(), format.bytes)) return false;
            std::memset(s, 0, kSectorBytes);
            if (format.stored == Stored::RawSubcode) {
                std::memcpy(s, one.data(), kSectorBytes);
                continue;
            }
            s[0] = 0;
            std::memset(s + 1, 0xFF, 10);
            uint8_t m, sec, f;
            kyLbaToMsf(lba + uint32_t(sector + i), m, sec, f);
            s[12] = Bcd(m);
            s[13] = Bcd(sec);
            s[14] = Bcd(f);
            s[15] = format.mode;
            switch (format.stored) {
            case Stored::Mode1User:
            case Stored::Mode2Formless:
                std::memcpy(s + 16, one.data(), format.bytes);
                break;
            case Stored::Mode2Form1User:
                s[18] = s[22] = 0x08; // subheader: data, form 1
                std::memcpy(s + 24, one.data(), format.bytes);
                break;
            case Stored::Mode2Form2User:
                s[18] = s[22] = 0x20; // subheader: form 2
                std::memcpy(s + 24, one.data(), format.bytes);
                break;
            default:
                break;
            }
        }
        return true;
    }

    // `count` sectors of `size` bytes; the last sector of a file that is not a whole number
    // of sectors is padded.
    bool ReadRun(uint64_t sector, uint32_t count, uint8_t* out, uint32_t size) const {
        const uint64_t offset = base + sector * size;
        const size_t want = size_t(count) * size;
        const size_t inFile =
            offset >= file->bytes ? 0 : size_t(std::min<uint64_t>(want, file->bytes - offset));
        if (inFile && !kyReadExactlyAt(file->fd, offset, out, inFile)) return false;
        std::memset(out + inFile, 0, want - inFile);
        if (swap)
            for (size_t i = 0; i + 1 < want; i += 2) std::swap(out[i], out[i + 1]);
        return true;
    }
};

// Takes the float blocks a reader pushes as 16-bit stereo samples.
class CaptureSink : public kySinkFilter2 {
public:
    CaptureSink() : kySinkFilter2("CUE audio file") {}
    std::vector<int16_t>* samples = nullptr;
    void Restart() { m_finished = false; }
    kyError Write(float** planes, uint32_t frames) override {
        for (uint32_t i = 0; i < frames; ++i)
            for (int c = 0; c < 2; ++c) {
                const float v = std::nearbyint(planes[c][i] * 32768.0f);
                samples->push_back(int16_t(std::clamp(v, -32768.0f, 32767.0f)));
            }
        return KY_OK;
    }
};

// An audio file of any format the catalogue reads, as CD-DA sectors. The decoder moves on
// from where the last read ended; the samples of the last few thousand sectors stay at hand
// for the drive's re-reads, and a read elsewhere seeks.
class DecodedSource : public kyDiscImage::Source {
public:
    explicit DecodedSource(kyReaderFilter* reader) : m_reader(reader) {
        m_reader->Connect(&m_sink);
    }
    ~DecodedSource() override {
        m_reader->Disconnect();
        delete m_reader;
    }

    // The length in frames; decodes the whole file when the header does not tell it.
    bool Measure(uint64_t& frames) {
        kyAudioFormat format;
        m_reader->GetFormat(format);
        if (format.lengthFrames != KY_NO_LENGTH) {
            frames = format.lengthFrames;
            return true;
        }
        frames = 0;
        std::vector<int16_t> block;
        m_sink.samples = &block;
        m_reader->Seek(0);
        m_sink.Restart();
        if (kyFailed(m_reader->Prepare())) return false;
        while (!m_sink.finished()) {
            block.clear();
            if (kyFailed(m_reader->Process())) return false;
            frames += block.size() / 2;
        }
        m_next = UINT64_MAX;
        return true;
    }

    bool Read(uint64_t sector, uint32_t count, uint8_t* out) const override {
        std::lock_guard<std::mutex> hold(m_lock);
        const uint64_t first = sector * kFramesPerSector;
        const uint64_t end = first + uint64_t(count) * kFramesPerSector;
        const uint64_t cached = m_start + m_samples.size() / 2;
        if (first < m_start || first > cached || m_next != cached) {
            // Somewhere else: start decoding there.
            m_samples.clear();
            m_start = first;
            m_done = false;
            m_reader->Seek(uint32_t(std::min<uint64_t>(first, KY_NO_LENGTH - 1)));
            m_sink.samples = &m_samples;
            m_sink.Restart();
            if (kyFailed(m_reader->Prepare())) return false;
            m_next = first;
        }
        m_sink.samples = &m_samples;
        while (!m_done && m_start + m_samples.size() / 2 < end) {
            if (m_sink.finished()) {
                m_done = true;
                break;
            }
            if (kyFailed(m_reader->Process())) return false;
            m_next = m_start + m_samples.size() / 2;
        }
        // Past the end of the audio: silence up to the end of the last sector.
        const uint64_t have = m_start + m_samples.size() / 2;
        for (uint64_t f = first; f < end; ++f) {
            uint8_t* p = out + (f - first) * 4;
            if (f < have) {
                for (int c = 0; c < 2; ++c) {
                    const uint16_t v = uint16_t(m_samples[size_t(f - m_start) * 2 + size_t(c)]);
                    p[c * 2] = uint8_t(v);
                    p[c * 2 + 1] = uint8_t(v >> 8);
                }
            } else {
                std::memset(p, 0, 4);
            }
        }
        // Keep the samples of the last sectors only.
        constexpr size_t kKeepFrames = 4096 * kFramesPerSector;
        const size_t frames = m_samples.size() / 2;
        if (frames > 2 * kKeepFrames) {
            const size_t drop = std::min<size_t>(frames - kKeepFrames, size_t(first - m_start));
            m_samples.erase(m_samples.begin(), m_samples.begin() + ptrdiff_t(drop * 2));
            m_start += drop;
        }
        return true;
    }

private:
    kyReaderFilter* m_reader;
    mutable CaptureSink m_sink;
    mutable std::mutex m_lock;
    mutable std::vector<int16_t> m_samples; // interleaved, from frame m_start on
    mutable uint64_t m_start = 0;
    mutable uint64_t m_next = UINT64_MAX; // the frame the decoder delivers next
    mutable bool m_done = false;
};

// The name of an audio file's encoding as its reader names it: 16-bit PCM and 16-bit
// lossless are taken as they are, lossy codecs are rounded to 16 bits; any other bit depth
// is refused.
bool SixteenBits(const std::string& subformat) {
    if (subformat == "PCM 16-bit" || subformat == "Lossless 16-bit") return true;
    return !(kyStartsWithNoCaseAscii(subformat, "PCM") ||
             kyStartsWithNoCaseAscii(subformat, "Lossless") ||
             kyStartsWithNoCaseAscii(subformat, "Float") || subformat == "A-Law" ||
             subformat == "mu-Law");
}

struct CueFile {
    std::string name;
    size_t line = 0;
    std::shared_ptr<FileHandle> handle; // BINARY and MOTOROLA
    bool motorola = false;
    int32_t decoded = -1; // source of an audio file
    uint32_t decodedSectors = 0;
};

struct IndexPoint {
    uint32_t number = 0;
    size_t file = 0;
    uint32_t pos = 0; // sectors into the file
    size_t line = 0;
    bool operator<(const IndexPoint& o) const {
        return file != o.file ? file < o.file : pos < o.pos;
    }
};

struct CueTrack {
    uint32_t number = 0;
    const SectorFormat* format = nullptr;
    size_t line = 0;
    uint32_t session = 1;
    std::vector<IndexPoint> indexes; // in order; INDEX 00 first when there is one
    uint32_t pregap = 0, postgap = 0;
    uint8_t control = 0;
    std::string isrc;
    kyCdTextFields text;
    const IndexPoint* Index(uint32_t n) const {
        for (const IndexPoint& i : indexes)
            if (i.number == n) return &i;
        return nullptr;
    }
};

std::string Upper(std::string s) {
    for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool ParseNumber(const std::string& s, uint32_t maxValue, uint32_t& out) {
    if (s.empty() || s.size() > 9) return false;
    uint32_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint32_t(c - '0');
    }
    if (v > maxValue) return false;
    out = v;
    return true;
}

// mm:ss:ff as a count of sectors.
bool ParseMsf(const std::string& s, uint32_t& sectors) {
    const size_t a = s.find(':');
    const size_t b = a == std::string::npos ? a : s.find(':', a + 1);
    if (b == std::string::npos) return false;
    uint32_t m, sec, f;
    if (!ParseNumber(s.substr(0, a), 999, m) || !ParseNumber(s.substr(a + 1, b - a - 1), 59, sec) ||
        !ParseNumber(s.substr(b + 1), 74, f))
        return false;
    sectors = (m * 60 + sec) * 75 + f;
    return true;
}

// Words of a line; a word in double quotes may hold blanks.
bool Tokenize(const std::string& line, std::vector<std::string>& words) {
    words.clear();
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        if (i >= line.size()) break;
        if (line[i] == '"') {
            const size_t end = line.find('"', i + 1);
            if (end == std::string::npos) return false;
            words.push_back(line.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            const size_t start = i;
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
            words.push_back(line.substr(start, i - start));
        }
    }
    return true;
}

// "CC-XXX-YY-NNNNN" or "CCXXXYYNNNNN" as 12 upper-case characters; false when it is
// neither. An all-zero code (written by rippers for "none") gives an empty text.
bool ParseIsrc(const std::string& text, std::string& isrc) {
    std::string s;
    for (char c : text)
        if (c != '-') s += char(std::toupper(static_cast<unsigned char>(c)));
    if (s.size() != 12 || (text.size() != 12 && text.size() != 15)) return false;
    if (s == "000000000000") {
        isrc.clear();
        return true;
    }
    for (size_t i = 0; i < 12; ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (i < 2 ? !std::isalpha(c) : (i < 5 ? !std::isalnum(c) : !std::isdigit(c))) return false;
    }
    isrc = s;
    return true;
}

std::string Join(const std::vector<std::string>& w, size_t from) {
    std::string s;
    for (size_t i = from; i < w.size(); ++i) s += (i > from ? " " : "") + w[i];
    return s;
}

// The sheet's text as UTF-8: a UTF-16 sheet (with its mark) converted, a UTF-8 mark
// dropped, text that is not UTF-8 read as Windows-1252.
std::string SheetText(const std::string& bytes) {
    if (bytes.size() >= 2 && ((uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) ||
                              (uint8_t(bytes[0]) == 0xFE && uint8_t(bytes[1]) == 0xFF))) {
        const bool little = uint8_t(bytes[0]) == 0xFF;
        std::u16string w;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            w += char16_t(little ? uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8
                                 : uint8_t(bytes[i]) << 8 | uint8_t(bytes[i + 1]));
        return kyUtf16ToUtf8(w);
    }
    std::string_view v(bytes);
    if (v.substr(0, 3) == "\xEF\xBB\xBF") v.remove_prefix(3);
    return kyUtf8OrSingleByte(v);
}

// `name` in `dir` ignoring letter case, when there is exactly one such entry.
bool FindNoCase(const std::string& dir, const std::string& name, std::string& found) {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return false;
    int matches = 0;
    while (const dirent* e = ::readdir(d))
        if (kyEqualsNoCaseAscii(e->d_name, name)) {
            found = e->d_name;
            ++matches;
        }
    ::closedir(d);
    return matches == 1;
}

// Where a FILE line's name is: relative to the sheet, "\" as a folder separator, a name
// with a Windows drive or an absolute path that does not exist looked for beside the
// sheet, and each level matched without regard to letter case when the exact name is not
// there.
std::string ResolveName(const std::string& sheetDir, std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    struct stat st;
    std::vector<std::string> tries;
    const bool drive =
        name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':';
    if (name[0] == '/' && !drive) tries.push_back(name);
    if (name[0] != '/' && !drive) tries.push_back(sheetDir + name);
    const size_t slash = name.rfind('/');
    if (name[0] == '/' || drive) tries.push_back(sheetDir + name.substr(slash + 1));
    for (const std::string& t : tries)
        if (::stat(t.c_str(), &st) == 0) return t;
    // Level by level, ignoring case, below the sheet's folder.
    const std::string& relative = tries.back();
    std::string path = relative[0] == '/' ? "/" : "";
    size_t at = relative[0] == '/' ? 1 : 0;
    while (at <= relative.size()) {
        size_t end = relative.find('/', at);
        if (end == std::string::npos) end = relative.size();
        const std::string part = relative.substr(at, end - at);
        if (!part.empty()) {
            std::string candidate = path + part;
            std::string found;
            if (::stat(candidate.c_str(), &st) != 0 && FindNoCase(path, part, found))
                candidate = path + found;
            path = candidate;
            if (end < relative.size()) path += '/';
        }
        at = end + 1;
    }
    return path;
}

class CueParser {
public:
    explicit CueParser(const std::string& path) : m_path(path) {
        const size_t slash = path.rfind('/');
        m_dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    }

    std::unique_ptr<kyDiscImage> Load(std::string& error) {
        std::string text;
        if (!ReadSheet(text, error)) return nullptr;
        size_t number = 0;
        size_t at = 0;
        while (at < text.size()) {
            // Lines end with LF, CR LF or a lone CR.
            size_t end = text.find_first_of("\r\n", at);
            if (end == std::string::npos) end = text.size();
            ++number;
            if (!ParseLine(text.substr(at, end - at), number)) break;
            at = end < text.size() && text[end] == '\r' && end + 1 < text.size() &&
                         text[end + 1] == '\n'
                     ? end + 2
                     : end + 1;
        }
        if (m_error.empty()) Check(std::max<size_t>(number, 1));
        if (m_error.empty()) Layout();
        if (!m_error.empty()) {
            error = m_error;
            return nullptr;
        }
        return m_builder.Finish();
    }

private:
    bool Fail(size_t line, const std::string& message) {
        m_error = m_path + ":" + std::to_string(line) + ": " + message;
        return false;
    }

    bool ReadSheet(std::string& text, std::string& error) {
        std::ifstream f(m_path, std::ios::binary);
        if (!f) {
            error = m_path + ": cannot open the CUE sheet: " + std::strerror(errno);
            return false;
        }
        std::string bytes;
        bytes.assign(std::istreambuf_iterator<char>(f), {});
        if (bytes.size() > kMaxCueBytes) {
            error = m_path + ": too large for a CUE sheet";
            return false;
        }
        text = SheetText(bytes);
        if (text.find('\0') != std::string::npos) {
            error = m_path + ": not a CUE sheet (binary data)";
            return false;
        }
        return true;
    }

    CueTrack* Current(size_t line, const char* command) {
        if (m_tracks.empty()) {
            Fail(line, std::string(command) + " before the first TRACK");
            return nullptr;
        }
        return &m_tracks.back();
    }

    // The CD-Text field a command names, for the disc before the first TRACK and for the
    // track after it; null for other commands.
    std::string* TextField(const std::string& command) {
        kyCdTextFields& f = m_tracks.empty() ? m_builder.CdText().disc : m_tracks.back().text;
        if (command == "TITLE") return &f.title;
        if (command == "PERFORMER") return &f.performer;
        if (command == "SONGWRITER") return &f.songwriter;
        if (command == "COMPOSER") return &f.composer;
        if (command == "ARRANGER") return &f.arranger;
        if (command == "MESSAGE") return &f.message;
        return nullptr;
    }

    bool ParseRem(const std::vector<std::string>& w, size_t n) {
        if (w.size() < 2) return true;
        const std::string what = Upper(w[1]);
        if (what == "SESSION") {
            uint32_t s;
            if (w.size() != 3 || !ParseNumber(w[2], 99, s) || s < 1)
                return Fail(n, "REM SESSION needs a session number from 1 to 99");
            if (s != m_session && s != m_session + 1)
                return Fail(n, "session " + std::to_string(s) + " does not follow session " +
                                   std::to_string(m_session));
            if (s != m_session && (m_tracks.empty() || m_tracks.back().session != m_session))
                return Fail(n, "session " + std::to_string(m_session) + " has no track");
            m_session = s;
        } else if (what == "GENRE") {
            m_builder.CdText().genre = Join(w, 2);
        } else if (what == "DATE") {
            m_builder.Date() = Join(w, 2);
        } else if (std::string* field = TextField(what);
                   field && what != "TITLE" && what != "PERFORMER") {
            // Some writers keep the CD-Text fields a CUE sheet has no command for in REM.
            *field = Join(w, 2);
        }
        return true;
    }

    bool ParseLine(const std::string& line, size_t n) {
        std::vector<std::string> w;
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos) return true;
        // Comment lines of other programs.
        if (line[first] == ';' || line[first] == '#' || line.compare(first, 2, "//") == 0)
            return true;
        if (!Tokenize(line, w)) return Fail(n, "unterminated quotation mark");
        if (w.empty()) return true;
        const std::string command = Upper(w[0]);
        if (command == "REM") return ParseRem(w, n);
        if (command == "CATALOG") {
            const bool digits = w.size() == 2 && std::all_of(w[1].begin(), w[1].end(), [](char c) {
                                    return c >= '0' && c <= '9';
                                });
            if (!digits || (w[1].size() != 13 && w[1].size() != 12))
                return Fail(n, "CATALOG needs 13 digits (or the 12 of a UPC)");
            // A UPC is the EAN with a leading zero; all zeros is no number.
            const std::string mcn = w[1].size() == 12 ? "0" + w[1] : w[1];
            m_builder.Mcn() = mcn == "0000000000000" ? std::string() : mcn;
            return true;
        }
        if (command == "FILE") {
            if (w.size() < 3) return Fail(n, "FILE needs a file name and a type");
            // Names with blanks but without quotation marks: the type is the last word.
            std::string name = w[1];
            if (w.size() > 3) name = Join(std::vector<std::string>(w.begin(), w.end() - 1), 1);
            return OpenFile(name, Upper(w.back()), n);
        }
        if (command == "TRACK") return ParseTrack(w, n);
        if (command == "INDEX") return ParseIndex(w, n);
        if (command == "PREGAP" || command == "POSTGAP") {
            CueTrack* t = Current(n, command.c_str());
            uint32_t gap;
            if (!t) return false;
            if (w.size() != 2 || !ParseMsf(w[1], gap))
                return Fail(n, command + " needs a time mm:ss:ff");
            (command == "PREGAP" ? t->pregap : t->postgap) = gap;
            return true;
        }
        if (command == "FLAGS") {
            CueTrack* t = Current(n, "FLAGS");
            if (!t) return false;
            for (size_t i = 1; i < w.size(); ++i) {
                const std::string flag = Upper(w[i]);
                if (flag == "PRE")
                    t->control |= 1;
                else if (flag == "DCP")
                    t->control |= 2;
                else if (flag == "4CH")
                    t->control |= 8;
                else if (flag != "SCMS" && flag != "DATA")
                    return Fail(n, "unknown flag \"" + w[i] + "\"");
            }
            return true;
        }
        if (command == "ISRC") {
            CueTrack* t = Current(n, "ISRC");
            if (!t) return false;
            if (w.size() != 2 || !ParseIsrc(w[1], t->isrc))
                return Fail(n, "ISRC needs 12 characters (CCXXXYYNNNNN, dashes allowed)");
            return true;
        }
        if (std::string* field = TextField(command)) {
            if (w.size() < 2) return Fail(n, command + " needs a text");
            *field = Join(w, 1);
            return true;
        }
        static const char* const ignored[] = {"CDTEXTFILE", "DISC_ID",   "GENRE",    "UPC_EAN",
                                              "TOC_INFO1",  "TOC_INFO2", "SIZE_INFO"};
        for (const char* word : ignored)
            if (command == word) return true;
        return Fail(n, "unknown command \"" + w[0] + "\"");
    }

    bool ParseTrack(const std::vector<std::string>& w, size_t n) {
        if (m_files.empty()) return Fail(n, "TRACK before the first FILE");
        uint32_t number;
        if (w.size() != 3 || !ParseNumber(w[1], 999, number) || number < 1)
            return Fail(n, "TRACK needs a number from 1 to 99 and a mode");
        if (number > 99) return Fail(n, "a CD has at most 99 tracks");
        if (!m_tracks.empty() && number != m_tracks.back().number + 1)
            return Fail(n, "track " + std::to_string(number) + " does not follow track " +
                               std::to_string(m_tracks.back().number));
        if (!m_tracks.empty() && !CheckIndexes(m_tracks.back())) return false;
        CueTrack t;
        const std::string mode = Upper(w[2]);
        for (const SectorFormat& f : kFormats)
            if (mode == f.name) t.format = &f;
        if (!t.format) return Fail(n, "track mode \"" + w[2] + "\" is not supported");
        if (t.format->mode != 0 && m_files.back().decoded >= 0)
            return Fail(n, "a data track needs a BINARY file, not an audio file");
        t.number = number;
        t.line = n;
        t.session = m_session;
        t.control = t.format->mode ? 4 : 0;
        m_tracks.push_back(t);
        return true;
    }

    bool CheckIndexes(const CueTrack& t) {
        if (t.Index(1)) return true;
        if (t.Index(0))
            return Fail(t.line, "track " + std::to_string(t.number) +
                                    " has only INDEX 00: its INDEX 01 (where the track "
                                    "starts) is missing");
        return Fail(t.line, "track has no INDEX 01");
    }

    bool ParseIndex(const std::vector<std::string>& w, size_t n) {
        CueTrack* t = Current(n, "INDEX");
        uint32_t number, at;
        if (!t) return false;
        if (w.size() != 3 || !ParseNumber(w[1], 99, number) || !ParseMsf(w[2], at))
            return Fail(n, "INDEX needs a number and a time mm:ss:ff");
        if (number == 0 && !t->indexes.empty())
            return Fail(n, "INDEX 00 must come first in its track");
        if (number == 1 && t->Index(1)) return Fail(n, "second INDEX 01");
        if (number >= 2 && !t->Index(1)) return Fail(n, "INDEX " + w[1] + " before INDEX 01");
        if (number >= 2 && number != t->indexes.back().number + 1)
            return Fail(n, "INDEX " + w[1] + " does not follow INDEX " +
                               (t->indexes.back().number < 10 ? "0" : "") +
                               std::to_string(t->indexes.back().number));
        IndexPoint p{number, m_files.size() - 1, at, n};
        // Every index lies after the one before it on the disc.
        const IndexPoint* before = !t->indexes.empty() ? &t->indexes.back()
                                   : m_tracks.size() >= 2
                                       ? &m_tracks[m_tracks.size() - 2].indexes.back()
                                       : nullptr;
        if (before && !(*before < p)) return Fail(n, "INDEX goes backwards in its file");
        t->indexes.push_back(p);
        return true;
    }

    bool OpenFile(const std::string& name, const std::string& type, size_t n) {
        if (name.empty()) return Fail(n, "FILE has an empty name");
        if (!m_files.empty() && !FileHasIndex(m_files.size() - 1))
            return Fail(m_files.back().line, "FILE without a TRACK");
        const std::string full = ResolveName(m_dir, name);
        CueFile f;
        f.name = name;
        f.line = n;
        struct stat st;
        if (::stat(full.c_str(), &st) != 0)
            return Fail(n, "cannot open \"" + name + "\": " + std::strerror(errno));
        if (!S_ISREG(st.st_mode)) return Fail(n, "\"" + name + "\" is not a regular file");
        if (st.st_size == 0) return Fail(n, "\"" + name + "\" is empty");
        if (type == "BINARY" || type == "MOTOROLA") {
            auto handle = std::make_shared<FileHandle>();
            handle->fd = ::open(full.c_str(), O_RDONLY | O_CLOEXEC);
            if (handle->fd < 0)
                return Fail(n, "cannot open \"" + name + "\": " + std::strerror(errno));
            handle->bytes = uint64_t(st.st_size);
            // Even in the smallest sectors a CD holds less than this.
            if (handle->bytes / 2048 > kMaxLeadOut)
                return Fail(n, "\"" + name + "\" is too large for a CD (" +
                                   std::to_string(handle->bytes / kSectorBytes / 75 / 60) +
                                   " minutes)");
            f.handle = std::move(handle);
            f.motorola = type == "MOTOROLA";
        } else if (!OpenAudioFile(full, type, f, n)) {
            return false;
        }
        m_files.push_back(f);
        return true;
    }

    bool OpenAudioFile(const std::string& full, const std::string& type, CueFile& f, size_t n) {
        const kyFormatCatalog& catalog = kyFormatCatalog::Instance();
        kyReaderFilter* reader = nullptr;
        const kyError e = catalog.OpenReader(reader, full.c_str(), -2);
        if (kyFailed(e) || !reader) {
            // A format known by its content whose library is missing says which one.
            std::string missing;
            const int fd = ::open(full.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                const kyFormatEntry* entry =
                    catalog.Entry(catalog.FindReaderFormat(full.c_str(), fd));
                ::close(fd);
                if (entry && entry->component) missing = entry->component(false).missing;
                if (!missing.empty())
                    return Fail(n, "\"" + f.name + "\" cannot be read by " + entry->displayName +
                                       ": " + missing);
            }
            if (e == KYERR_FILE_FORMAT)
                return Fail(n, "\"" + f.name + "\" is in no format DskR reads (FILE type " + type +
                                   ")");
            return Fail(n, "\"" + f.name + "\" cannot be read: " + kyErrorText(e));
        }
        kyAudioFormat format;
        reader->GetFormat(format);
        const char* sub = reader->GetPropertyUtf8(2);
        const std::string subformat = sub ? sub : "";
        if (format.sampleRate != 44100 || format.channels != 2 || !SixteenBits(subformat)) {
            const std::string what = std::to_string(format.sampleRate) + " Hz, " +
                                     std::to_string(format.channels) + " channel" +
                                     (format.channels == 1 ? "" : "s") +
                                     (subformat.empty() ? "" : ", " + subformat);
            delete reader;
            return Fail(n, "\"" + f.name + "\" is " + what +
                               ": a CD image needs 44100 Hz 16-bit stereo");
        }
        auto source = std::make_unique<DecodedSource>(reader);
        uint64_t frames = 0;
        if (!source->Measure(frames) || frames == 0)
            return Fail(n, "\"" + f.name + "\" holds no audio that can be read");
        const uint64_t sectors = (frames + kFramesPerSector - 1) / kFramesPerSector;
        if (sectors > kMaxLeadOut)
            return Fail(n, "\"" + f.name + "\" is too large for a CD (" +
                               std::to_string(sectors / 75 / 60) + " minutes)");
        f.decodedSectors = uint32_t(sectors);
        f.decoded = m_builder.AddSource(std::move(source));
        return true;
    }

    bool FileHasIndex(size_t file) const {
        for (const CueTrack& t : m_tracks)
            for (const IndexPoint& i : t.indexes)
                if (i.file == file) return true;
        return false;
    }

    void Check(size_t lastLine) {
        if (m_tracks.empty()) {
            Fail(lastLine, "the sheet has no TRACK");
            return;
        }
        if (!CheckIndexes(m_tracks.back())) return;
        if (!FileHasIndex(m_files.size() - 1)) Fail(m_files.back().line, "FILE without a TRACK");
    }

    // Sectors of a file from `pos` on, at `bytePos`, in the format of the track running there.
    uint32_t FileEnd(const CueFile& f, uint32_t pos, uint64_t bytePos,
                     const SectorFormat& fmt) const {
        if (f.decoded >= 0) return f.decodedSectors;
        const uint64_t left = f.handle->bytes > bytePos ? f.handle->bytes - bytePos : 0;
        return pos + uint32_t(std::min<uint64_t>((left + fmt.bytes - 1) / fmt.bytes, kMaxLeadOut));
    }

    // A run of file sectors on the disc.
    struct Placed {
        size_t file;
        uint32_t pos, end, lba;
    };

    // Places every file's sectors on the disc, with PREGAP and POSTGAP silence and the gap
    // between sessions, and fills in the tracks and sessions.
    void Layout() {
        std::vector<Placed> placed;
        std::vector<uint32_t> silenceStart(m_tracks.size());
        uint64_t cursor = 0;
        uint32_t session = m_tracks.front().session;
        size_t owner = 0, next = 0; // the track whose sectors run, the next one to start
        auto tooLong = [&](size_t track) {
            if (cursor <= kMaxLeadOut) return false;
            Fail(m_tracks[track].line, "the disc would be longer than a CD can hold (99:59:74)");
            return true;
        };
        for (size_t fi = 0; fi < m_files.size(); ++fi) {
            const CueFile& file = m_files[fi];
            uint32_t pos = 0;
            uint64_t bytePos = 0;
            for (;;) {
                const SectorFormat& fmt = *m_tracks[owner].format;
                const bool cut =
                    next < m_tracks.size() && m_tracks[next].indexes.front().file == fi;
                const uint32_t fileEnd = FileEnd(file, pos, bytePos, fmt);
                uint32_t end = fileEnd;
                if (cut) {
                    const IndexPoint& p = m_tracks[next].indexes.front();
                    if (p.pos >= fileEnd) {
                        Fail(p.line, "INDEX lies beyond the end of \"" + file.name + "\" (" +
                                         std::to_string(fileEnd) + " sectors)");
                        return;
                    }
                    end = p.pos;
                }
                if (end > pos) {
                    if (file.decoded >= 0) {
                        m_builder.AddExtent(uint32_t(cursor), end - pos, file.decoded, pos);
                    } else {
                        const int32_t source = m_builder.AddSource(std::make_unique<FileSource>(
                            file.handle, bytePos, uint32_t(cursor), fmt, file.motorola));
                        m_builder.AddExtent(uint32_t(cursor), end - pos, source, 0);
                    }
                    placed.push_back({fi, pos, end, uint32_t(cursor)});
                    cursor += end - pos;
                    bytePos += uint64_t(end - pos) * fmt.bytes;
                    pos = end;
                    if (tooLong(owner)) return;
                }
                if (!cut) break;
                // Track `next` starts here: the POSTGAP before it, the gap between sessions,
                // its PREGAP.
                const CueTrack& t = m_tracks[next];
                if (next > 0) {
                    m_builder.AddExtent(uint32_t(cursor), m_tracks[next - 1].postgap, -1, 0);
                    cursor += m_tracks[next - 1].postgap;
                }
                if (t.session != session) {
                    AddSession(session, cursor);
                    const IndexPoint& first = t.indexes.front();
                    const IndexPoint& one = *t.Index(1);
                    if (first.file != one.file) {
                        Fail(one.line, "the first track of a session must have its INDEX 00 "
                                       "and INDEX 01 in one FILE");
                        return;
                    }
                    const uint64_t lead = uint64_t(t.pregap) + (one.pos - first.pos);
                    if (lead > kSessionGap) {
                        Fail(t.line, "the pregap is longer than the gap between sessions");
                        return;
                    }
                    cursor += kSessionGap - lead;
                    session = t.session;
                }
                silenceStart[next] = uint32_t(cursor);
                m_builder.AddExtent(uint32_t(cursor), t.pregap, -1, 0);
                cursor += t.pregap;
                if (tooLong(next)) return;
                owner = next++;
            }
        }
        m_builder.AddExtent(uint32_t(cursor), m_tracks.back().postgap, -1, 0);
        cursor += m_tracks.back().postgap;
        if (tooLong(m_tracks.size() - 1)) return;
        AddSession(session, cursor);

        // Every index's disc address.
        auto lbaOf = [&](const IndexPoint& p, uint32_t& lba) {
            for (const Placed& r : placed)
                if (r.file == p.file && p.pos >= r.pos && p.pos < r.end) {
                    lba = r.lba + (p.pos - r.pos);
                    return true;
                }
            const CueFile& f = m_files[p.file];
            return Fail(p.line, "INDEX lies beyond the end of \"" + f.name + "\"");
        };
        kyCdText& text = m_builder.CdText();
        for (size_t i = 0; i < m_tracks.size(); ++i) {
            const CueTrack& t = m_tracks[i];
            kyDiscTrack track;
            track.number = t.number;
            track.session = t.session;
            track.control = t.control;
            track.mode = t.format->mode;
            track.isrc = t.isrc;
            uint32_t first = 0;
            if (!lbaOf(*t.Index(1), track.start) || !lbaOf(t.indexes.front(), first)) return;
            track.pregapStart = t.pregap ? silenceStart[i] : first;
            for (const IndexPoint& p : t.indexes) {
                if (p.number < 2) continue;
                uint32_t lba;
                if (!lbaOf(p, lba)) return;
                track.indexes.push_back(lba);
            }
            m_builder.Tracks().push_back(track);
            if (!t.text.Empty()) {
                if (text.tracks.size() <= t.number) text.tracks.resize(t.number + 1);
                text.tracks[t.number] = t.text;
            }
        }
    }

    void AddSession(uint32_t number, uint64_t leadOut) {
        kyDiscSession s;
        s.number = number;
        s.leadOut = uint32_t(leadOut);
        m_builder.Sessions().push_back(s);
    }

    std::string m_path;
    std::string m_dir;
    std::string m_error;
    kyDiscImageBuilder m_builder;
    std::vector<CueFile> m_files;
    std::vector<CueTrack> m_tracks;
    uint32_t m_session = 1;
};

} // namespace

std::unique_ptr<kyDiscImage> kyDiscImage::LoadCue(const std::string& path, std::string& error) {
    error.clear();
    CueParser parser(path);
    return parser.Load(error);
}
