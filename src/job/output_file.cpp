#include "job/output_file.h"
#include "core/error.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {
constexpr const char* kPrefix = ".dskr-";
constexpr const char* kSuffix = ".part";
constexpr size_t kRandom = 6;

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

mode_t processUmask() {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}
} // namespace

kyPendingFile::~kyPendingFile() {
    discard();
}

kyPendingFile::kyPendingFile(kyPendingFile&& other) noexcept
    : m_path(std::move(other.m_path)), m_temporary(std::exchange(other.m_temporary, {})) {}

kyPendingFile& kyPendingFile::operator=(kyPendingFile&& other) noexcept {
    if (this != &other) {
        discard();
        m_path = std::move(other.m_path);
        m_temporary = std::exchange(other.m_temporary, {});
    }
    return *this;
}

bool kyPendingFile::create(const std::string& path) {
    discard();
    const std::string folder = folderOf(path);
    std::string name = folder + "/" + kPrefix + std::to_string(::getpid()) + "-" +
                       std::string(kRandom, 'X') + kSuffix;
    std::vector<char> buf(name.begin(), name.end());
    buf.push_back('\0');
    const int fd = ::mkostemps(buf.data(), static_cast<int>(std::strlen(kSuffix)), O_CLOEXEC);
    if (fd < 0) {
        kySetErrorReason(KYERR_CREATE_FILE, errno);
        return false;
    }
    // The finished file gets the permissions of the one it replaces, else the usual ones
    // (the temporary file is made readable by its owner only).
    struct stat st;
    const mode_t mode =
        ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : (0666 & ~processUmask());
    ::fchmod(fd, mode);
    ::close(fd);
    m_path = path;
    m_temporary = buf.data();
    return true;
}

bool kyPendingFile::commit() {
    if (!active()) return false;
    struct stat st;
    if (::lstat(m_path.c_str(), &st) == 0) {
        // The earlier file goes only once the new one is safely on the disk.
        const int fd = ::open(m_temporary.c_str(), O_RDONLY | O_CLOEXEC);
        const bool synced = fd >= 0 && ::fsync(fd) == 0;
        if (fd >= 0) ::close(fd);
        if (!synced) {
            discard();
            return false;
        }
    }
    if (::rename(m_temporary.c_str(), m_path.c_str()) != 0) {
        const int error = errno;
        discard();
        errno = error;
        return false;
    }
    m_temporary.clear();
    return true;
}

void kyPendingFile::discard() {
    if (!m_temporary.empty()) ::unlink(m_temporary.c_str());
    m_temporary.clear();
}

bool kyPendingFile::isTemporaryName(const std::string& name, pid_t* owner) {
    const size_t prefix = std::strlen(kPrefix), suffix = std::strlen(kSuffix);
    if (name.size() < prefix + 1 + 1 + kRandom + suffix) return false;
    if (name.compare(0, prefix, kPrefix) != 0 ||
        name.compare(name.size() - suffix, suffix, kSuffix) != 0)
        return false;
    const std::string middle = name.substr(prefix, name.size() - prefix - suffix);
    const size_t dash = middle.find('-');
    if (dash == std::string::npos || dash == 0 || dash > 9 || middle.size() - dash - 1 != kRandom)
        return false;
    for (size_t i = 0; i < dash; ++i)
        if (middle[i] < '0' || middle[i] > '9') return false;
    for (size_t i = dash + 1; i < middle.size(); ++i) {
        const char c = middle[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            return false;
    }
    if (owner) *owner = static_cast<pid_t>(std::atol(middle.substr(0, dash).c_str()));
    return true;
}

void kyPendingFile::removeLeftovers(const std::string& folder) {
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return;
    std::vector<std::string> stale;
    while (const dirent* e = ::readdir(dir)) {
        pid_t owner = 0;
        if (!isTemporaryName(e->d_name, &owner)) continue;
        // A run that still goes on keeps its file.
        if (owner == ::getpid() || (owner > 0 && (::kill(owner, 0) == 0 || errno == EPERM)))
            continue;
        stale.push_back(e->d_name);
    }
    ::closedir(dir);
    for (const std::string& name : stale) {
        const std::string path = (folder.empty() ? std::string(".") : folder) + "/" + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path.c_str());
    }
}

void kyMadeFolders::make(const std::string& directory, const std::string& name) {
    // Every missing level is made, the output directory's own included.
    const size_t slash = name.rfind('/');
    const std::string folder =
        slash == std::string::npos ? directory : directory + name.substr(0, slash);
    std::string path;
    size_t at = 0;
    while (at <= folder.size()) {
        size_t next = folder.find('/', at);
        if (next == std::string::npos) next = folder.size();
        path = folder.substr(0, next);
        at = next + 1;
        if (path.empty()) continue;
        if (::mkdir(path.c_str(), 0777) == 0) m_made.push_back(path);
    }
}

void kyMadeFolders::removeEmpty() {
    for (auto it = m_made.rbegin(); it != m_made.rend(); ++it) ::rmdir(it->c_str());
    m_made.clear();
}
