#pragma once
// wv_Reader: WavPack files unpacked by libwavpack over the reader's own file; the tags at
// the end of the file (APE, ID3v1) become properties. Samples of a whole width can also
// be handed over unchanged.
#include "formats/reader_filter.h"
#include "platform/wavpack_library.h"
#include <string>
#include <vector>

class wv_Reader : public kyReaderFilter {
public:
    wv_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option);
    ~wv_Reader() override;

    const char* GetInterleavedFormat(uint32_t channels) override;
    kyError RunInterleaved() override;

    // 6 for a WavPack block header of a version the library reads, else 0.
    static int Probe(const uint8_t* head, size_t size);
    static kyReaderFilter* Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                  int32_t option);

protected:
    kyError PrepareDecoder() override;
    kyError DecodeFrames(float** planes, uint32_t frames, uint32_t& got) override;

private:
    kyError open();
    kyError openContext();
    void closeContext();
    // Unpacks up to `frames` frames into m_samples; `got` < frames only at the end.
    kyError unpack(uint32_t frames, uint32_t& got);

    static int32_t readBytes(void* self, void* data, int32_t count);
    static int32_t writeBytes(void* self, void* data, int32_t count);
    static int64_t getPos(void* self);
    static int setPosAbs(void* self, int64_t pos);
    static int setPosRel(void* self, int64_t delta, int mode);
    static int pushBackByte(void* self, int c);
    static int64_t getLength(void* self);
    static int canSeek(void* self);

    const kyWavPackDecoderLibrary* m_lib = nullptr;
    WavpackContext* m_context = nullptr;
    WavpackStreamReader64 m_reader{};
    uint64_t m_audioEnd = 0; // trailing tags start here
    uint64_t m_pos = 0;
    int m_pushedBack = -1;
    uint32_t m_channels = 0;
    uint32_t m_width = 0; // bits of the integers unpacked (bytes per sample x 8)
    bool m_isFloat = false;
    std::string m_rawId;
    std::vector<int32_t> m_samples;
    uint64_t m_delivered = 0;
};
