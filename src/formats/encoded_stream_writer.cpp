#include "formats/encoded_stream_writer.h"
#include "filters/resampling_filter.h"
#include <new>

kyError kyEncodedStreamWriter::Run() {
    kyError err = NegotiateFormat(PreferredSubformat());
    if (kyFailed(err)) return err;
    m_convert = false;
    if (!m_passthrough) {
        uint32_t rate = m_stream.sampleRate;
        err = Configure(rate);
        if (kyFailed(err)) return err;
        if (rate != m_stream.sampleRate) {
            auto* r = new (std::nothrow) kyResamplingFilter(rate, KYRESAMPLE_FIR_NORMAL);
            if (!r) return KYERR_OUT_OF_MEMORY;
            InsertInFront(r);
            m_stream.sampleRate = rate;
        }
    }
    err = writeLeadingTags();
    m_streamStart = Position();
    if (kySucceeded(err)) err = RunStream();
    if (kySucceeded(err)) err = FinishStream();
    if (kySucceeded(err)) err = writeTrailingTags();
    ReleaseInserted();
    return err;
}

kyError kyEncodedStreamWriter::Encode(const uint8_t*& out, uint32_t& outBytes, float** planes,
                                      uint32_t& consumed, uint32_t& remaining) {
    m_out.clear();
    kyError err = EncodeFrames(planes, consumed, remaining, m_out);
    if (kyFailed(err)) return err;
    consumed += remaining;
    remaining = 0;
    out = m_out.data();
    outBytes = static_cast<uint32_t>(m_out.size());
    return KY_OK;
}

kyError kyEncodedStreamWriter::writeLeadingTags() {
    return KY_OK;
}

kyError kyEncodedStreamWriter::writeTrailingTags() {
    return KY_OK;
}
