#pragma once
// ape_Writer: Monkey's Audio files through the Monkey's Audio library (libMAC.so, not
// packaged by the distribution), which writes the file by its name; the APE tag is
// appended once the library is done with it.
#include "formats/codec_writer.h"
#include "formats/lossless_format.h"
#include "platform/mac_library.h"
#include <vector>

class kyFormatCatalog;

class ape_Writer : public kyCodecWriter {
public:
    ape_Writer(int fd, const char* fileName, const char* subformat, const kyFormatEntry* entry);
    ~ape_Writer() override;

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
    // Hands PCM bytes (as the file stores them) to the library.
    kyError add(const uint8_t* bytes, size_t size);
    kyError appendTag();
    void destroy();

    const kyMacEncoderLibrary* m_lib = nullptr;
    mac::CompressHandle m_handle = nullptr;
    kyLosslessFormat m_format;
    uint32_t m_bytesPerSample = 0;
    std::vector<uint8_t> m_pcm; // one chunk as the file stores it
    uint32_t m_chunkFrames = 0;
};

void ape_RegisterFormats(kyFormatCatalog& catalog);
