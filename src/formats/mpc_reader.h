#pragma once
// mpc_Reader: Musepack files (SV7 and SV8) decoded by libmpcdec over the reader's own
// file; the tags around the stream (APE, ID3) become properties. The SV8 stream header is
// checked here first (its CRC and fields), so the library only sees streams that start
// sound.
#include "formats/reader_filter.h"
#include "platform/mpcdec_library.h"
#include <vector>

class mpc_Reader : public kyReaderFilter {
public:
    mpc_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option);
    ~mpc_Reader() override;

    // 6 for an SV8 stream ("MPCK") or an SV7 header ("MP+" of version 7), else 0.
    static int Probe(const uint8_t* head, size_t size);
    static kyReaderFilter* Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                  int32_t option);

protected:
    kyError PrepareDecoder() override;
    kyError DecodeFrames(float** planes, uint32_t frames, uint32_t& got) override;

private:
    kyError open();
    kyError checkHeader();
    kyError openDemux();
    void closeDemux();

    static mpc_int32_t readBytes(mpc_reader* r, void* data, mpc_int32_t size);
    static mpc_bool_t seekTo(mpc_reader* r, mpc_int32_t offset);
    static mpc_int32_t tell(mpc_reader* r);
    static mpc_int32_t getSize(mpc_reader* r);
    static mpc_bool_t canSeek(mpc_reader* r);

    const kyMpcDecoderLibrary* m_lib = nullptr;
    mpc_demux* m_demux = nullptr;
    mpc_reader m_reader{};
    uint64_t m_audioStart = 0, m_audioEnd = 0;
    uint64_t m_pos = 0;
    std::vector<MPC_SAMPLE_FORMAT> m_frame; // one decoded frame, interleaved
    uint32_t m_frameCount = 0, m_framePos = 0;
    bool m_ended = false;
};
