#include "metadata/lookup_cache.h"

#include "metadata/freedb_client.h"
#include "metadata/freedb_disc_id.h"
#include "metadata/xmcd.h"
#include "platform/user_folders.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {
// A record of 99 tracks with long names stays far below this.
constexpr std::uintmax_t kMaxRecordBytes = 1 << 20;

std::vector<uint32_t> frameOffsets(const kyDiscToc& toc) {
    std::vector<uint32_t> offsets;
    for (uint32_t t = toc.firstTrack; t >= 1 && t <= toc.lastTrack && t <= 99; ++t)
        offsets.push_back(toc.entries[t].start + 150);
    return offsets;
}
} // namespace

std::string LookupCache::defaultFolder() {
    const std::string cache = kyUserCacheFolder();
    return cache.empty() ? std::string() : cache + "/Velmora/DskR 5/cddb";
}

bool LookupCache::store(const DiscInfo& info, const kyDiscToc& toc, std::string& error) const {
    namespace fs = std::filesystem;
    const char* category = categoryName(info.category);
    const std::string query = discIdQueryText(toc);
    if (m_folder.empty() || !category || query.empty()) {
        error = "no folder, category or disc to keep the record under";
        return false;
    }
    const fs::path dir = fs::path(m_folder) / category;
    const fs::path target = dir / query.substr(0, 8);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        error = "cannot create " + dir.string() + ": " + ec.message();
        return false;
    }
    const fs::path temporary =
        dir / ("." + target.filename().string() + "." + std::to_string(getpid()) + ".tmp");
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        const std::string text =
            xmcdRecord(info, toc, info.revision < 0 ? 0 : info.revision, kFreedbIdentity);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        if (!out) {
            fs::remove(temporary, ec);
            error = "cannot write " + temporary.string();
            return false;
        }
    }
    fs::rename(temporary, target, ec);
    if (ec) {
        fs::remove(temporary, ec);
        error = "cannot write " + target.string();
        return false;
    }
    return true;
}

bool LookupCache::load(DiscInfo& info, const kyDiscToc& toc, int category) const {
    namespace fs = std::filesystem;
    const std::string query = discIdQueryText(toc);
    if (m_folder.empty() || query.empty()) return false;
    const std::vector<uint32_t> offsets = frameOffsets(toc);
    for (int c = 0; c < kCategoryCount; ++c) {
        if (category >= 0 && c != category) continue;
        const fs::path file = fs::path(m_folder) / categoryName(c) / query.substr(0, 8);
        std::error_code ec;
        if (!fs::is_regular_file(file, ec) || fs::file_size(file, ec) > kMaxRecordBytes) continue;
        std::ifstream in(file, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        const std::string record = text.str();
        if (xmcdFrameOffsets(record) != offsets) continue;
        DiscInfo read = info;
        std::string error;
        if (!discInfoFromXmcd(record, read, error)) continue;
        read.category = c;
        info = std::move(read);
        return true;
    }
    return false;
}
