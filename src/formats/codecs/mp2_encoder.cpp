#include "formats/codecs/mp2_encoder.h"
#include "formats/codecs/byte_output.h"
#include "formats/codecs/encoder_text.h"
#include "platform/twolame_library.h"
#include <algorithm>
#include <new>

namespace {

const uint32_t kRates[] = {16000, 22050, 24000, 32000, 44100, 48000};
const uint32_t kBitRates[] = {8,  16,  24,  32,  40,  48,  56,  64,  80,
                              96, 112, 128, 160, 192, 224, 256, 320, 384};
// Bit rates of the full sampling frequencies by channel mode.
const uint32_t kMonoRates[] = {32, 48, 56, 64, 80, 96, 112, 128, 160, 192};
const uint32_t kStereoRates[] = {64, 96, 112, 128, 160, 192, 224, 256, 320, 384};
// One call takes one frame's worth of samples.
constexpr uint32_t kFrame = 1152;
// Room for what one call may give back.
constexpr size_t kOutput = 16384;

twolame_options* optionsOf(void* p) {
    return static_cast<twolame_options*>(p);
}

} // namespace

kyMp2Config kyConfigureMp2(const std::string& text, uint32_t inputRate, uint32_t channels) {
    kyMp2Config c;
    c.channels = channels <= 1 ? 1 : 2;
    c.outputRate = kyFirstRateNotBelow(kRates, inputRate);
    c.mpeg2 = c.outputRate < 32000;
    const uint32_t asked =
        !text.empty() && text[0] == 'C' ? kyNumberAfter(text, "CBR ", 0) : kyNumberAt(text, 0, 0);
    c.bitRate = kyRaiseToTable(kBitRates, asked ? asked : (c.mpeg2 ? 64 : 128));
    if (c.mpeg2) {
        c.bitRate = std::min<uint32_t>(c.bitRate, 160);
    } else if (c.bitRate < 32) {
        // The full sampling frequencies have no such bit rate.
        c.outputRate = 16000;
        c.mpeg2 = true;
    }
    if (!c.mpeg2) {
        // At the full sampling frequencies the layer allows mono up to 192 kbit/s only, and
        // stereo not below 64 nor at 80 kbit/s: a rate outside the mode's table is raised to
        // the next one it has (mono above 192 is lowered to 192).
        c.bitRate = c.channels == 1 ? std::min<uint32_t>(kyRaiseToTable(kMonoRates, c.bitRate), 192)
                                    : kyRaiseToTable(kStereoRates, c.bitRate);
    }
    return c;
}

bool kyMp2Encoder::available() {
    return kyTwolameLibrary::Get() != nullptr;
}

std::string kyMp2Encoder::libraryVersion() {
    const kyTwolameLibrary* lib = kyTwolameLibrary::Get();
    return lib ? std::string("libtwolame ") + lib->version() : std::string();
}

kyMp2Encoder::~kyMp2Encoder() {
    close();
}

void kyMp2Encoder::close() {
    if (m_twolame) {
        twolame_options* o = optionsOf(m_twolame);
        kyTwolameLibrary::Get()->close(&o);
    }
    m_twolame = nullptr;
}

kyError kyMp2Encoder::start(const kyMp2Config& config) {
    close();
    const kyTwolameLibrary* lib = kyTwolameLibrary::Get();
    if (!lib) return KYERR_MISSING_COMPONENT;
    twolame_options* o = lib->init();
    if (!o) return KYERR_OUT_OF_MEMORY;
    m_twolame = o;
    m_config = config;
    m_config.channels = config.channels <= 1 ? 1 : 2;
    try {
        m_buffer.resize(kOutput);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    lib->setVerbosity(o, 0);
    lib->setInSamplerate(o, static_cast<int>(config.outputRate));
    lib->setOutSamplerate(o, static_cast<int>(config.outputRate));
    lib->setNumChannels(o, static_cast<int>(m_config.channels));
    lib->setMode(o, m_config.channels == 1 ? TWOLAME_MONO : TWOLAME_JOINT_STEREO);
    lib->setVersion(o, config.mpeg2 ? TWOLAME_MPEG2 : TWOLAME_MPEG1);
    lib->setBitrate(o, static_cast<int>(config.bitRate));
    lib->setEnergyLevels(o, 0);
    if (lib->initParams(o) != 0) {
        close();
        return KYERR_DATA_FORMAT;
    }
    return KY_OK;
}

kyError kyMp2Encoder::encode(const float* const* planes, uint32_t first, uint32_t frames,
                             std::vector<uint8_t>& out) {
    if (!m_twolame) return KYERR_SEQUENCE;
    const kyTwolameLibrary* lib = kyTwolameLibrary::Get();
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(kFrame, frames - done);
        const float* left = planes[0] + first + done;
        const float* right = m_config.channels == 2 ? planes[1] + first + done : left;
        const int bytes =
            lib->encodeBufferFloat32(optionsOf(m_twolame), left, right, static_cast<int>(n),
                                     m_buffer.data(), static_cast<int>(m_buffer.size()));
        if (bytes < 0) return KYERR_UNKNOWN;
        kyError err = kyAppendBytes(out, m_buffer.data(), static_cast<size_t>(bytes));
        if (kyFailed(err)) return err;
        done += n;
    }
    return KY_OK;
}

kyError kyMp2Encoder::flush(std::vector<uint8_t>& out) {
    if (!m_twolame) return KYERR_SEQUENCE;
    const int bytes = kyTwolameLibrary::Get()->encodeFlush(optionsOf(m_twolame), m_buffer.data(),
                                                           static_cast<int>(m_buffer.size()));
    if (bytes < 0) return KYERR_UNKNOWN;
    return kyAppendBytes(out, m_buffer.data(), static_cast<size_t>(bytes));
}
