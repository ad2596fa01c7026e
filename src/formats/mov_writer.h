#pragma once
// mov_Writer: one-track audio files in the QuickTime / ISO base media box structure, for
// "Apple QuickTime movie format" (mov), "MPEG-4 base media file format" (mp4) and "iTunes
// MPEG-4 audio format" (m4a); the entry parameter's bits choose brand, sample description
// and metadata style. The audio goes into a temporary file while the stream runs; when it
// ends, "ftyp", "moov" (built in memory) and "mdat" (copied from the temporary file) are
// written, so a failed stream leaves the output empty.
#include "formats/codecs/aac_encoder.h"
#include "formats/codecs/mp3_encoder.h"
#include "formats/writer_filter.h"
#include <memory>
#include <string>
#include <vector>

class kyFormatCatalog;
class kyMorphFilter;
class kySampleEncoder;
class TBoxFileBuf;
class TBoxHandler;
class TChunkOffsetsBox;
class TSizesBoxMem;

class mov_Writer : public kyWriterFilter {
public:
    mov_Writer(int fd, const char* fileName, const char* subformat, const kyFormatEntry* entry);
    ~mov_Writer() override;

    kyError Run() override;
    kyError Write(float** planes, uint32_t frames) override;
    kyError WriteInterleaved(const void* bytes, uint32_t byteCount, uint32_t frames) override;

    kyError EncoderStart() override;
    kyError EncoderFlush() override;

    // Boxes and chunk offsets above this many bytes get 64-bit sizes and "co64" (4 GiB
    // less one byte unless a test lowers it).
    void SetLargeBoxLimit(uint64_t bytes) { m_largeAbove = bytes; }

    static kyWriterFilter* Create(int fd, const char* fileName, const char* subformat,
                                  const kyFormatEntry* entry);

private:
    enum class Coding { Pcm, Block, Aac, Mp3 };

    bool quickTime() const;
    kyError chooseFormat();
    kyError insertConversions();
    void releaseInserted();
    void release();
    kyError appendPacket(const uint8_t* data, size_t size);
    kyError appendBlocks(const std::vector<uint8_t>& bytes);
    kyError finish();

    std::unique_ptr<TBoxHandler> buildMoov(uint64_t& mediaDuration);
    std::unique_ptr<TBoxHandler> buildTrak(uint64_t mediaDuration);
    std::unique_ptr<TBoxHandler> buildStbl(uint64_t mediaDuration);
    std::unique_ptr<TBoxHandler> buildSampleEntry();
    std::unique_ptr<TBoxHandler> buildUserData();
    kyError chooseAac(const std::string& name);
    kyError chooseMp3(const std::string& name);
    kyError appendMp3Frames();
    std::string gaplessText() const;
    std::vector<uint8_t> esdsPayload() const;

    uint64_t m_largeAbove;
    Coding m_coding = Coding::Pcm;
    char m_entryType[5] = {};
    uint32_t m_version = 0;        // sample description version
    uint32_t m_bytesPerSample = 0; // PCM-like entries
    uint32_t m_framesPerPacket = 1;
    uint32_t m_packetsPerChunk = 1;
    uint32_t m_bytesPerPacket = 0;  // 0: sizes vary, kept in the "stsz" table
    uint32_t m_blocksPerPacket = 1; // block codecs: codec blocks in one packet
    bool m_float = false;
    uint32_t m_amrMode = 0;
    uint32_t m_fileChannels = 0;
    uint32_t m_fileRate = 0;

    std::unique_ptr<TBoxFileBuf> m_mdat;
    std::unique_ptr<TSizesBoxMem> m_stsz;
    // In the movie box while it is being written.
    TSizesBoxMem* m_stszBox = nullptr;
    TChunkOffsetsBox* m_offsetsBox = nullptr;
    uint64_t m_packets = 0;
    uint64_t m_mediaFrames = 0; // frames the packets decode to, priming and padding included
    uint32_t m_priming = 0;     // encoder delay: frames before the first real one

    // "esds": the object type, the bit rates (bit/s) and the decoder configuration.
    uint8_t m_objectTypeIndication = 0x40;
    uint32_t m_maxBitRate = 0;
    uint32_t m_avgBitRate = 0;
    std::vector<uint8_t> m_decoderConfig;

    std::unique_ptr<kySampleEncoder> m_blockEncoder;
    std::unique_ptr<kyAacEncoder> m_aac;
    kyAacConfig m_aacConfig;
    std::unique_ptr<kyMp3Encoder> m_mp3;
    kyMp3Config m_mp3Config;
    std::vector<uint8_t> m_out;
    std::vector<uint8_t> m_pending; // block codecs: bytes of the packet being filled
    std::vector<kyMorphFilter*> m_inserted;
};

void mov_RegisterFormats(kyFormatCatalog& catalog);
