#pragma once
// Monkey's Audio (libMAC.so, the SDK's C interface), loaded at run time. No distribution
// packages it, so its declarations are here: the handles are opaque, counts are 64-bit
// (callees that take 32-bit counts read the low half), file names are wide strings.
#include <cstdint>
#include <string>

constexpr const char* KY_MAC_LIBRARY = "libMAC.so";

namespace mac {
using CompressHandle = void*;
using DecompressHandle = void*;
using Int = int64_t;

// The PCM format the compressor is given (a packed WAVEFORMATEX).
#pragma pack(push, 1)
struct WaveFormat {
    uint16_t formatTag;
    uint16_t channels;
    uint32_t samplesPerSec;
    uint32_t avgBytesPerSec;
    uint16_t blockAlign;
    uint16_t bitsPerSample;
    uint16_t extraSize;
};
#pragma pack(pop)

constexpr int kCompressionHigh = 3000;
constexpr Int kCreateWavHeader = -1; // header bytes: the library makes the WAV header

// Fields of the decompressor's information call.
constexpr int kInfoSampleRate = 1003;
constexpr int kInfoBitsPerSample = 1004;
constexpr int kInfoBytesPerSample = 1005;
constexpr int kInfoChannels = 1006;
constexpr int kInfoBlockAlign = 1007;
constexpr int kInfoTotalBlocks = 1016;
} // namespace mac

struct kyMacEncoderLibrary {
    mac::CompressHandle (*create)(int* error);
    void (*destroy)(mac::CompressHandle);
    int (*startW)(mac::CompressHandle, const wchar_t* fileName, const mac::WaveFormat* format,
                  mac::Int maxAudioBytes, int compressionLevel, const void* headerData,
                  mac::Int headerBytes);
    unsigned char* (*lockBuffer)(mac::CompressHandle, mac::Int* bytesAvailable);
    int (*unlockBuffer)(mac::CompressHandle, int bytesAdded, int process);
    int (*finish)(mac::CompressHandle, unsigned char* tail, mac::Int tailBytes,
                  mac::Int tailRealBytes);

    // The table, resolved once per process; null when the library or an entry point is
    // missing (Missing() then says which).
    static const kyMacEncoderLibrary* Get();
    static const std::string& Missing();
};

struct kyMacDecoderLibrary {
    mac::DecompressHandle (*createW)(const wchar_t* fileName, int* error);
    void (*destroy)(mac::DecompressHandle);
    int (*getData)(mac::DecompressHandle, unsigned char* buffer, mac::Int blocks,
                   mac::Int* blocksRetrieved);
    int (*seek)(mac::DecompressHandle, mac::Int blockOffset);
    mac::Int (*getInfo)(mac::DecompressHandle, int field, mac::Int param1, mac::Int param2);

    static const kyMacDecoderLibrary* Get();
    static const std::string& Missing();
};

// A file name as the library takes it.
std::wstring kyMacFileName(const std::string& utf8);
