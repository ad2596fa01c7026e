#include "formats/decoded_frames.h"
#include "formats/codecs/stream_decoder.h"
#include <algorithm>
#include <cstring>
#include <new>

kyError kyDecodedFrames::allocate(uint32_t channels, uint32_t frames) {
    m_count = m_pos = 0;
    if (m_decoded.channels() == channels && m_decoded.frames() >= frames) return KY_OK;
    return m_decoded.allocate(channels, frames);
}

void kyDecodedFrames::reset(uint32_t skip) {
    m_count = m_pos = 0;
    m_skip = skip;
}

kyError kyDecodedFrames::take(float** planes, uint32_t frames, uint32_t& got,
                              const RefillFn& refill) {
    got = 0;
    while (got < frames) {
        if (m_pos >= m_count) {
            m_pos = m_count = 0;
            uint32_t n = 0;
            kyError err = refill(m_decoded.planes(), m_decoded.frames(), n);
            if (kyFailed(err)) return err;
            m_count = std::min(n, m_decoded.frames());
            if (m_count == 0) break; // the end of the stream
            continue;
        }
        uint32_t n = m_count - m_pos;
        if (m_skip) {
            const uint32_t s = std::min(n, m_skip);
            m_skip -= s;
            m_pos += s;
            continue;
        }
        n = std::min(n, frames - got);
        for (uint32_t c = 0; c < m_decoded.channels(); ++c)
            std::memcpy(planes[c] + got, m_decoded.plane(c) + m_pos, n * sizeof(float));
        m_pos += n;
        got += n;
    }
    return KY_OK;
}

kyError kyStreamInput::start(uint64_t bytes, size_t chunk) {
    bytesLeft = bytes;
    endSignalled = false;
    try {
        buffer.resize(chunk ? chunk : 1);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    return KY_OK;
}

kyError kyPullStream(kyStreamDecoder& decoder, const kyStreamReadFn& read, kyStreamInput& input,
                     float** planes, uint32_t capacity, uint32_t& frames) {
    frames = 0;
    for (;;) {
        kyError err = decoder.read(planes, capacity, frames);
        if (kyFailed(err)) return err;
        if (frames > 0) return KY_OK;
        if (err == KY_NOTHING_DONE) return KY_NOTHING_DONE;
        if (input.bytesLeft == 0) {
            // Once the end was signalled, a decoder that gives nothing has nothing left.
            if (input.endSignalled) return KY_NOTHING_DONE;
            decoder.endOfInput();
            input.endSignalled = true;
            continue;
        }
        const size_t n =
            static_cast<size_t>(std::min<uint64_t>(input.bytesLeft, input.buffer.size()));
        const long got = n ? read(input.buffer.data(), n) : 0;
        if (got < 0) return KYERR_READ_FILE;
        if (got == 0) {
            input.bytesLeft = 0; // the file is shorter than it said
            continue;
        }
        input.bytesLeft -= static_cast<uint64_t>(got);
        err = decoder.feed(input.buffer.data(), static_cast<size_t>(got));
        if (kyFailed(err)) return err;
    }
}
