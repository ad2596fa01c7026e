#include "support/mp4_files.h"
#include <cstring>
#include <sstream>
#include <zlib.h>

namespace kytest {

uint32_t be16(const std::vector<uint8_t>& b, size_t at) {
    return at + 2 <= b.size() ? (uint32_t(b[at]) << 8) | b[at + 1] : 0;
}
uint32_t be32(const std::vector<uint8_t>& b, size_t at) {
    return (be16(b, at) << 16) | be16(b, at + 2);
}
uint64_t be64(const std::vector<uint8_t>& b, size_t at) {
    return (uint64_t(be32(b, at)) << 32) | be32(b, at + 4);
}

std::vector<Mp4Box> mp4Boxes(const std::vector<uint8_t>& file, size_t begin, size_t end) {
    std::vector<Mp4Box> out;
    size_t pos = begin;
    while (pos + 8 <= end) {
        Mp4Box b;
        b.offset = pos;
        b.type.assign(reinterpret_cast<const char*>(&file[pos + 4]), 4);
        uint64_t size = be32(file, pos);
        b.header = 8;
        if (size == 1) {
            size = be64(file, pos + 8);
            b.header = 16;
        } else if (size == 0) {
            size = end - pos;
        }
        if (size < b.header || size > end - pos) break;
        b.size = static_cast<size_t>(size);
        out.push_back(b);
        pos += b.size;
    }
    return out;
}

bool mp4Find(const std::vector<uint8_t>& file, const std::string& path, Mp4Box& box,
             size_t entryFields) {
    std::stringstream parts(path);
    std::string part;
    size_t begin = 0, end = file.size();
    bool entryNext = false; // the next box is a sample entry
    while (std::getline(parts, part, '/')) {
        bool found = false;
        for (const Mp4Box& b : mp4Boxes(file, begin, end)) {
            if (part != "*" && b.type != part) continue;
            box = b;
            found = true;
            break;
        }
        if (!found) return false;
        begin = box.payload();
        end = box.offset + box.size;
        if (entryNext) begin += entryFields;
        entryNext = box.type == "stsd";
        // Full boxes whose children follow their version, flags and (some) a count.
        if (box.type == "stsd" || box.type == "dref") begin += 8;
        if (box.type == "meta" && be32(file, begin + 4) != 0x68646C72 /* "hdlr" */) begin += 4;
        if (begin > end) return false;
    }
    return true;
}

std::vector<uint8_t> compressMovie(const std::vector<uint8_t>& file) {
    Mp4Box moov;
    if (!mp4Find(file, "moov", moov)) return {};
    std::vector<uint8_t> plain(file.begin() + moov.offset, file.begin() + moov.offset + moov.size);
    uLongf room = compressBound(plain.size());
    std::vector<uint8_t> packed(room);
    if (compress2(packed.data(), &room, plain.data(), plain.size(), 9) != Z_OK) return {};
    packed.resize(room);

    auto put32 = [](std::vector<uint8_t>& v, uint32_t x) {
        for (int s = 24; s >= 0; s -= 8) v.push_back(static_cast<uint8_t>(x >> s));
    };
    auto type = [](std::vector<uint8_t>& v, const char* t) { v.insert(v.end(), t, t + 4); };
    std::vector<uint8_t> dcom, cmvd, cmov, box;
    put32(dcom, 12);
    type(dcom, "dcom");
    type(dcom, "zlib");
    put32(cmvd, static_cast<uint32_t>(12 + packed.size()));
    type(cmvd, "cmvd");
    put32(cmvd, static_cast<uint32_t>(plain.size()));
    cmvd.insert(cmvd.end(), packed.begin(), packed.end());
    put32(cmov, static_cast<uint32_t>(8 + dcom.size() + cmvd.size()));
    type(cmov, "cmov");
    cmov.insert(cmov.end(), dcom.begin(), dcom.end());
    cmov.insert(cmov.end(), cmvd.begin(), cmvd.end());
    put32(box, static_cast<uint32_t>(8 + cmov.size()));
    type(box, "moov");
    box.insert(box.end(), cmov.begin(), cmov.end());
    if (box.size() + 8 > moov.size) return {}; // nothing gained: no room for "free"
    const size_t freeSize = moov.size - box.size();
    put32(box, static_cast<uint32_t>(freeSize));
    type(box, "free");
    box.resize(moov.size, 0);

    std::vector<uint8_t> out(file.begin(), file.begin() + moov.offset);
    out.insert(out.end(), box.begin(), box.end());
    out.insert(out.end(), file.begin() + moov.offset + moov.size, file.end());
    return out;
}

std::vector<uint8_t> mp4MakeBox(const char* type, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> b(8);
    const uint32_t size = static_cast<uint32_t>(8 + payload.size());
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(size >> (24 - 8 * i));
    std::memcpy(&b[4], type, 4);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

} // namespace kytest
