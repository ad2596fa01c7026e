// Loading a CUE sheet with its BINARY files into a disc model.
#include "cd/disc_image_builder.h"
#include "platform/file_io.h"
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t kSectorBytes = 2352;
constexpr size_t kMaxCueBytes = 1 << 20; // a real sheet is a few kilobytes
constexpr uint32_t kSessionGap = 11400;  // lead-out, lead-in and pregap between sessions

// One BINARY file, read with pread so that reads need no shared position.
struct FileSource : kyDiscImage::Source {
    int fd;
    uint64_t bytes;
    FileSource(int f, uint64_t b) : fd(f), bytes(b) {}
    ~FileSource() override { ::close(fd); }
    bool Read(uint64_t sector, uint32_t count, uint8_t* out) const override {
        const uint64_t offset = sector * kSectorBytes;
        const size_t want = size_t(count) * kSectorBytes;
        // The last sector of a file that is not a whole number of sectors is padded.
        const size_t inFile =
            offset >= bytes ? 0 : size_t(std::min<uint64_t>(want, bytes - offset));
        if (inFile && !kyReadExactlyAt(fd, offset, out, inFile)) return false;
        std::memset(out + inFile, 0, want - inFile);
        return true;
    }
};

struct CueFile {
    std::string name;
    int32_t source = -1;
    uint32_t sectors = 0;
    size_t line = 0;
};

