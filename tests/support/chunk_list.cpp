#include "support/chunk_list.h"
#include <algorithm>
#include <gtest/gtest.h>

namespace kytest {

std::vector<Chunk> parseChunks(const std::vector<uint8_t>& f, ChunkLayout layout) {
    const bool riff = layout == ChunkLayout::Riff;
    const bool caf = layout == ChunkLayout::Caf;
    const size_t sizeBytes = caf ? 8 : 4;
    auto sizeAt = [&](size_t p) {
        uint64_t v = 0;
        for (size_t i = 0; i < sizeBytes; ++i)
            v = riff ? v | (uint64_t(f[p + i]) << (8 * i)) : (v << 8) | f[p + i];
        return v;
    };
    std::vector<Chunk> out;
    size_t pos = caf ? 8 : 12;
    while (pos + 4 + sizeBytes <= f.size()) {
        Chunk c;
        c.id.assign(reinterpret_cast<const char*>(&f[pos]), 4);
        c.size = sizeAt(pos + 4);
        const size_t body = pos + 4 + sizeBytes;
        EXPECT_LE(c.size, f.size() - body) << c.id;
        if (c.size > f.size() - body) break;
        c.body.assign(f.begin() + body, f.begin() + body + c.size);
        if (riff && c.id == "LIST" && c.body.size() >= 4)
            c.id += "/" + std::string(reinterpret_cast<const char*>(c.body.data()), 4);
        const bool pad = !caf && (c.size & 1);
        if (pad && body + c.size < f.size()) {
            EXPECT_EQ(f[body + c.size], 0) << "pad byte after " << c.id;
        }
        pos = body + c.size + (pad ? 1 : 0);
        out.push_back(std::move(c));
    }
    EXPECT_EQ(pos, f.size()) << "chunks end at the end of the file";
    return out;
}

const Chunk* findChunk(const std::vector<Chunk>& chunks, const std::string& id) {
    for (const Chunk& c : chunks)
        if (c.id == id) return &c;
    return nullptr;
}

std::vector<std::string> chunkIds(const std::vector<Chunk>& chunks) {
    std::vector<std::string> v;
    for (const Chunk& c : chunks) v.push_back(c.id);
    return v;
}

} // namespace kytest
