#include "playback/audio_output_filter_alsa.h"
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <poll.h>

namespace {
const char* formatName(int format) {
    switch (format) {
    case kyAlsaLibrary::kFormatFloat:
        return "FLOAT_LE";
    case kyAlsaLibrary::kFormatS32:
        return "S32_LE";
    case kyAlsaLibrary::kFormatS24In4:
        return "S24_LE";
    case kyAlsaLibrary::kFormatS24In3:
        return "S24_3LE";
    case kyAlsaLibrary::kFormatS16:
        return "S16_LE";
    case kyAlsaLibrary::kFormatU8:
        return "U8";
    default:
        return "?";
    }
}

// Full scale of an integer format is 2^(bits-1); +1.0 clips to the largest value.
int32_t toInteger(float v, int bits) {
    const double scale = double(1u << (bits - 1));
    const double x = std::nearbyint(double(v) * scale);
    return static_cast<int32_t>(std::clamp(x, -scale, scale - 1));
}
} // namespace

const std::vector<int>& kyAudioOutputFilterALSA::DefaultFormats() {
    static const std::vector<int> formats = {
        kyAlsaLibrary::kFormatFloat,  kyAlsaLibrary::kFormatS32, kyAlsaLibrary::kFormatS24In4,
        kyAlsaLibrary::kFormatS24In3, kyAlsaLibrary::kFormatS16, kyAlsaLibrary::kFormatU8};
    return formats;
}

size_t kyAudioOutputFilterALSA::ConvertSamples(const float* in, size_t count, int format,
                                               uint8_t* out) {
    switch (format) {
    case kyAlsaLibrary::kFormatFloat:
        std::memcpy(out, in, count * 4); // little-endian host
        return 4;
    case kyAlsaLibrary::kFormatS32:
        for (size_t i = 0; i < count; ++i) {
            const double x = std::nearbyint(double(in[i]) * 2147483648.0);
            const int32_t v = static_cast<int32_t>(std::clamp(x, -2147483648.0, 2147483647.0));
            std::memcpy(out + 4 * i, &v, 4);
        }
        return 4;
    case kyAlsaLibrary::kFormatS24In4:
        for (size_t i = 0; i < count; ++i) {
            const int32_t v = toInteger(in[i], 24);
            std::memcpy(out + 4 * i, &v, 4);
        }
        return 4;
    case kyAlsaLibrary::kFormatS24In3:
        for (size_t i = 0; i < count; ++i) {
            const int32_t v = toInteger(in[i], 24);
            out[3 * i] = uint8_t(v);
            out[3 * i + 1] = uint8_t(v >> 8);
            out[3 * i + 2] = uint8_t(v >> 16);
        }
        return 3;
    case kyAlsaLibrary::kFormatS16:
        for (size_t i = 0; i < count; ++i) {
            const int16_t v = static_cast<int16_t>(toInteger(in[i], 16));
            std::memcpy(out + 2 * i, &v, 2);
        }
        return 2;
    default: // U8
        for (size_t i = 0; i < count; ++i) out[i] = uint8_t(toInteger(in[i], 8) + 128);
        return 1;
    }
}

std::unique_ptr<kyAudioOutputFilterALSA>
kyAudioOutputFilterALSA::Open(const std::string& pcmName, uint32_t rate, uint32_t channels,
                              uint32_t bufferFrames, bool exclusive, kyError& error,
                              const std::vector<int>& formats) {
    const kyAlsaLibrary* lib = kyAlsaLibrary::Get();
    if (!lib) {
        error = KYERR_MISSING_COMPONENT;
        kySetErrorReason(error, kyAlsaLibrary::Missing());
        return nullptr;
    }
    if (rate == 0 || channels == 0) {
        error = KYERR_INVALID_PARAMETER;
        return nullptr;
    }
    kyAlsaPcm* pcm = nullptr;
    int r =
        lib->open(&pcm, pcmName.c_str(), kyAlsaLibrary::kStreamPlayback, kyAlsaLibrary::kNonBlock);
    if (r < 0) {
        error = KYERR_OPEN_FILE;
        kySetErrorReason(error, pcmName + ": " + lib->strerror(r));
        return nullptr;
    }
    const unsigned latency =
        bufferFrames ? unsigned(uint64_t(bufferFrames) * 1000000 / rate) : 100000u;
    for (int format : formats.empty() ? DefaultFormats() : formats) {
        r = lib->setParams(pcm, format, kyAlsaLibrary::kAccessRwInterleaved, channels, rate,
                           exclusive ? 0 : 1, latency);
        if (r == 0)
            return std::unique_ptr<kyAudioOutputFilterALSA>(
                new kyAudioOutputFilterALSA(lib, pcm, pcmName, rate, channels, format));
    }
    lib->close(pcm);
    error = KYERR_DATA_FORMAT;
    kySetErrorReason(error, pcmName + ": " + lib->strerror(r));
    return nullptr;
}

