#pragma once
// Records read from the database, kept on disk as xmcd files in the layout of a local CDDB
// database (<folder>/<category>/<disc id>), so that a later run finds a disc's names
// without the network and a submission can start from the record it updates.
#include "cd/disc_toc.h"
#include "metadata/disc_info.h"

#include <string>

class LookupCache {
public:
    // $XDG_CACHE_HOME/Velmora/DskR 5/cddb (empty when no home is known).
    static std::string defaultFolder();

    explicit LookupCache(std::string folder = defaultFolder()) : m_folder(std::move(folder)) {}
    const std::string& folder() const { return m_folder; }

    // Writes the record of `info` (which needs a category) for `toc`, replacing an earlier
    // one in one step. False with a message when it cannot be written.
    bool store(const DiscInfo& info, const kyDiscToc& toc, std::string& error) const;
    // Fills `info` from the record of this disc: the one of `category` when given (>= 0),
    // else the first category that has one. A record whose frame offsets are not the
    // disc's (another disc with the same id) does not count. False when none is found.
    bool load(DiscInfo& info, const kyDiscToc& toc, int category = -1) const;

private:
    std::string m_folder;
};
