#include "formats/codecs/aac_decoder.h"
#include "formats/adts_common.h"
#include "platform/faad_library.h"
#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Raw frames carry no length: one is decoded only once this much is held (a frame has at
// most 6144 bits per channel), or at the end of the input.
constexpr size_t kRawLookahead = 768 * 48;

// Rank of a speaker position in the WAV channel order.
int wavRank(unsigned char position) {
    switch (position) {
    case FRONT_CHANNEL_LEFT:
        return 0;
    case FRONT_CHANNEL_RIGHT:
        return 1;
    case FRONT_CHANNEL_CENTER:
        return 2;
    case LFE_CHANNEL:
        return 3;
    case BACK_CHANNEL_LEFT:
        return 4;
    case BACK_CHANNEL_RIGHT:
        return 5;
    case BACK_CHANNEL_CENTER:
        return 8;
    case SIDE_CHANNEL_LEFT:
        return 9;
    case SIDE_CHANNEL_RIGHT:
        return 10;
    default:
        return 20;
    }
}

} // namespace

bool kyAacDecoder::available() {
    return kyFaadLibrary::Get() != nullptr;
}

std::string kyAacDecoder::libraryVersion() {
    const kyFaadLibrary* lib = kyFaadLibrary::Get();
    if (!lib) return {};
    char* id = nullptr;
    char* copyright = nullptr;
    lib->getVersion(&id, &copyright);
    return std::string("libfaad ") + (id ? id : "");
}

kyAacDecoder::~kyAacDecoder() {
    closeHandle();
}

void kyAacDecoder::closeHandle() {
    if (m_handle) kyFaadLibrary::Get()->close(m_handle);
    m_handle = nullptr;
}

kyError kyAacDecoder::openHandle() {
    const kyFaadLibrary* lib = kyFaadLibrary::Get();
    if (!lib) return KYERR_MISSING_COMPONENT;
    closeHandle();
    m_handle = lib->open();
    if (!m_handle) return KYERR_OUT_OF_MEMORY;
    NeAACDecConfigurationPtr c = lib->getCurrentConfiguration(m_handle);
    if (!c) return KYERR_OUT_OF_MEMORY;
    c->outputFormat = FAAD_FMT_FLOAT;
    c->downMatrix = 0;
    c->defObjectType = LC;
    if (!lib->setConfiguration(m_handle, c)) return KYERR_UNKNOWN;
    return KY_OK;
}

kyError kyAacDecoder::start(uint32_t channels) {
    m_input.clear();
    m_inputStart = 0;
    m_pending.clear();
    m_pendingPos = 0;
    m_initialised = m_ended = false;
    m_mode = Mode::Adts;
    m_rate = m_streamChannels = m_outChannels = 0;
    closeHandle();
    if (channels == 0) return KYERR_CHANNEL_FORMAT;
    m_channels = channels;
    return openHandle();
}

kyError kyAacDecoder::configure(const void* data, size_t size) {
    if (!m_handle) return KYERR_SEQUENCE;
    if (!data || size < 2 || size > 64) return KYERR_INVALID_FILE;
    // A fresh handle: the configuration replaces whatever came before.
    kyError e = openHandle();
    if (kyFailed(e)) return e;
    std::vector<unsigned char> asc(static_cast<const unsigned char*>(data),
                                   static_cast<const unsigned char*>(data) + size);
    unsigned long rate = 0;
    unsigned char ch = 0;
    if (kyFaadLibrary::Get()->init2(m_handle, asc.data(), static_cast<unsigned long>(size), &rate,
                                    &ch) < 0)
        return KYERR_INVALID_FILE;
    m_mode = Mode::Raw;
    m_initialised = true;
    return KY_OK;
}

