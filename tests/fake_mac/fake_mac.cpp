// A stand-in for the Monkey's Audio library (libMAC.so), which no distribution packages:
// the same C entry points over a trivial file ("MAC ", the PCM format, the data size,
// then the samples as given), so that the tests can drive the writer and reader through
// the loader. FAKE_MAC_FAIL=start or =finish makes that call fail.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
#pragma pack(push, 1)
struct WaveFormat {
    uint16_t formatTag, channels;
    uint32_t samplesPerSec, avgBytesPerSec;
    uint16_t blockAlign, bitsPerSample, extraSize;
};
struct Header {
    char magic[4];
    WaveFormat format;
    int32_t level;
    uint64_t dataBytes;
};
#pragma pack(pop)

std::string narrow(const wchar_t* w) {
    std::string out;
    for (; w && *w; ++w) {
        const uint32_t c = static_cast<uint32_t>(*w);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool failing(const char* what) {
    const char* f = std::getenv("FAKE_MAC_FAIL");
    return f && std::strcmp(f, what) == 0;
}

struct Compress {
    FILE* file = nullptr;
    Header header{};
    std::vector<unsigned char> buffer = std::vector<unsigned char>(8192);
};

struct Decompress {
    FILE* file = nullptr;
    Header header{};
};
} // namespace

extern "C" {

void* c_APECompress_Create(int* error) {
    if (error) *error = 0;
    return new Compress;
}

void c_APECompress_Destroy(void* h) {
    auto* c = static_cast<Compress*>(h);
    if (c->file) std::fclose(c->file);
    delete c;
}

int c_APECompress_StartW(void* h, const wchar_t* name, const WaveFormat* format, int64_t, int level,
                         const void*, int64_t) {
    auto* c = static_cast<Compress*>(h);
    if (failing("start") || !format) return 1000;
    c->file = std::fopen(narrow(name).c_str(), "wb");
    if (!c->file) return 1000;
    std::memcpy(c->header.magic, "MAC ", 4);
    c->header.format = *format;
    c->header.level = level;
    return std::fwrite(&c->header, sizeof c->header, 1, c->file) == 1 ? 0 : 1000;
}

unsigned char* c_APECompress_LockBuffer(void* h, int64_t* available) {
    auto* c = static_cast<Compress*>(h);
    // Written as a 32-bit count, as older libraries do: the caller must cope.
    if (available) *reinterpret_cast<int32_t*>(available) = static_cast<int32_t>(c->buffer.size());
    return c->buffer.data();
}

int c_APECompress_UnlockBuffer(void* h, int bytes, int) {
    auto* c = static_cast<Compress*>(h);
    if (bytes < 0 || static_cast<size_t>(bytes) > c->buffer.size() || !c->file) return 1000;
    if (std::fwrite(c->buffer.data(), 1, bytes, c->file) != static_cast<size_t>(bytes)) return 1000;
    c->header.dataBytes += static_cast<uint64_t>(bytes);
    return 0;
}

int c_APECompress_Finish(void* h, unsigned char*, int64_t, int64_t) {
    auto* c = static_cast<Compress*>(h);
    if (failing("finish") || !c->file) return 1000;
    std::fseek(c->file, 0, SEEK_SET);
    const bool ok = std::fwrite(&c->header, sizeof c->header, 1, c->file) == 1;
    const bool closed = std::fclose(c->file) == 0;
    c->file = nullptr;
    return ok && closed ? 0 : 1000;
}

void* c_APEDecompress_CreateW(const wchar_t* name, int* error) {
    auto* d = new Decompress;
    d->file = std::fopen(narrow(name).c_str(), "rb");
    if (!d->file || std::fread(&d->header, sizeof d->header, 1, d->file) != 1 ||
        std::memcmp(d->header.magic, "MAC ", 4) != 0 || d->header.format.blockAlign == 0) {
        if (d->file) std::fclose(d->file);
        delete d;
        if (error) *error = 1000;
        return nullptr;
    }
    return d;
}

void c_APEDecompress_Destroy(void* h) {
    auto* d = static_cast<Decompress*>(h);
    std::fclose(d->file);
    delete d;
}

int c_APEDecompress_GetData(void* h, unsigned char* buffer, int64_t blocks, int64_t* got) {
    auto* d = static_cast<Decompress*>(h);
    const long pos = std::ftell(d->file) - long(sizeof d->header);
    const int64_t left = int64_t(d->header.dataBytes) - pos;
    const int64_t want = std::min<int64_t>(blocks * d->header.format.blockAlign, left);
    const size_t n = want > 0 ? std::fread(buffer, 1, size_t(want), d->file) : 0;
    if (got) *got = int64_t(n) / d->header.format.blockAlign;
    return 0;
}

int c_APEDecompress_Seek(void* h, int64_t block) {
    auto* d = static_cast<Decompress*>(h);
    const int64_t offset = block * d->header.format.blockAlign;
    if (offset < 0 || uint64_t(offset) > d->header.dataBytes) return 1000;
    return std::fseek(d->file, long(sizeof d->header + offset), SEEK_SET) == 0 ? 0 : 1000;
}

int64_t c_APEDecompress_GetInfo(void* h, int field, int64_t, int64_t) {
    const WaveFormat& f = static_cast<Decompress*>(h)->header.format;
    switch (field) {
    case 1003:
        return f.samplesPerSec;
    case 1004:
        return f.bitsPerSample;
    case 1005:
        return f.bitsPerSample / 8;
    case 1006:
        return f.channels;
    case 1007:
        return f.blockAlign;
    case 1016:
        return int64_t(static_cast<Decompress*>(h)->header.dataBytes / f.blockAlign);
    default:
        return 0;
    }
}

} // extern "C"
