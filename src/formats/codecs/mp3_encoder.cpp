#include "formats/codecs/mp3_encoder.h"
#include "formats/codecs/byte_output.h"
#include "formats/codecs/encoder_text.h"
#include "platform/lame_library.h"
#include <algorithm>
#include <cstdarg>
#include <new>

namespace {

const uint32_t kRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
const uint32_t kCbrRates[] = {8,  16,  24,  32,  40,  48,  56,  64, 80,
                              96, 112, 128, 160, 192, 224, 256, 320};
const uint32_t kAbrRates[] = {80, 96, 112, 128, 160, 192, 256};
// The rates of the lower sampling frequencies that keep every bit rate down to 8 kbit/s.
const uint32_t kMpeg2Rates[] = {16000, 22050, 24000};

// The library's messages would land in the middle of our own output.
void quiet(const char*, va_list) {}

lame_t lameOf(void* p) {
    return static_cast<lame_t>(p);
}

} // namespace

kyMp3Config kyConfigureMp3(const std::string& text, uint32_t inputRate, uint32_t channels) {
    kyMp3Config c;
    c.channels = channels <= 1 ? 1 : 2;
    c.outputRate = kyFirstRateNotBelow(kRates, inputRate);
    const char first = text.empty() ? '\0' : text[0];
    if (first == 'V') {
        c.mode = kyMp3Mode::Vbr;
        // "VBR Quality 2": the quality is the number after "VBR Quality ".
        c.quality = std::min<uint32_t>(kyNumberAfter(text, "VBR Quality ", 5), 9);
        c.mpeg2 = c.outputRate < 32000;
        c.minBitRate = c.mpeg2 ? 8 : 32;
        c.maxBitRate = c.mpeg2 ? 160 : 320;
        return c;
    }
    uint32_t rate;
    if (first == 'A' || first == 'C') {
        c.mode = first == 'A' ? kyMp3Mode::Abr : kyMp3Mode::Cbr;
        rate = kyNumberAt(text, 4, 128);
    } else {
        c.mode = kyMp3Mode::Cbr;
        rate = kyNumberAt(text, 0, 128);
    }
    c.bitRate = c.mode == kyMp3Mode::Abr ? kyRaiseToTable(kAbrRates, rate)
                                         : kyRaiseToTable(kCbrRates, rate);
    c.mpeg2 = c.outputRate < 32000 || c.bitRate < 32;
    if (c.mpeg2) {
        c.bitRate = std::min<uint32_t>(c.bitRate, 160);
        // Below 32 kbit/s only the lower sampling frequencies exist: the stream is made at
        // the highest of them the input reaches, so the bit rate asked for is the one
        // encoded.
        if (c.outputRate >= 32000) c.outputRate = kyLastRateNotAbove(kMpeg2Rates, inputRate);
    }
    c.minBitRate = c.maxBitRate = c.bitRate;
    return c;
}

bool kyMp3Encoder::available() {
    return kyLameLibrary::Get() != nullptr;
}

std::string kyMp3Encoder::libraryVersion() {
    const kyLameLibrary* lib = kyLameLibrary::Get();
    return lib ? std::string("libmp3lame ") + lib->version() : std::string();
}

kyMp3Encoder::~kyMp3Encoder() {
    close();
}

void kyMp3Encoder::close() {
    if (m_lame) kyLameLibrary::Get()->close(lameOf(m_lame));
    m_lame = nullptr;
}

