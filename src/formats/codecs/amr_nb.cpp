#include "formats/codecs/amr_nb.h"
#include "platform/amrnb_library.h"
#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Stored frame sizes by frame type: the eight modes, SID, four reserved types, NO_DATA.
constexpr uint8_t kFrameBytes[16] = {13, 14, 16, 18, 20, 21, 27, 32, 6, 0, 0, 0, 0, 0, 0, 1};
constexpr uint32_t kModeBitRate[KY_AMR_MODES] = {4750, 5150, 5900, 6700, 7400, 7950, 10200, 12200};
// Room for any frame the encoder writes.
constexpr size_t kMaxFrameBytes = 64;

} // namespace

uint32_t kyAmrNbFrameBytes(uint8_t toc) {
    return kFrameBytes[(toc >> 3) & 0x0F];
}

uint32_t kyAmrNbModeBitRate(uint32_t mode) {
    return mode < KY_AMR_MODES ? kModeBitRate[mode] : 0;
}

// ---- encoder ----

kyAmrNbEncoder::~kyAmrNbEncoder() {
    close();
}

bool kyAmrNbEncoder::available() {
    return kyAmrNbEncoderLibrary::Get() != nullptr;
}

void kyAmrNbEncoder::close() {
    if (m_state) kyAmrNbEncoderLibrary::Get()->exit(m_state);
    m_state = nullptr;
}

kyError kyAmrNbEncoder::configure(uint32_t, uint32_t channels) {
    if (!available()) return KYERR_MISSING_COMPONENT;
    if (channels != 1) return KYERR_CHANNEL_FORMAT;
    if (m_mode >= KY_AMR_MODES) return KYERR_INVALID_PARAMETER;
    m_framesPerBlock = KY_AMR_FRAME_SAMPLES;
    m_bytesPerBlock = kFrameBytes[m_mode];
    return KY_OK;
}

void kyAmrNbEncoder::reset() {
    // A fresh codec state for each stream; after a flush the old one is spent. A state
    // the library could not make leaves every frame empty (see encodeBlock).
    close();
    m_state = kyAmrNbEncoderLibrary::Get()->init(0);
}

void kyAmrNbEncoder::encodeBlock(uint8_t* out) {
    uint8_t frame[kMaxFrameBytes] = {};
    int n = 0;
    if (m_state)
        n = kyAmrNbEncoderLibrary::Get()->encode(m_state, static_cast<int>(m_mode), blockPlane(0),
                                                 frame, 0);
    if (n != static_cast<int>(m_bytesPerBlock)) {
        // Without discontinuous transmission every frame has the mode's size; anything
        // else is stored as a frame without data rather than shifting the packet.
        std::memset(frame, 0, sizeof frame);
        frame[0] = static_cast<uint8_t>((15 << 3) | 4);
    }
    std::memcpy(out, frame, m_bytesPerBlock);
}

void kyAmrNbEncoder::encodeLast(uint32_t frames, std::vector<uint8_t>& out) {
    std::fill(blockPlane(0) + frames, blockPlane(0) + m_framesPerBlock, int16_t(0));
    const size_t at = out.size();
    out.resize(at + m_bytesPerBlock);
    encodeBlock(out.data() + at);
}

// ---- decoder ----

kyAmrNbDecoder::~kyAmrNbDecoder() {
    close();
}

bool kyAmrNbDecoder::available() {
    return kyAmrNbDecoderLibrary::Get() != nullptr;
}

void kyAmrNbDecoder::close() {
    if (m_state) kyAmrNbDecoderLibrary::Get()->exit(m_state);
    m_state = nullptr;
}

kyError kyAmrNbDecoder::start() {
    const kyAmrNbDecoderLibrary* lib = kyAmrNbDecoderLibrary::Get();
    if (!lib) return KYERR_MISSING_COMPONENT;
    close();
    m_state = lib->init();
    return m_state ? KY_OK : KYERR_OUT_OF_MEMORY;
}

kyError kyAmrNbDecoder::decode(const uint8_t* data, size_t size, std::vector<int16_t>& out,
                               uint32_t maxFrames) {
    if (!m_state) return KYERR_SEQUENCE;
    const kyAmrNbDecoderLibrary* lib = kyAmrNbDecoderLibrary::Get();
    // The library reads a whole frame of the size its type says: hand it a padded copy.
    uint8_t frame[kMaxFrameBytes];
    size_t pos = 0;
    try {
        for (uint32_t n = 0; n < maxFrames && pos < size; ++n) {
            const uint32_t bytes = kyAmrNbFrameBytes(data[pos]);
            if (bytes == 0 || bytes > size - pos) break;
            std::memset(frame, 0, sizeof frame);
            std::memcpy(frame, data + pos, bytes);
            pos += bytes;
            const size_t at = out.size();
            out.resize(at + KY_AMR_FRAME_SAMPLES);
            lib->decode(m_state, frame, out.data() + at, 0);
        }
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    return KY_OK;
}
