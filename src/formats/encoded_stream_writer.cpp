#include "formats/encoded_stream_writer.h"
#include "filters/resampling_filter.h"
#include "formats/tags/ape_tag.h"
#include "formats/tags/id3v1.h"
#include "formats/tags/id3v2.h"
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
    err = FinishFile(err);
    ReleaseInserted();
    return err;
}

kyError kyEncodedStreamWriter::Encode(const uint8_t*& out, uint32_t& outBytes, float** planes,
                                      uint32_t& consumed, uint32_t& remaining) {
    m_out.clear();
    kyError err = EncodeFrames(planes, consumed, remaining, m_out);
    if (kyFailed(err)) return err;
    return EncodedAll(m_out, out, outBytes, consumed, remaining);
}

// The tags are built whole and written like the stream, so that a write that fails is
// reported and the file keeps within its size limit.
kyError kyEncodedStreamWriter::writeLeadingTags() {
    if (!TagChoice().id3v2) return KY_OK;
    try {
        kyPropertyTable props = TagProperties();
        const std::vector<uint8_t> tag = kyBuildId3v2Tag(props);
        return tag.empty() ? KY_OK : WriteBytes(tag.data(), tag.size());
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
}

kyError kyEncodedStreamWriter::writeTrailingTags() {
    const kyTagChoice choice = TagChoice();
    if (!choice.ape && !choice.id3v1) return KY_OK;
    try {
        kyPropertyTable props = TagProperties();
        if (choice.ape) {
            const std::vector<uint8_t> tag = kyBuildApeTag(props);
            kyError err = tag.empty() ? KY_OK : WriteBytes(tag.data(), tag.size());
            if (kyFailed(err)) return err;
        }
        if (choice.id3v1) {
            if (const auto tag = kyBuildId3v1Tag(props))
                return WriteBytes(tag->data(), tag->size());
        }
        return KY_OK;
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
}