struct CueTrack {
    uint32_t number = 0;
    uint8_t mode = 0;
    size_t file = 0;
    size_t line = 0;
    uint32_t session = 1;
    bool hasIndex0 = false, hasIndex1 = false;
    uint32_t index0 = 0, index1 = 0;
    size_t index1Line = 0;
    uint32_t lastIndex = 0; // position of the latest INDEX, for ordering
    uint32_t pregap = 0, postgap = 0;
    uint8_t control = 0;
    std::string isrc;
    uint32_t FirstSector() const { return hasIndex0 ? index0 : index1; }
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

bool IsIsrc(const std::string& s) {
    if (s.size() != 12) return false;
    for (size_t i = 0; i < 12; ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (i < 2 ? !std::isalpha(c) : (i < 5 ? !std::isalnum(c) : !std::isdigit(c))) return false;
    }
    return true;
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
        std::istringstream in(text);
        std::string line;
        size_t number = 0;
        while (std::getline(in, line)) {
            ++number;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
            if (!ParseLine(line, number)) break;
        }
        if (m_error.empty()) Check(number);
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
        text.assign(std::istreambuf_iterator<char>(f), {});
        if (text.size() > kMaxCueBytes) {
            error = m_path + ": too large for a CUE sheet";
            return false;
        }
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

    bool ParseLine(const std::string& line, size_t n) {
        std::vector<std::string> w;
        if (!Tokenize(line, w)) return Fail(n, "unterminated quotation mark");
        if (w.empty()) return true;
        const std::string command = Upper(w[0]);
        if (command == "REM") {
            if (w.size() >= 2 && Upper(w[1]) == "SESSION") {
                uint32_t s;
                if (w.size() != 3 || !ParseNumber(w[2], 99, s) || s < 1)
                    return Fail(n, "REM SESSION needs a session number from 1 to 99");
                if (s != m_session && s != m_session + 1)
                    return Fail(n, "session " + std::to_string(s) + " does not follow session " +
                                       std::to_string(m_session));
                if (s != m_session && (m_tracks.empty() || m_tracks.back().session != m_session))
                    return Fail(n, "session " + std::to_string(m_session) + " has no track");
                m_session = s;
            }
            return true;
        }
        if (command == "CATALOG") {
            if (w.size() != 2 || w[1].size() != 13 ||
                !std::all_of(w[1].begin(), w[1].end(), [](char c) { return c >= '0' && c <= '9'; }))
                return Fail(n, "CATALOG needs 13 digits");
            m_builder.Mcn() = w[1];
            return true;
        }
        if (command == "FILE") {
            if (w.size() != 3) return Fail(n, "FILE needs a file name and a type");
            if (Upper(w[2]) != "BINARY")
                return Fail(n, "file type \"" + w[2] + "\" is not supported (only BINARY)");
            return OpenFile(w[1], n);
        }
        if (command == "TRACK") {
            if (m_files.empty()) return Fail(n, "TRACK before the first FILE");
            uint32_t number;
            if (w.size() != 3 || !ParseNumber(w[1], 99, number) || number < 1)
                return Fail(n, "TRACK needs a number from 1 to 99 and a mode");
            if (!m_tracks.empty() && number != m_tracks.back().number + 1)
                return Fail(n, "track " + std::to_string(number) + " does not follow track " +
                                   std::to_string(m_tracks.back().number));
            if (!m_tracks.empty() && !m_tracks.back().hasIndex1)
                return Fail(m_tracks.back().line, "track has no INDEX 01");
            CueTrack t;
            const std::string mode = Upper(w[2]);
            if (mode == "AUDIO")
                t.mode = 0;
            else if (mode == "MODE1/2352")
                t.mode = 1;
            else if (mode == "MODE2/2352")
                t.mode = 2;
            else
                return Fail(n, "track mode \"" + w[2] + "\" is not supported");
            t.number = number;
            t.file = m_files.size() - 1;
            t.line = n;
            t.session = m_session;
            t.control = t.mode ? 4 : 0;
            m_tracks.push_back(t);
            return true;
        }
        if (command == "INDEX") {
            CueTrack* t = Current(n, "INDEX");
            uint32_t index, at;
            if (!t) return false;
            if (w.size() != 3 || !ParseNumber(w[1], 99, index) || !ParseMsf(w[2], at))
                return Fail(n, "INDEX needs a number and a time mm:ss:ff");
            const bool firstInFile =
                m_tracks.size() < 2 || m_tracks[m_tracks.size() - 2].file != t->file;
            const uint32_t floor = firstInFile ? 0 : m_tracks[m_tracks.size() - 2].lastIndex;
            const bool anyIndex = t->hasIndex0 || t->hasIndex1;
            if (at < floor || (anyIndex && at < t->lastIndex) ||
                (!firstInFile && !anyIndex && at == floor))
                return Fail(n, "INDEX goes backwards in its file");
            if (index == 0) {
                if (anyIndex) return Fail(n, "INDEX 00 must come first in its track");
                t->hasIndex0 = true;
                t->index0 = at;
            } else if (index == 1) {
                if (t->hasIndex1) return Fail(n, "second INDEX 01");
                t->hasIndex1 = true;
                t->index1 = at;
                t->index1Line = n;
            } else if (!t->hasIndex1) {
                return Fail(n, "INDEX " + w[1] + " before INDEX 01");
            }
            t->lastIndex = at;
            return true;
        }
        if (command == "PREGAP" || command == "POSTGAP") {
            CueTrack* t = Current(n, command.c_str());
            uint32_t gap;
            if (!t) return false;
            if (w.size() != 2 || !ParseMsf(w[1], gap))
                return Fail(n, command + " needs a time mm:ss:ff");
            if (command == "PREGAP") {
                if (t->hasIndex0 || t->hasIndex1)
                    return Fail(n, "PREGAP must come before the track's INDEX lines");
                t->pregap = gap;
            } else {
                if (!t->hasIndex1) return Fail(n, "POSTGAP must come after INDEX 01");
                t->postgap = gap;
            }
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
                else if (flag != "SCMS")
                    return Fail(n, "unknown flag \"" + w[i] + "\"");
            }
            return true;
        }
        if (command == "ISRC") {
            CueTrack* t = Current(n, "ISRC");
            if (!t) return false;
            if (w.size() != 2 || !IsIsrc(w[1]))
                return Fail(n, "ISRC needs 12 characters (CCXXXYYNNNNN)");
            t->isrc = Upper(w[1]);
            return true;
        }
        static const char* const ignored[] = {
            "TITLE",   "PERFORMER", "SONGWRITER", "CDTEXTFILE", "COMPOSER",  "ARRANGER", "MESSAGE",
            "DISC_ID", "GENRE",     "UPC_EAN",    "TOC_INFO1",  "TOC_INFO2", "SIZE_INFO"};
        for (const char* word : ignored)
            if (command == word) return true;
        return Fail(n, "unknown command \"" + w[0] + "\"");
    }

