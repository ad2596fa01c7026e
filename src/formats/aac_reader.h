#pragma once
// aac_Reader: raw AAC files, ADTS (every frame with its header) or ADIF (one header, then
// raw frames). An ADTS stream's length comes from a count of its frames; an ADIF stream is
// decoded until its data ends and cannot be handed on. Decoded by libfaad.
#include "formats/adts_common.h"
#include "formats/framed_stream_reader.h"

class aac_Reader : public kyFramedStreamReader {
public:
    aac_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option);

    bool adif() const { return m_adif; }

    static kyReaderFilter* Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                  int32_t option);

protected:
    bool ParseFrame(const uint8_t* p, size_t avail, kyWalkedFrame& frame) override;
    bool CanPassOn() const override { return !m_adif; }
    // Whatever lies between ADTS frames stays out of a stream handed on whole.
    bool PassesGaps() const override { return false; }
    std::unique_ptr<kyStreamDecoder> MakeDecoder() override;

private:
    kyError open();

    bool m_adif = false;
    adts::Header m_header; // the first frame's
};
