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
    m_path = path;
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return m_fd >= 0;
}

void kyPlaylist::add(const std::string& name) {
    if (m_fd < 0) return;
    std::string line = name + "\r\n";
    kyWriteAll(m_fd, kyCurrentPosition, line.data(), line.size());
}

void kyPlaylist::finish(bool keep) {
    bool created = m_fd >= 0;
    if (created) ::close(m_fd);
    m_fd = -1;
    if (created && !keep) ::unlink(m_path.c_str());
}