    bool OpenFile(const std::string& name, size_t n) {
        if (name.empty()) return Fail(n, "FILE has an empty name");
        if (!m_files.empty() &&
            !std::any_of(m_tracks.begin(), m_tracks.end(),
                         [&](const CueTrack& t) { return t.file == m_files.size() - 1; }))
            return Fail(m_files.back().line, "FILE without a TRACK");
        const std::string full = name[0] == '/' ? name : m_dir + name;
        const int fd = ::open(full.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return Fail(n, "cannot open \"" + name + "\": " + std::strerror(errno));
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return Fail(n, "\"" + name + "\" is not a regular file");
        }
        const uint64_t bytes = uint64_t(st.st_size);
        if (bytes == 0) {
            ::close(fd);
            return Fail(n, "\"" + name + "\" is empty");
        }
        if (bytes > uint64_t(UINT32_MAX / 2) * kSectorBytes) {
            ::close(fd);
            return Fail(n, "\"" + name + "\" is too large for a disc");
        }
        CueFile f;
        f.name = name;
        f.line = n;
        f.sectors = uint32_t((bytes + kSectorBytes - 1) / kSectorBytes);
        f.source = m_builder.AddSource(std::make_unique<FileSource>(fd, bytes));
        m_files.push_back(f);
        return true;
    }

    void Check(size_t lastLine) {
        if (m_tracks.empty()) {
            Fail(lastLine, "the sheet has no TRACK");
            return;
        }
        if (!m_tracks.back().hasIndex1) {
            Fail(m_tracks.back().line, "track has no INDEX 01");
            return;
        }
        if (m_tracks.back().file != m_files.size() - 1)
            Fail(m_files.back().line, "FILE without a TRACK");
    }

    // Places every file's sectors on the disc, with PREGAP and POSTGAP silence and the gap
    // between sessions, and fills in the tracks and sessions.
    void Layout() {
        uint64_t cursor = 0;
        uint32_t session = m_tracks.front().session;
        for (size_t fi = 0; fi < m_files.size() && m_error.empty(); ++fi) {
            const CueFile& file = m_files[fi];
            uint32_t pos = 0;
            for (size_t ti = 0; ti < m_tracks.size(); ++ti) {
                const CueTrack& t = m_tracks[ti];
                if (t.file != fi) continue;
                const uint32_t first = t.FirstSector();
                const bool lastInFile = ti + 1 == m_tracks.size() || m_tracks[ti + 1].file != fi;
                const uint32_t end = lastInFile ? file.sectors : m_tracks[ti + 1].FirstSector();
                if (t.index1 >= file.sectors || first >= file.sectors) {
                    Fail(t.index1Line, "INDEX lies beyond the end of \"" + file.name + "\" (" +
                                           std::to_string(file.sectors) + " sectors)");
                    return;
                }
                // Sectors before the track's first index: the tail of the track before.
                m_builder.AddExtent(uint32_t(cursor), first - pos, file.source, pos);
                cursor += first - pos;
                const uint64_t lead = uint64_t(t.pregap) + (t.index1 - first);
                if (t.session != session) {
                    AddSession(session, cursor);
                    if (lead > kSessionGap) {
                        Fail(t.line, "the pregap is longer than the gap between sessions");
                        return;
                    }
                    cursor += kSessionGap - lead;
                    session = t.session;
                }
                kyDiscTrack track;
                track.number = t.number;
                track.session = t.session;
                track.pregapStart = uint32_t(cursor);
                m_builder.AddExtent(uint32_t(cursor), t.pregap, -1, 0);
                cursor += t.pregap;
                track.start = uint32_t(cursor + (t.index1 - first));
                track.control = t.control;
                track.mode = t.mode;
                track.isrc = t.isrc;
                m_builder.AddExtent(uint32_t(cursor), end - first, file.source, first);
                cursor += end - first;
                m_builder.AddExtent(uint32_t(cursor), t.postgap, -1, 0);
                cursor += t.postgap;
                pos = end;
                if (cursor > 0x7FFFFFFF) {
                    Fail(t.line, "the disc is too long");
                    return;
                }
                m_builder.Tracks().push_back(track);
            }
        }
        AddSession(session, cursor);
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
