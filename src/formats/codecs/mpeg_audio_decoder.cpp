#include "formats/codecs/mpeg_audio_decoder.h"
#include <algorithm>
#include <mpg123.h>
#include <mutex>
#include <new>

namespace {
bool libraryReady() {
    static bool ok = false;
    static std::once_flag once;
    std::call_once(once, [] { ok = mpg123_init() == MPG123_OK; });
    return ok;
}
} // namespace

bool kyMpegAudioDecoder::available() {
    return libraryReady();
}

kyMpegAudioDecoder::~kyMpegAudioDecoder() {
    if (m_handle) mpg123_delete(m_handle);
}

kyError kyMpegAudioDecoder::start(uint32_t channels) {
    if (m_handle) mpg123_delete(m_handle);
    m_handle = nullptr;
    m_rate = 0;
    if (channels == 0) return KYERR_CHANNEL_FORMAT;
    if (!libraryReady()) return KYERR_MISSING_COMPONENT;
    int e = 0;
    m_handle = mpg123_new(nullptr, &e);
    if (!m_handle) return KYERR_OUT_OF_MEMORY;
    mpg123_param(m_handle, MPG123_FLAGS, MPG123_FORCE_FLOAT | MPG123_QUIET, 0);
    mpg123_format_none(m_handle);
    const long* rates = nullptr;
    size_t count = 0;
    mpg123_rates(&rates, &count);
    for (size_t i = 0; i < count; ++i)
        mpg123_format(m_handle, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32);
    if (mpg123_open_feed(m_handle) != MPG123_OK) return KYERR_OUT_OF_MEMORY;
    m_channels = channels;
    return KY_OK;
}

kyError kyMpegAudioDecoder::feed(const void* data, size_t size) {
    if (!m_handle) return KYERR_SEQUENCE;
    if (size == 0) return KY_OK;
    return mpg123_feed(m_handle, static_cast<const unsigned char*>(data), size) == MPG123_OK
               ? KY_OK
               : KYERR_OUT_OF_MEMORY;
}

kyError kyMpegAudioDecoder::read(float* const* planes, uint32_t capacity, uint32_t& frames) {
    frames = 0;
    if (!m_handle) return KYERR_SEQUENCE;
    if (capacity == 0) return KYERR_INVALID_PARAMETER;
    try {
        // A stream has at most two channels.
        if (m_interleaved.size() < size_t(capacity) * 2) m_interleaved.resize(size_t(capacity) * 2);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    for (;;) {
        long rate = 0;
        int ch = 0, enc = 0;
        mpg123_getformat(m_handle, &rate, &ch, &enc);
        ch = std::clamp(ch, 1, 2);
        size_t done = 0;
        const int r = mpg123_read(m_handle, reinterpret_cast<unsigned char*>(m_interleaved.data()),
                                  size_t(capacity) * ch * sizeof(float), &done);
        if (done > 0) {
            // The format may have changed with this read.
            mpg123_getformat(m_handle, &rate, &ch, &enc);
            ch = std::clamp(ch, 1, 2);
            m_rate = rate > 0 ? static_cast<uint32_t>(rate) : m_rate;
            frames = std::min<uint32_t>(static_cast<uint32_t>(done / sizeof(float) / ch), capacity);
            for (uint32_t c = 0; c < m_channels; ++c) {
                float* d = planes[c];
                const uint32_t sc = std::min<uint32_t>(c, static_cast<uint32_t>(ch) - 1);
                for (uint32_t i = 0; i < frames; ++i) d[i] = m_interleaved[size_t(i) * ch + sc];
            }
            return KY_OK;
        }
        if (r == MPG123_NEW_FORMAT || r == MPG123_OK) continue;
        if (r == MPG123_NEED_MORE) return KY_OK;
        return KY_NOTHING_DONE; // a stream the decoder cannot go on with ends here
    }
}
