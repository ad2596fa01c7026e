#pragma once
// Base of the writers that encode through a codec library (FLAC, WavPack, Monkey's Audio,
// Ogg Vorbis). The library encodes what the encoder hooks give it; when the source hands
// over exactly the samples the file stores (a clean rip: 16-bit PCM straight from the
// drive), they go to the encoder without a round trip through floats.
#include "formats/writer_filter.h"
#include <string>

class kyCodecWriter : public kyWriterFilter {
public:
    using kyWriterFilter::kyWriterFilter;

    // In passthrough, the source's samples go to EncodeInterleaved; otherwise none are
    // taken (1).
    kyError WriteInterleaved(const void* bytes, uint32_t byteCount, uint32_t frames) override;

protected:
    // Whole frames of the source's raw samples (id in m_rawId).
    virtual kyError EncodeInterleaved(const uint8_t* bytes, uint32_t frames) {
        return KYERR_SEQUENCE;
    }

    // Passthrough when the source can hand over `rawId` itself (empty: never).
    void ChoosePassthrough(const std::string& rawId);
    // The stream through the encoder hooks: EncoderStart, the pull loop or the source's
    // interleaved run, EncoderFlush. A failure skips the flush: the encoder then has to be
    // abandoned, not finished.
    kyError RunEncoded();
    // Notes what is missing and answers "Missing required component".
    static kyError MissingLibrary(const std::string& what);
    // The level to use: the chosen one (SetCompressionLevel) brought into [lowest,
    // highest], else `fallback`.
    int32_t Level(int32_t lowest, int32_t highest, int32_t fallback) const;

    std::string m_rawId; // the source's raw id in passthrough
    uint32_t m_rawBytesPerFrame = 0;
};