kyError kyMp3Encoder::start(const kyMp3Config& config, bool vbrHeader) {
    close();
    const kyLameLibrary* lib = kyLameLibrary::Get();
    if (!lib) return KYERR_MISSING_COMPONENT;
    lame_t g = lib->init();
    if (!g) return KYERR_OUT_OF_MEMORY;
    m_lame = g;
    m_config = config;
    m_channels = config.channels <= 1 ? 1 : 2;
    lib->setErrorf(g, quiet);
    lib->setDebugf(g, quiet);
    lib->setMsgf(g, quiet);
    lib->setInSamplerate(g, static_cast<int>(config.outputRate));
    lib->setOutSamplerate(g, static_cast<int>(config.outputRate));
    lib->setNumChannels(g, static_cast<int>(m_channels));
    lib->setMode(g, m_channels == 1 ? MONO : JOINT_STEREO);
    lib->setQuality(g, 2); // the encoder's high-quality search
    lib->setWriteId3tagAutomatic(g, 0);
    lib->setWriteVbrTag(g, vbrHeader ? 1 : 0);
    lib->setDisableReservoir(g, 1);
    switch (config.mode) {
    case kyMp3Mode::Cbr:
        lib->setVbr(g, vbr_off);
        lib->setBrate(g, static_cast<int>(config.bitRate));
        break;
    case kyMp3Mode::Abr:
        lib->setVbr(g, vbr_abr);
        lib->setVbrMeanBitrate(g, static_cast<int>(config.bitRate));
        lib->setVbrMinBitrate(g, static_cast<int>(config.minBitRate));
        lib->setVbrMaxBitrate(g, static_cast<int>(config.maxBitRate));
        break;
    case kyMp3Mode::Vbr:
        lib->setVbr(g, vbr_default);
        lib->setVbrQ(g, static_cast<int>(config.quality));
        lib->setVbrMinBitrate(g, static_cast<int>(config.minBitRate));
        lib->setVbrMaxBitrate(g, static_cast<int>(config.maxBitRate));
        break;
    }
    if (lib->initParams(g) < 0) {
        close();
        return KYERR_DATA_FORMAT;
    }
    return KY_OK;
}

kyError kyMp3Encoder::encode(const float* const* planes, uint32_t first, uint32_t frames,
                             std::vector<uint8_t>& out) {
    if (!m_lame) return KYERR_SEQUENCE;
    const kyLameLibrary* lib = kyLameLibrary::Get();
    // Pieces small enough for the worst case of the library's output estimate.
    constexpr uint32_t kPiece = 65536;
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(kPiece, frames - done);
        const size_t room = size_t(n) * 5 / 4 + 7200;
        try {
            if (m_buffer.size() < room) m_buffer.resize(room);
        } catch (const std::bad_alloc&) {
            return KYERR_OUT_OF_MEMORY;
        }
        const float* left = planes[0] + first + done;
        const float* right = m_channels == 2 ? planes[1] + first + done : left;
        const int bytes =
            lib->encodeBufferIeeeFloat(lameOf(m_lame), left, right, static_cast<int>(n),
                                       m_buffer.data(), static_cast<int>(m_buffer.size()));
        if (bytes < 0) return bytes == -2 ? KYERR_OUT_OF_MEMORY : KYERR_UNKNOWN;
        kyError err = kyAppendBytes(out, m_buffer.data(), static_cast<size_t>(bytes));
        if (kyFailed(err)) return err;
        done += n;
    }
    return KY_OK;
}

kyError kyMp3Encoder::flush(std::vector<uint8_t>& out) {
    if (!m_lame) return KYERR_SEQUENCE;
    try {
        if (m_buffer.size() < 16384) m_buffer.resize(16384);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    const int bytes = kyLameLibrary::Get()->encodeFlush(lameOf(m_lame), m_buffer.data(),
                                                        static_cast<int>(m_buffer.size()));
    if (bytes < 0) return KYERR_UNKNOWN;
    return kyAppendBytes(out, m_buffer.data(), static_cast<size_t>(bytes));
}

std::vector<uint8_t> kyMp3Encoder::vbrHeaderFrame() {
    std::vector<uint8_t> frame;
    if (!m_lame) return frame;
    const kyLameLibrary* lib = kyLameLibrary::Get();
    // Asked with no room, the library answers with the size it needs.
    const size_t size = lib->getLametagFrame(lameOf(m_lame), nullptr, 0);
    if (size == 0 || size > 8192) return frame;
    frame.resize(size);
    if (lib->getLametagFrame(lameOf(m_lame), frame.data(), frame.size()) != size) frame.clear();
    return frame;
}

uint32_t kyMp3Encoder::delay() const {
    if (!m_lame) return 0;
    const int d = kyLameLibrary::Get()->getEncoderDelay(lameOf(m_lame));
    return d > 0 ? static_cast<uint32_t>(d) + 529 : 529;
}
