#pragma once
// mov_Reader: the first sound track of a QuickTime or MPEG-4 file (mov, mp4, m4a, 3gp):
// PCM and float in their QuickTime and ISO forms, G.711, "ima4", AMR, AAC and MPEG audio;
// compressed movie headers ("cmov", zlib); the edit list or the encoder's gapless
// information; QuickTime text atoms and the iTunes metadata list into properties.
//
// Everything read from the file is bounded: box nesting, each box against its parent and
// the file, the movie box in memory and the inflated size of a compressed one.
#include "formats/reader_filter.h"
#include <memory>
#include <string>
#include <vector>

class kyAmrNbDecoder;
class kyStreamDecoder;
class kyImaAdpcmDecoder;

class mov_Reader : public kyReaderFilter {
public:
    mov_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option);
    ~mov_Reader() override;

    // The largest movie box read into memory, compressed or inflated.
    static constexpr uint64_t kMaxMovieBytes = 64u << 20;
    // The deepest box nesting followed.
    static constexpr int kMaxDepth = 12;

    static kyReaderFilter* Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                  int32_t option);

protected:
    kyError PrepareDecoder() override;
    kyError DecodeFrames(float** planes, uint32_t frames, uint32_t& got) override;

private:
    enum class Codec { None, Pcm, Ima4, Amr, Aac, Mpeg };

    struct Chunk {
        uint64_t offset;
        uint32_t samples;
    };
    // Where the next packet (or, for PCM spread over chunks, the next chunk) is.
    struct Cursor {
        size_t chunk = 0;
        uint32_t inChunk = 0;
        uint64_t offset = 0;
        uint64_t sample = 0;
    };
    struct Track;

    kyError open();
    kyError readMovie(std::vector<uint8_t>& movie);
    kyError parseMovie(const uint8_t* data, size_t size);
    kyError parseTrack(const uint8_t* data, size_t size, Track& t, int depth);
    kyError parseSampleEntry(const uint8_t* data, size_t size, Track& t, int depth);
    kyError chooseCodec(Track& t);
    kyError layOut(Track& t);

    bool nextPacket(Cursor& c, uint64_t& offset, uint32_t& size) const;
    uint32_t packetSize(uint64_t sample) const;
    kyError refill();
    kyError decodePacket(const uint8_t* data, uint32_t size);

    Codec m_codec = Codec::None;
    uint32_t m_channels = 0;
    uint32_t m_rate = 0;
    uint32_t m_pcmFrameBytes = 0;    // PCM
    uint32_t m_framesPerPacket = 0;  // fixed-size codecs
    uint32_t m_packetBytes = 0;      // fixed-size codecs
    bool m_framesAreSamples = false; // the sample table counts frames, not packets
    std::string m_pcmId;
    std::vector<uint8_t> m_decoderConfig; // AAC audio specific configuration
    uint32_t m_objectType = 0;

    std::vector<Chunk> m_chunks;
    uint32_t m_constantSize = 0;
    std::vector<uint32_t> m_sizes;
    uint64_t m_sampleCount = 0;
    uint64_t m_mediaStart = 0; // frames of the media before the first one delivered

    // Decoding.
    Cursor m_cursor;
    std::unique_ptr<kyImaAdpcmDecoder> m_ima4;
    std::unique_ptr<kyAmrNbDecoder> m_amr;
    std::unique_ptr<kyStreamDecoder> m_stream; // MPEG audio and AAC
    std::vector<uint8_t> m_packet;
    std::vector<int16_t> m_pcm16;
    kyPlaneBuffer m_decoded;
    uint32_t m_decodedFrames = 0;
    uint32_t m_decodedPos = 0;
    uint64_t m_skip = 0;
    uint64_t m_decoderDrop = 0; // media frames the decoder gives no output for
    uint64_t m_lead = 0;        // frames of silence before the decoded ones
    bool m_drained = false;
    bool m_inputEnded = false; // no packet follows
};
