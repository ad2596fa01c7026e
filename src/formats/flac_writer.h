#pragma once
// flac_Writer: FLAC files through libFLAC's stream encoder, which writes through this
// writer's own file. "Lossless N-bit" picks the sample width; "(maximum compression)"
// level 8, otherwise level 5, unless a level was chosen. The properties go into one
// comment block.
#include "formats/codec_writer.h"
#include "formats/lossless_format.h"
#include "platform/flac_library.h"
#include <vector>

class kyFormatCatalog;

class flac_Writer : public kyCodecWriter {
public:
    flac_Writer(int fd, const char* fileName, const char* subformat, const kyFormatEntry* entry);
    ~flac_Writer() override;

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
    static FLAC__StreamEncoderWriteStatus writeCallback(const FLAC__StreamEncoder*,
                                                        const FLAC__byte buffer[], size_t bytes,
                                                        uint32_t samples, uint32_t frame,
                                                        void* self);
    static FLAC__StreamEncoderSeekStatus seekCallback(const FLAC__StreamEncoder*,
                                                      FLAC__uint64 offset, void* self);
    static FLAC__StreamEncoderTellStatus tellCallback(const FLAC__StreamEncoder*,
                                                      FLAC__uint64* offset, void* self);
    kyError flushOutput();
    kyError encoderError() const;
    kyError process(uint32_t frames);
    // Lets go of the encoder without finishing the file.
    void abandon();

    const kyFlacEncoderLibrary* m_lib = nullptr;
    FLAC__StreamEncoder* m_flac = nullptr;
    FLAC__StreamMetadata* m_comments = nullptr;
    FLAC__StreamMetadata* m_picture = nullptr; // the front cover, when there is one
    kyLosslessFormat m_format;
    std::vector<int32_t> m_samples; // one chunk, interleaved
    uint32_t m_chunkFrames = 0;
    std::vector<uint8_t> m_out; // encoded bytes not yet written
    size_t m_outUsed = 0;
    kyError m_ioError = KY_OK;
};

void flac_RegisterFormats(kyFormatCatalog& catalog);
