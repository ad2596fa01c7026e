#include "job/playlist.h"
#include "platform/file_io.h"

#include "job/output_naming.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

kyPlaylist::~kyPlaylist() {
    if (m_fd >= 0) ::close(m_fd);
}

std::string kyPlaylist::pathFor(const std::string& directory, const DiscInfo& disc) {
    std::string name = disc.artist;
    if (!name.empty()) name += " - ";
    name += disc.title.empty() ? std::string("Play list") : disc.title;
    name += ".m3u";
    // The disc record is outside data: keep the playlist a plain file in the output folder.
    for (char& c : name)
        if (c == '/') c = ',';
    std::string dir = directory;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir + kySafePathComponent(name, true);
}

bool kyPlaylist::create(const std::string& path) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_path = path;
    if (!m_file.create(path)) return false;
    m_fd = ::open(m_file.temporaryPath().c_str(), O_RDWR | O_TRUNC | O_CLOEXEC);
    if (m_fd < 0) m_file.discard();
    return m_fd >= 0;
}

void kyPlaylist::add(const std::string& name) {
    if (m_fd < 0) return;
    std::string line = name + "\r\n";
    kyWriteAll(m_fd, kyCurrentPosition, line.data(), line.size());
}

void kyPlaylist::finish(bool keep) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    if (keep)
        m_file.commit();
    else
        m_file.discard();
}
