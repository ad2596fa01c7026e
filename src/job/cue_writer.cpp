#include "job/cue_writer.h"

#include "job/output_file.h"
#include "job/playlist.h"
#include "metadata/freedb_disc_id.h"
#include "platform/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A text in double quotes: a CUE sheet has no escapes, so quotation marks become
// apostrophes and line breaks blanks.
std::string Quoted(const std::string& text) {
    std::string s = "\"";
    for (char c : text) s += c == '"' ? '\'' : (c == '\r' || c == '\n' || c == '\t') ? ' ' : c;
    return s + "\"";
}

std::string Msf(uint32_t sectors) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", sectors / 4500, (sectors / 75) % 60,
                  sectors % 75);
    return buf;
}

// The FILE type other programs expect for a file by its extension.
const char* FileType(const std::string& name) {
    const size_t dot = name.rfind('.');
    std::string ext = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (ext == "aif" || ext == "aiff" || ext == "aifc") return "AIFF";
    if (ext == "mp3") return "MP3";
    if (ext == "flac") return "FLAC";
    return "WAVE";
}

void Line(std::string& out, const std::string& indent, const std::string& text) {
    out += indent + text + "\r\n";
}

// The CD-Text fields after TITLE and PERFORMER.
void OtherFields(std::string& out, const std::string& indent, const kyCdTextFields* f) {
    if (!f) return;
    if (!f->songwriter.empty()) Line(out, indent, "SONGWRITER " + Quoted(f->songwriter));
    if (!f->composer.empty()) Line(out, indent, "COMPOSER " + Quoted(f->composer));
    if (!f->arranger.empty()) Line(out, indent, "ARRANGER " + Quoted(f->arranger));
    if (!f->message.empty()) Line(out, indent, "MESSAGE " + Quoted(f->message));
}

} // namespace

std::string kyCueSheetText(const DiscInfo& disc, const kyDiscToc& toc, const kyDiscLayout& layout,
                           const std::vector<kyCueFile>& files) {
    std::string out;
    const kyCdText& text = layout.cdText;
    const std::string genre = !disc.genreText().empty() ? disc.genreText() : text.genre;
    if (!genre.empty()) Line(out, "", "REM GENRE " + Quoted(genre));
    if (disc.year > 0)
        Line(out, "", "REM DATE " + std::to_string(disc.year));
    else if (!disc.release.date.empty())
        Line(out, "", "REM DATE " + disc.release.date);
    if (toc.lastTrack >= toc.firstTrack && toc.firstTrack >= 1)
        Line(out, "", "REM DISCID " + discIdQueryText(toc).substr(0, 8));
    Line(out, "", "REM COMMENT \"DskR 5\"");
    if (!layout.mcn.empty()) Line(out, "", "CATALOG " + layout.mcn);
    const std::string performer = !disc.artist.empty() ? disc.artist : text.disc.performer;
    const std::string title = !disc.title.empty() ? disc.title : text.disc.title;
    if (!performer.empty()) Line(out, "", "PERFORMER " + Quoted(performer));
    if (!title.empty()) Line(out, "", "TITLE " + Quoted(title));
    OtherFields(out, "", &text.disc);

    auto fileOf = [&files](uint32_t lba) -> int {
        for (size_t i = 0; i < files.size(); ++i)
            if (lba >= files[i].firstSector && lba < files[i].endSector) return int(i);
        return -1;
    };
    int current = -1;
    auto index = [&](uint32_t number, uint32_t lba) {
        const int f = fileOf(lba);
        if (f < 0) return;
        if (f != current) {
            Line(out, "",
                 "FILE " + Quoted(files[size_t(f)].name) + " " + FileType(files[size_t(f)].name));
            current = f;
        }
        char buf[8];
        std::snprintf(buf, sizeof buf, "%02u", number);
        Line(out, "    ",
             std::string("INDEX ") + buf + " " + Msf(lba - files[size_t(f)].firstSector));
    };

    uint32_t sheetNumber = 0;
    for (uint32_t n = toc.firstTrack; n >= 1 && n <= toc.lastTrack && n <= 99; ++n) {
        const kyTocEntry& e = toc.entries[n];
        if (e.data) continue;
        const int f = fileOf(e.start);
        if (f < 0) continue;
        const kyTrackLayout* t = layout.Track(n);
        // Everything before the disc's first track is that track's pregap.
        uint32_t pregapStart = t && t->pregapStart < e.start ? t->pregapStart : e.start;
        if (n == toc.firstTrack) pregapStart = 0;
        const bool pregapInFile = pregapStart < e.start && fileOf(pregapStart) >= 0;
        // The TRACK line goes into the file of the track's first INDEX.
        const int first = pregapInFile ? fileOf(pregapStart) : f;
        if (first != current) {
            Line(out, "",
                 "FILE " + Quoted(files[size_t(first)].name) + " " +
                     FileType(files[size_t(first)].name));
            current = first;
        }
        char buf[32];
        std::snprintf(buf, sizeof buf, "TRACK %02u AUDIO", ++sheetNumber);
        Line(out, "  ", buf);
        // De-emphasised on the way out, the files hold no pre-emphasis: no PRE flag.
        std::string flags;
        if (e.copyPermitted) flags += " DCP";
        if (e.fourChannel) flags += " 4CH";
        if (!flags.empty()) Line(out, "    ", "FLAGS" + flags);
        if (t && !t->isrc.empty()) Line(out, "    ", "ISRC " + t->isrc);
        const TrackEntry* row = nullptr;
        for (const TrackEntry& r : disc.tracks)
            if (r.number == int32_t(n)) row = &r;
        const kyCdTextFields* cd = text.Track(n);
        // A row still named by default has no name of its own.
        const bool named =
            row && !row->name.empty() && row->name != defaultTrackName(int32_t(n), false, e.length);
        const std::string trackTitle = named ? row->name : cd ? cd->title : "";
        const std::string trackPerformer = row && !row->artist.empty() ? row->artist
                                           : cd                        ? cd->performer
                                                                       : "";
        if (!trackTitle.empty()) Line(out, "    ", "TITLE " + Quoted(trackTitle));
        if (!trackPerformer.empty()) Line(out, "    ", "PERFORMER " + Quoted(trackPerformer));
        OtherFields(out, "    ", cd);
        if (pregapInFile)
            index(0, pregapStart);
        else if (sheetNumber == 1 && files[size_t(f)].firstSector > 0 &&
                 fileOf(files[size_t(f)].firstSector - 1) < 0)
            // Not ripped: silence of its length keeps the table of contents.
            Line(out, "    ", "PREGAP " + Msf(files[size_t(f)].firstSector));
        index(1, e.start);
        if (t)
            for (size_t i = 0; i < t->indexes.size() && i < 97; ++i)
                if (t->indexes[i] > e.start && t->indexes[i] < e.start + e.length)
                    index(uint32_t(i + 2), t->indexes[i]);
    }
    return out;
}

std::string kyCueSheetPath(const std::string& directory, const DiscInfo& disc) {
    std::string path = kyPlaylist::pathFor(directory, disc);
    return path.substr(0, path.size() - 4) + ".cue";
}

bool kyWriteCueSheet(const std::string& path, const std::string& text, std::string& error) {
    kyPendingFile file;
    if (!file.create(path)) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    const int fd = ::open(file.temporaryPath().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    const bool written = fd >= 0 && kyWriteAll(fd, 0, text.data(), text.size());
    const int saved = errno;
    if (fd >= 0 && ::close(fd) != 0 && written) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!written) {
        error = path + ": " + std::strerror(saved);
        return false;
    }
    if (!file.commit()) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}
