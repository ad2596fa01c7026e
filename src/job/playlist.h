#pragma once
// The M3U playlist beside the output files: one line per finished or skipped file, its
// name relative to the output directory in the file system's encoding (UTF-8), ended by
// CR LF; no header. A playlist that cannot be created is not reported: its lines are lost.
// It is written under a temporary name and replaces a playlist of the same name only when
// it is finished and kept.
#include "job/output_file.h"
#include "metadata/disc_info.h"

#include <string>

class kyPlaylist {
public:
    kyPlaylist() = default;
    kyPlaylist(const kyPlaylist&) = delete;
    kyPlaylist& operator=(const kyPlaylist&) = delete;
    ~kyPlaylist();

    // "<artist> - <title>.m3u", "<title>.m3u" without an artist, "Play list" standing in
    // for an empty title. The name is one file name in `directory` whatever the disc
    // record holds ("/" becomes ",", "." and ".." cannot be formed, at most 255 bytes).
    static std::string pathFor(const std::string& directory, const DiscInfo& disc);

    // Starts the file anew (to replace one of the same name when finished); false when it
    // cannot be.
    bool create(const std::string& path);
    // Appends one line; ignored when the file could not be created.
    void add(const std::string& name);
    // Closes the file and puts it in place, or deletes it when `keep` is false.
    void finish(bool keep);

    const std::string& path() const { return m_path; }
    bool isOpen() const { return m_fd >= 0; }

private:
    std::string m_path;
    kyPendingFile m_file;
    int m_fd = -1;
};