kyAudioOutputFilterALSA::kyAudioOutputFilterALSA(const kyAlsaLibrary* lib, kyAlsaPcm* pcm,
                                                 std::string name, uint32_t rate, uint32_t channels,
                                                 int format)
    : kyAudioOutputFilter("ALSA audio output", rate, channels), m_lib(lib), m_pcm(pcm),
      m_pcmName(std::move(name)), m_format(format) {
    kyAlsaLibrary::uframes buffer = 0, period = 0;
    if (lib->getParams(pcm, &buffer, &period) == 0) m_bufferFrames = int64_t(buffer);
}

kyAudioOutputFilterALSA::~kyAudioOutputFilterALSA() {
    Stop(true);
    m_lib->close(m_pcm);
}

std::string kyAudioOutputFilterALSA::Description() const {
    return m_pcmName + ", " + formatName(m_format) + ", " + std::to_string(m_channels) +
           " channels, " + std::to_string(m_rate) + " Hz";
}

kyError kyAudioOutputFilterALSA::deviceBegin() {
    m_lib->drop(m_pcm);
    return m_lib->prepare(m_pcm) < 0 ? KYERR_WRITE_FILE : KY_OK;
}

kyError kyAudioOutputFilterALSA::deviceWrite(const float* interleaved, uint32_t frames) {
    const size_t samples = size_t(frames) * m_channels;
    m_bytes.resize(samples * 4);
    const size_t frameBytes =
        ConvertSamples(interleaved, samples, m_format, m_bytes.data()) * m_channels;
    const uint8_t* data = m_bytes.data();
    std::vector<pollfd> fds;
    while (frames > 0) {
        if (stopRequested()) return KYERR_CANCELLED;
        const kyAlsaLibrary::sframes n = m_lib->writei(m_pcm, data, frames);
        if (n == -EAGAIN || n == 0) {
            const int count = m_lib->pollCount(m_pcm);
            fds.resize(count > 0 ? size_t(count) : 0);
            if (count > 0) m_lib->pollDescriptors(m_pcm, fds.data(), unsigned(count));
            // The device's descriptors or the stop event; the time-out only guards against a
            // device that never signals.
            if (!waitForDevice(fds.data(), unsigned(fds.size()), 200)) return KYERR_CANCELLED;
            continue;
        }
        if (n < 0) {
            // An underrun (or a suspend) is recovered; anything else ends playback.
            if (m_lib->recover(m_pcm, int(n), 1) < 0) {
                kySetErrorReason(KYERR_WRITE_FILE, m_pcmName + ": " + m_lib->strerror(int(n)));
                return KYERR_WRITE_FILE;
            }
            ++m_recoveries;
            continue;
        }
        data += size_t(n) * frameBytes;
        frames -= static_cast<uint32_t>(n);
    }
    return KY_OK;
}

int64_t kyAudioOutputFilterALSA::deviceDelay() {
    kyAlsaLibrary::sframes delay = 0;
    if (m_lib->delay(m_pcm, &delay) < 0) return 0;
    // A device holds at most its buffer; one that plays nothing (the null device) would
    // otherwise count everything ever written as still to come.
    return m_bufferFrames > 0 ? std::min<int64_t>(delay, m_bufferFrames) : delay;
}

void kyAudioOutputFilterALSA::deviceDrop() {
    m_lib->drop(m_pcm);
}

void kyAudioOutputFilterALSA::deviceEndOfData() {
    // A stream shorter than the start threshold has not started yet.
    if (m_lib->state(m_pcm) == kyAlsaLibrary::kStatePrepared) m_lib->start(m_pcm);
}
