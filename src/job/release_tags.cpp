#include "job/release_tags.h"

#include "core/manager.h"
#include "platform/file_io.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace {

constexpr uint32_t kReleaseSlots[] = {
    KYPROP_ALBUM_ARTIST,
    KYPROP_DISC_NUMBER,
    KYPROP_DISC_TOTAL,
    KYPROP_DATE,
    KYPROP_ORIGINAL_DATE,
    KYPROP_MB_RELEASE_ID,
    KYPROP_MB_RELEASE_GROUP_ID,
    KYPROP_MB_RECORDING_ID,
    KYPROP_MB_TRACK_ID,
    KYPROP_MB_ARTIST_ID,
    KYPROP_MB_ALBUM_ARTIST_ID,
    KYPROP_MB_DISC_ID,
    KYPROP_RELEASE_COUNTRY,
    KYPROP_CATALOG_NUMBER,
    KYPROP_BARCODE,
    KYPROP_MEDIA,
    KYPROP_COVER_FILE,
    KYPROP_ISRC,      // one track's: it must not stay for the next file
    KYPROP_PUBLISHER, // the label
};

void setIf(kyPropertyTable& props, uint32_t slot, const std::string& text) {
    if (!text.empty()) props.setUtf8(slot, text);
}

// Writes `bytes` to `path` (a new file, or with O_TRUNC one of ours); nothing is left on
// failure.
bool writeFile(const std::string& path, const std::string& bytes, int flags) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | flags, 0644);
    if (fd < 0) return false;
    const bool ok = kyWriteAll(fd, kyCurrentPosition, bytes.data(), bytes.size());
    const bool closed = ::close(fd) == 0;
    if (ok && closed) return true;
    ::unlink(path.c_str());
    return false;
}

} // namespace

void kySetReleaseProperties(kyPropertyTable& props, const DiscInfo& disc, size_t first, size_t last,
                            const std::string& coverFile) {
    for (uint32_t slot : kReleaseSlots) props.clear(slot);
    if (first >= disc.tracks.size()) return;
    last = std::min(std::max(first, last), disc.tracks.size() - 1);
    const DiscRelease& r = disc.release;
    setIf(props, KYPROP_COVER_FILE, coverFile);
    // The disc's artist is the album artist whenever a track may name another.
    setIf(props, KYPROP_ALBUM_ARTIST, disc.artist);
    if (r.empty()) return;

    const TrackEntry& a = disc.tracks[first];
    bool sameArtist = true;
    for (size_t i = first + 1; i <= last; ++i)
        sameArtist &= disc.tracks[i].artist == a.artist && disc.tracks[i].artistIds == a.artistIds;
    if (sameArtist) {
        setIf(props, KYPROP_ARTIST, a.artist);
        setIf(props, KYPROP_MB_ARTIST_ID, a.artistIds);
    }
    // A file of several tracks is no one recording.
    if (first == last) {
        setIf(props, KYPROP_MB_RECORDING_ID, a.recordingId);
        setIf(props, KYPROP_MB_TRACK_ID, a.trackId);
        setIf(props, KYPROP_ISRC, a.isrc);
    }
    // Tags write the total after the number ("2/3"): without a number it has no place.
    if (r.discNumber > 0) {
        props.setUtf8(KYPROP_DISC_NUMBER, std::to_string(r.discNumber));
        if (r.discTotal > 0) props.setUtf8(KYPROP_DISC_TOTAL, std::to_string(r.discTotal));
    }
    setIf(props, KYPROP_DATE, r.date);
    setIf(props, KYPROP_ORIGINAL_DATE, r.originalDate);
    setIf(props, KYPROP_MB_RELEASE_ID, r.releaseId);
    setIf(props, KYPROP_MB_RELEASE_GROUP_ID, r.releaseGroupId);
    setIf(props, KYPROP_MB_ALBUM_ARTIST_ID, r.artistIds);
    setIf(props, KYPROP_MB_DISC_ID, r.discId);
    setIf(props, KYPROP_RELEASE_COUNTRY, r.country);
    setIf(props, KYPROP_PUBLISHER, r.label);
    setIf(props, KYPROP_CATALOG_NUMBER, r.catalogNumber);
    setIf(props, KYPROP_BARCODE, r.barcode);
    setIf(props, KYPROP_MEDIA, r.format);
}

kyCoverArtFiles::~kyCoverArtFiles() {
    end();
}

bool kyCoverArtFiles::begin(const DiscInfo& disc) {
    end();
    m_done.clear();
    m_cover = disc.cover;
    if (!m_cover || m_cover->bytes.empty()) {
        m_cover.reset();
        return true;
    }
    std::string name = kyManager::TempFileName();
    if (name.empty()) return false;
    // TempFileName made the file; it is ours to fill.
    if (!writeFile(name, m_cover->bytes, O_TRUNC)) return false;
    m_file = std::move(name);
    return true;
}

bool kyCoverArtFiles::addBeside(const std::string& audioFile) {
    if (!m_cover) return true;
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(audioFile).parent_path();
    if (!m_done.insert(folder.string()).second) return true;
    const fs::path target = folder / kFileName;
    std::error_code ec;
    if (fs::exists(target, ec)) return true;
    // Written under another name and linked into place, so that a cover.jpg is always
    // whole and one that appears meanwhile is not replaced.
    const fs::path part = folder / (".cover.jpg." + std::to_string(::getpid()) + ".part");
    ::unlink(part.c_str());
    if (!writeFile(part.string(), m_cover->bytes, O_CREAT | O_EXCL)) return false;
    const bool linked = ::link(part.c_str(), target.c_str()) == 0 || errno == EEXIST;
    ::unlink(part.c_str());
    return linked;
}

void kyCoverArtFiles::end() {
    if (!m_file.empty()) ::unlink(m_file.c_str());
    m_file.clear();
}
