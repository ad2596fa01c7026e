#pragma once
// Test-only handling of QuickTime/MPEG-4 files, written apart from the program's own box
// code: finding boxes by path, reading big-endian fields, and building a compressed movie
// header from a plain one.
#include <cstdint>
#include <string>
#include <vector>

namespace kytest {

struct Mp4Box {
    std::string type;
    size_t offset = 0; // of the header in the file
    size_t header = 0; // 8, or 16 with a 64-bit size
    size_t size = 0;   // the whole box
    size_t payload() const { return offset + header; }
    size_t payloadSize() const { return size - header; }
};

// The boxes laid end to end in file[begin, end); stops at a box that does not fit.
std::vector<Mp4Box> mp4Boxes(const std::vector<uint8_t>& file, size_t begin, size_t end);
// The box at a path of types from the top ("moov/trak/mdia/mdhd"); false when missing.
// "stsd/*" steps into the first sample entry (after the entry count), and a sample entry's
// children start after its fixed fields (`entryFields` bytes of payload).
bool mp4Find(const std::vector<uint8_t>& file, const std::string& path, Mp4Box& box,
             size_t entryFields = 28);

// A box of that type around the payload (32-bit size).
std::vector<uint8_t> mp4MakeBox(const char* type, const std::vector<uint8_t>& payload);

uint32_t be16(const std::vector<uint8_t>& b, size_t at);
uint32_t be32(const std::vector<uint8_t>& b, size_t at);
uint64_t be64(const std::vector<uint8_t>& b, size_t at);

// The same file with its "moov" deflated into "cmov" ("dcom" zlib, "cmvd" with the
// inflated size), followed by a "free" box so that the media keeps its offsets.
std::vector<uint8_t> compressMovie(const std::vector<uint8_t>& file);

} // namespace kytest