kyError kyAacDecoder::feed(const void* data, size_t size) {
    if (!m_handle) return KYERR_SEQUENCE;
    if (size == 0) return KY_OK;
    try {
        if (m_inputStart > 0 && m_inputStart >= m_input.size() / 2) {
            m_input.erase(m_input.begin(), m_input.begin() + static_cast<ptrdiff_t>(m_inputStart));
            m_inputStart = 0;
        }
        const uint8_t* p = static_cast<const uint8_t*>(data);
        m_input.insert(m_input.end(), p, p + size);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    return KY_OK;
}

void kyAacDecoder::drop(size_t bytes) {
    m_inputStart = std::min(m_input.size(), m_inputStart + bytes);
}

kyError kyAacDecoder::decodeFrame(size_t size, size_t& used) {
    const kyFaadLibrary* lib = kyFaadLibrary::Get();
    unsigned char* in = m_input.data() + m_inputStart;
    used = 0;
    if (!m_initialised) {
        unsigned long rate = 0;
        unsigned char ch = 0;
        const long skip = lib->init(m_handle, in, static_cast<unsigned long>(size), &rate, &ch);
        if (skip < 0 || static_cast<size_t>(skip) > size) return KYERR_INVALID_FILE;
        m_initialised = true;
        if (skip > 0) {
            // An ADIF header: raw frames follow it.
            used = static_cast<size_t>(skip);
            return KY_OK;
        }
    }
    NeAACDecFrameInfo info;
    std::memset(&info, 0, sizeof info);
    const float* out = static_cast<const float*>(
        lib->decode(m_handle, &info, in, static_cast<unsigned long>(size)));
    used = std::min<size_t>(info.bytesconsumed, size);
    if (info.error != 0) return KYERR_CORRUPT;
    if (used == 0 && info.samples == 0) return KYERR_CORRUPT; // no progress
    if (!out || info.samples == 0 || info.channels == 0) return KY_OK;
    const uint32_t ch = info.channels;
    const size_t frames = info.samples / ch;
    if (m_outChannels != ch) {
        // The order of the channels for this configuration: WAV order by speaker position.
        m_outChannels = ch;
        for (uint32_t i = 0; i < ch && i < 64; ++i) m_order[i] = i;
        std::stable_sort(
            m_order, m_order + std::min<uint32_t>(ch, 64), [&](uint32_t a, uint32_t b) {
                return wavRank(info.channel_position[a]) < wavRank(info.channel_position[b]);
            });
    }
    m_rate = static_cast<uint32_t>(info.samplerate);
    m_streamChannels = ch;
    try {
        m_pending.resize(frames * ch);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    for (size_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < ch; ++c)
            m_pending[i * ch + c] = out[i * ch + (c < 64 ? m_order[c] : c)];
    m_pendingPos = 0;
    return KY_OK;
}

kyError kyAacDecoder::read(float* const* planes, uint32_t capacity, uint32_t& frames) {
    frames = 0;
    if (!m_handle) return KYERR_SEQUENCE;
    if (capacity == 0) return KYERR_INVALID_PARAMETER;
    for (;;) {
        if (m_outChannels && m_pendingPos < m_pending.size() / m_outChannels) {
            const size_t have = m_pending.size() / m_outChannels - m_pendingPos;
            frames = static_cast<uint32_t>(std::min<size_t>(have, capacity));
            spread(m_pending.data() + m_pendingPos * m_outChannels, m_outChannels, frames, planes);
            m_pendingPos += frames;
            return KY_OK;
        }
        const size_t held = m_input.size() - m_inputStart;
        const uint8_t* in = m_input.data() + m_inputStart;
        size_t size = 0;
        if (m_mode == Mode::Adts) {
            if (!m_initialised && held >= 4 && !std::memcmp(in, "ADIF", 4)) m_mode = Mode::Adif;
        }
        if (m_mode == Mode::Adts) {
            adts::Header h;
            if (held < adts::kHeaderBytes) return m_ended && held ? KY_NOTHING_DONE : KY_OK;
            if (!adts::Parse(in, held, h) || (m_initialised && h.frameBytes > held && m_ended)) {
                // Damage or a cut frame: go on from the next header.
                size_t next = 1;
                adts::Header n;
                while (next + adts::kHeaderBytes <= held && !adts::Parse(in + next, held - next, n))
                    ++next;
                if (next + adts::kHeaderBytes > held) {
                    drop(next);
                    if (m_ended) return KY_NOTHING_DONE;
                    continue;
                }
                drop(next);
                continue;
            }
            if (h.frameBytes > held) {
                if (m_ended) return KY_NOTHING_DONE;
                return KY_OK;
            }
            size = h.frameBytes;
        } else {
            // ADIF and raw frames: decode with enough held that a whole frame is there.
            if (held == 0) return m_ended ? KY_NOTHING_DONE : KY_OK;
            if (held < kRawLookahead && !m_ended) return KY_OK;
            size = held;
        }
        size_t used = 0;
        kyError e = decodeFrame(size, used);
        if (kyFailed(e)) {
            if (m_mode != Mode::Adts || !m_initialised) return KY_NOTHING_DONE;
            // One damaged ADTS frame is skipped; the next one decodes on its own.
            drop(1);
            continue;
        }
        if (m_mode == Mode::Adts) {
            drop(size); // the header says where the next frame starts
            continue;
        }
        if (used == 0) return KY_NOTHING_DONE; // a decoder that takes nothing cannot go on
        drop(used);
        if (m_mode == Mode::Adif) m_mode = Mode::Raw;
    }
}
