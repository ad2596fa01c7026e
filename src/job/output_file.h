#pragma once
// Output files that replace nothing until they are complete: each is written under a
// temporary name in its destination folder (".dskr-<process>-<random>.part") and renamed
// over the final name only at the end, so that a failed, cancelled or killed run never
// leaves a half-written file under the final name nor destroys an earlier one. The
// folders made for a file that then fails are removed again when they are empty.
#include <string>
#include <sys/types.h>
#include <vector>

class kyPendingFile {
public:
    kyPendingFile() = default;
    kyPendingFile(const kyPendingFile&) = delete;
    kyPendingFile& operator=(const kyPendingFile&) = delete;
    kyPendingFile(kyPendingFile&& other) noexcept;
    kyPendingFile& operator=(kyPendingFile&& other) noexcept; // discards its own first
    ~kyPendingFile();                                         // discards what was not committed

    // Makes the temporary file beside `path` (its folder must exist). False with errno
    // set when it cannot be made.
    bool create(const std::string& path);
    const std::string& path() const { return m_path; }
    const std::string& temporaryPath() const { return m_temporary; }
    bool active() const { return !m_temporary.empty(); }

    // Puts the complete file in place (after flushing it to the disk when it replaces an
    // earlier one). False when that fails; the temporary file is then removed.
    bool commit();
    // Removes the temporary file.
    void discard();

    // True for a name this program gives its temporary files; `owner` gets the process.
    static bool isTemporaryName(const std::string& name, pid_t* owner = nullptr);
    // Removes from `folder` the temporary files of runs that are no longer running (a run
    // that was killed outright), and nothing else.
    static void removeLeftovers(const std::string& folder);

private:
    std::string m_path;
    std::string m_temporary;
};

// Folders made for the files of a batch, to be removed again when a file fails.
class kyMadeFolders {
public:
    // Makes `directory` and every missing folder level of `name` below it, remembering
    // those it made. Failures are left for the writer to report.
    void make(const std::string& directory, const std::string& name);
    // Removes the folders made since the last call of mark() that are empty, deepest first.
    void removeEmpty();
    // Forgets the folders made so far (a file in them succeeded).
    void mark() { m_made.clear(); }

private:
    std::vector<std::string> m_made; // in the order made, parents first
};
