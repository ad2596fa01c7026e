#include "formats/codecs/gsm610.h"
#include "platform/components.h"
#include <algorithm>
#include <gsm.h>

namespace {
// libgsm is linked and cannot tell its version: the file it was loaded from does.
std::optional<std::string> gsmVersion() {
    return kyLibraryFileOf(reinterpret_cast<const void*>(&gsm_create));
}
const kyComponentRegistration registration{{"libgsm", "GSM 06.10 in WAV files", gsmVersion}};
} // namespace

namespace {

constexpr uint32_t kFrames = 320; // two GSM frames of 160 samples
constexpr uint32_t kBytes = 65;   // packed as 32 + 33 bytes
constexpr uint32_t kFirstHalf = 32;

// A handle in WAV packing mode, or null when libgsm cannot make one.
kyGsmHandle makeHandle() {
    kyGsmHandle g(gsm_create());
    if (!g) return g;
    int one = 1;
    if (gsm_option(g.get(), GSM_OPT_WAV49, &one) < 0) g.reset();
    return g;
}

} // namespace

void kyGsmHandleDeleter::operator()(gsm_state* g) const {
    gsm_destroy(g);
}

kyError kyGsm610Encoder::configure(uint32_t bits, uint32_t channels) {
    if (channels != 1) return KYERR_CHANNEL_FORMAT;
    m_gsm = makeHandle();
    if (!m_gsm) return KYERR_OUT_OF_MEMORY;
    m_framesPerBlock = kFrames;
    m_bytesPerBlock = kBytes;
    return KY_OK;
}

void kyGsm610Encoder::reset() {
    // The frame pairing lives in the handle: a fresh stream needs a fresh one.
    kyGsmHandle g = makeHandle();
    if (g) m_gsm = std::move(g);
}

void kyGsm610Encoder::encodeBlock(uint8_t* out) {
    int16_t* s = blockPlane(0);
    gsm_encode(m_gsm.get(), s, out);
    gsm_encode(m_gsm.get(), s + 160, out + kFirstHalf);
}

void kyGsm610Encoder::encodeLast(uint32_t frames, std::vector<uint8_t>& out) {
    std::fill(blockPlane(0) + frames, blockPlane(0) + kFrames, int16_t(0));
    size_t at = out.size();
    out.resize(at + kBytes);
    encodeBlock(out.data() + at);
}

kyError kyGsm610Decoder::start(uint32_t bits, uint32_t channels, uint32_t blockAlign) {
    m_channels = 0;
    if (channels != 1) return KYERR_CHANNEL_FORMAT;
    if (blockAlign != 0 && blockAlign != kBytes) return KYERR_INVALID_PARAMETER;
    m_gsm = makeHandle();
    if (!m_gsm) return KYERR_OUT_OF_MEMORY;
    m_framesPerBlock = kFrames;
    m_bytesPerBlock = kBytes;
    m_channels = 1;
    return KY_OK;
}

uint32_t kyGsm610Decoder::maxFrames(size_t bytes) const {
    return m_channels && bytes >= kBytes ? kFrames : 0;
}

uint32_t kyGsm610Decoder::decodeBlock(const uint8_t* data, size_t, uint32_t, float* const* planes,
                                      uint32_t firstFrame) {
    // libgsm takes non-const buffers but only reads them.
    uint8_t block[kBytes];
    std::copy(data, data + kBytes, block);
    int16_t pcm[kFrames];
    if (gsm_decode(m_gsm.get(), block, pcm) < 0 ||
        gsm_decode(m_gsm.get(), block + kFirstHalf + 1, pcm + 160) < 0) {
        // A damaged pair must not shift the 33/32 alternation of the next one.
        kyGsmHandle g = makeHandle();
        if (g) m_gsm = std::move(g);
        return 0;
    }
    float* dst = planes[0] + firstFrame;
    for (uint32_t i = 0; i < kFrames; ++i) dst[i] = pcm[i] * kySample16Scale;
    return kFrames;
}
