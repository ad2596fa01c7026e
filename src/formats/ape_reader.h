#pragma once
// ape_Reader: Monkey's Audio files decompressed by the Monkey's Audio library, which opens
// the file by its name; the tags at the end of the file become properties. The samples
// can also be handed over unchanged.
#include "formats/reader_filter.h"
#include "platform/mac_library.h"
#include <string>
#include <vector>

class ape_Reader : public kyReaderFilter {
public:
    ape_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option);
    ~ape_Reader() override;

    const char* GetInterleavedFormat(uint32_t channels) override;
    kyError RunInterleaved() override;

    // After any leading ID3v2 tag: 6 for "MAC ", else 0; 2 when the tag leaves nothing to
    // test.
    static int Probe(const uint8_t* head, size_t size);
    static kyReaderFilter* Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                  int32_t option);

protected:
    kyError PrepareDecoder() override;
    kyError DecodeFrames(float** planes, uint32_t frames, uint32_t& got) override;

private:
    kyError open();
    // Up to `frames` frames of signed samples into m_pcm; `got` < frames only at the end.
    kyError fetch(uint32_t frames, uint32_t& got);

    const kyMacDecoderLibrary* m_lib = nullptr;
    mac::DecompressHandle m_handle = nullptr;
    uint32_t m_channels = 0;
    uint32_t m_bytesPerSample = 0;
    std::string m_rawId;
    std::vector<uint8_t> m_pcm;
};
