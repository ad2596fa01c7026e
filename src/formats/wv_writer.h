#pragma once
// wv_Writer: WavPack files through libwavpack, whose blocks this writer writes to its own
// file, followed by an APE tag. When the stream turned out longer or shorter than first
// announced, the first block is brought up to date once the stream is complete.
#include "formats/codec_writer.h"
#include "formats/lossless_format.h"
#include "platform/wavpack_library.h"
#include <vector>

class kyFormatCatalog;

class wv_Writer : public kyCodecWriter {
public:
    wv_Writer(int fd, const char* fileName, const char* subformat, const kyFormatEntry* entry);
    ~wv_Writer() override;

    kyError Run() override;

    kyError EncoderStart() override;
    kyError Encode(const uint8_t*& out, uint32_t& outBytes, float** planes, uint32_t& consumed,
                   uint32_t& remaining) override;
    kyError EncoderFlush() override;

    static kyWriterFilter* Create(int fd, const char* fileName, const char* subformat,
                                  const kyFormatEntry* entry);

protected:
    kyError EncodeInterleaved(const uint8_t* bytes, uint32_t frames) override;

private:
    static int blockOutput(void* self, void* data, int32_t bytes);
    kyError pack(uint32_t frames);
    kyError libraryError(kyError code) const;
    void close();

    const kyWavPackEncoderLibrary* m_lib = nullptr;
    WavpackContext* m_context = nullptr;
    kyLosslessFormat m_format;
    std::vector<int32_t> m_samples; // one chunk, interleaved
    uint32_t m_chunkFrames = 0;
    int64_t m_announced = -1; // the sample count the first block was written with
    uint64_t m_firstBlockOffset = 0;
    uint32_t m_firstBlockSize = 0;
    bool m_haveFirstBlock = false;
    kyError m_ioError = KY_OK;
};

void wv_RegisterFormats(kyFormatCatalog& catalog);
