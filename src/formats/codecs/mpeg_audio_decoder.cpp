#include "formats/codecs/mpeg_audio_decoder.h"
#include "platform/mpg123_library.h"
#include <algorithm>
#include <new>

bool kyMpegAudioDecoder::available() {
    return kyMpg123Library::Get() != nullptr;
}

kyMpegAudioDecoder::~kyMpegAudioDecoder() {
    if (m_handle) kyMpg123Library::Get()->destroy(m_handle);
}

kyError kyMpegAudioDecoder::start(uint32_t channels) {
    const kyMpg123Library* lib = kyMpg123Library::Get();
    if (m_handle) lib->destroy(m_handle);
    m_handle = nullptr;
    m_rate = m_streamChannels = 0;
    if (channels == 0) return KYERR_CHANNEL_FORMAT;
    if (!lib) return KYERR_MISSING_COMPONENT;
    int e = 0;
    m_handle = lib->create(nullptr, &e);
    if (!m_handle) return KYERR_OUT_OF_MEMORY;
    lib->param(m_handle, MPG123_FLAGS, MPG123_FORCE_FLOAT | MPG123_QUIET | MPG123_GAPLESS, 0);
    lib->formatNone(m_handle);
    const long* rates = nullptr;
    size_t count = 0;
    lib->rates(&rates, &count);
    for (size_t i = 0; i < count; ++i)
        lib->format(m_handle, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32);
    if (lib->openFeed(m_handle) != MPG123_OK) return KYERR_OUT_OF_MEMORY;
    m_channels = channels;
    return KY_OK;
}

kyError kyMpegAudioDecoder::feed(const void* data, size_t size) {
    if (!m_handle) return KYERR_SEQUENCE;
    if (size == 0) return KY_OK;
    return kyMpg123Library::Get()->feed(m_handle, static_cast<const unsigned char*>(data), size) ==
                   MPG123_OK
               ? KY_OK
               : KYERR_OUT_OF_MEMORY;
}

kyError kyMpegAudioDecoder::read(float* const* planes, uint32_t capacity, uint32_t& frames) {
    frames = 0;
    if (!m_handle) return KYERR_SEQUENCE;
    if (capacity == 0) return KYERR_INVALID_PARAMETER;
    const kyMpg123Library* lib = kyMpg123Library::Get();
    try {
        // A stream has at most two channels.
        if (m_interleaved.size() < size_t(capacity) * 2) m_interleaved.resize(size_t(capacity) * 2);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    for (;;) {
        long rate = 0;
        int ch = 0, enc = 0;
        lib->getFormat(m_handle, &rate, &ch, &enc);
        ch = std::clamp(ch, 1, 2);
        size_t done = 0;
        const int r = lib->read(m_handle, reinterpret_cast<unsigned char*>(m_interleaved.data()),
                                size_t(capacity) * ch * sizeof(float), &done);
        if (done > 0) {
            // The format may have changed with this read.
            lib->getFormat(m_handle, &rate, &ch, &enc);
            ch = std::clamp(ch, 1, 2);
            m_rate = rate > 0 ? static_cast<uint32_t>(rate) : m_rate;
            m_streamChannels = static_cast<uint32_t>(ch);
            frames = std::min<uint32_t>(static_cast<uint32_t>(done / sizeof(float) / ch), capacity);
            spread(m_interleaved.data(), static_cast<uint32_t>(ch), frames, planes);
            return KY_OK;
        }
        if (r == MPG123_NEW_FORMAT || r == MPG123_OK) continue;
        if (r == MPG123_NEED_MORE) return KY_OK;
        return KY_NOTHING_DONE; // a stream the decoder cannot go on with ends here
    }
}
