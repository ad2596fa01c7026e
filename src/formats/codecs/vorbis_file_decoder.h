#pragma once
// An Ogg Vorbis stream decoded by libvorbisfile from a byte range of an open file: the
// whole of an .ogg file, or the data chunk of a WAV file that holds one.
#include "core/error.h"
#include "core/property_table.h"
#include "platform/vorbis_library.h"
#include <cstdint>

class kyVorbisFileDecoder {
public:
    kyVorbisFileDecoder() = default;
    ~kyVorbisFileDecoder();
    kyVorbisFileDecoder(const kyVorbisFileDecoder&) = delete;
    kyVorbisFileDecoder& operator=(const kyVorbisFileDecoder&) = delete;

    // Opens the stream in bytes [start, end) of `fd` (the descriptor stays the caller's).
    // "Missing required component" without libvorbisfile (with the reason noted),
    // "Unsupported compression type" for an Ogg stream that is not Vorbis, "File is
    // corrupt or not of the expected format" for anything else it cannot open.
    kyError open(int fd, uint64_t start, uint64_t end);
    void close();

    uint32_t channels() const { return m_channels; }
    uint32_t sampleRate() const { return m_rate; }
    // Frames in the stream; 0 when not known.
    uint64_t length() const { return m_length; }
    // The bit rate the first stream names, in bit/s; 0 when none.
    long nominalBitRate() const { return m_nominal; }
    // The comments of the first stream, as properties.
    void readComments(kyPropertyTable& props);

    kyError seek(uint64_t frame);
    // Up to `frames` frames into planes[c][first...]; `got` < frames only at the end.
    // A hole in the data or a later stream of another layout is "File is corrupt or not of
    // the expected format".
    kyError read(float* const* planes, uint32_t first, uint32_t frames, uint32_t& got);

private:
    static size_t readCallback(void* data, size_t size, size_t count, void* self);
    static int seekCallback(void* self, ogg_int64_t offset, int whence);
    static long tellCallback(void* self);

    const kyVorbisDecoderLibrary* m_lib = nullptr;
    OggVorbis_File m_file{};
    bool m_open = false;
    int m_fd = -1;
    uint64_t m_start = 0, m_end = 0, m_pos = 0; // m_pos relative to m_start
    uint32_t m_channels = 0, m_rate = 0;
    uint64_t m_length = 0;
    long m_nominal = 0;
};
