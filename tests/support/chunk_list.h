#pragma once
// The chunks of a RIFF, FORM (AIFF) or CAF file, for tests that check what a writer laid
// out.
#include <cstdint>
#include <string>
#include <vector>

namespace kytest {

struct Chunk {
    std::string id; // RIFF "LIST" chunks are named by their type too: "LIST/INFO"
    uint64_t size;
    std::vector<uint8_t> body;
};

enum class ChunkLayout {
    Riff, // from byte 12, 32-bit little-endian sizes, odd bodies padded
    Form, // from byte 12, 32-bit big-endian sizes, odd bodies padded
    Caf,  // from byte 8, 64-bit big-endian sizes, no padding
};

// The chunks in file order. Each chunk must fit the file, pad bytes must be zero and the
// last chunk must end the file (checked with EXPECT).
std::vector<Chunk> parseChunks(const std::vector<uint8_t>& file, ChunkLayout layout);

const Chunk* findChunk(const std::vector<Chunk>& chunks, const std::string& id);
std::vector<std::string> chunkIds(const std::vector<Chunk>& chunks);

} // namespace kytest
