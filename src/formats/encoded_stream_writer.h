#pragma once
// kyEncodedStreamWriter: the base of the writers of bare compressed streams (MP3, MP2,
// AAC). Its run negotiates the subformat, lets the format set its encoder up (unless the
// source delivers the stream itself), puts a resampler in front when the encoder works at
// another rate, and writes the tags the format's options ask for around the stream:
// ID3v2 before the first frame, then the stream, an APE tag, and an ID3v1 tag last.
#include "formats/writer_filter.h"
#include <cstdint>
#include <vector>

class kyEncodedStreamWriter : public kyWriterFilter {
public:
    using kyWriterFilter::kyWriterFilter;

    kyError Run() override;
    kyError Encode(const uint8_t*& out, uint32_t& outBytes, float** planes, uint32_t& consumed,
                   uint32_t& remaining) override;

protected:
    // The subformat chosen when the source offers nothing better.
    virtual const char* PreferredSubformat() const = 0;
    // The format's tag options.
    virtual kyTagChoice TagChoice() const = 0;
    // Sets the encoding up from the subformat and the stream (not in passthrough): the
    // rate the encoder works at in `encoderRate`. "Missing required component" when the
    // codec library is not there.
    virtual kyError Configure(uint32_t& encoderRate) = 0;
    // Encodes `frames` frames of planes[c][first...] and appends the output to `out`.
    virtual kyError EncodeFrames(float** planes, uint32_t first, uint32_t frames,
                                 std::vector<uint8_t>& out) = 0;
    // After the stream (encoded or passed through): what can only be written at the end.
    virtual kyError FinishStream() { return KY_OK; }

    // Writes what the encoder handed back at its flush.
    kyError WriteOutput() {
        kyError e = m_out.empty() ? KY_OK : WriteBytes(m_out.data(), m_out.size());
        m_out.clear();
        return e;
    }

    uint64_t m_streamStart = 0; // offset of the first frame (after the ID3v2 tag)
    std::vector<uint8_t> m_out;

private:
    kyError writeLeadingTags();
    kyError writeTrailingTags();
};
