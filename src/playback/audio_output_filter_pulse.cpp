#include "playback/audio_output_filter_pulse.h"
#include <algorithm>

std::unique_ptr<kyAudioOutputFilterPulse> kyAudioOutputFilterPulse::Open(uint32_t rate,
                                                                         uint32_t channels,
                                                                         uint32_t bufferFrames,
                                                                         kyError& error) {
    const kyPulseLibrary* lib = kyPulseLibrary::Get();
    if (!lib) {
        error = KYERR_MISSING_COMPONENT;
        kySetErrorReason(error, kyPulseLibrary::Missing());
        return nullptr;
    }
    if (rate == 0 || channels == 0 || channels > 32) {
        error = KYERR_INVALID_PARAMETER;
        return nullptr;
    }
    const kyPulseSampleSpec spec{kyPulseLibrary::kSampleFloat32LE, rate, uint8_t(channels)};
    // The simple API's writes block until the server has room: a short target length keeps
    // each write (and so a stop) short.
    const uint32_t frames = bufferFrames ? bufferFrames : std::max<uint32_t>(1, rate / 8);
    const kyPulseBufferAttr attr{uint32_t(-1), frames * channels * 4, uint32_t(-1), uint32_t(-1),
                                 uint32_t(-1)};
    int err = 0;
    kyPulseSimple* stream = lib->create(nullptr, "DskR", kyPulseLibrary::kStreamPlayback, nullptr,
                                        "Audio playback", &spec, nullptr, &attr, &err);
    if (!stream) {
        error = KYERR_OPEN_FILE;
        kySetErrorReason(error, std::string("PulseAudio: ") + lib->strerror(err));
        return nullptr;
    }
    return std::unique_ptr<kyAudioOutputFilterPulse>(
        new kyAudioOutputFilterPulse(lib, stream, rate, channels));
}

kyAudioOutputFilterPulse::kyAudioOutputFilterPulse(const kyPulseLibrary* lib, kyPulseSimple* stream,
                                                   uint32_t rate, uint32_t channels)
    : kyAudioOutputFilter("PulseAudio audio output", rate, channels), m_lib(lib), m_stream(stream) {
}

kyAudioOutputFilterPulse::~kyAudioOutputFilterPulse() {
    Stop(true);
    m_lib->free(m_stream);
}

std::string kyAudioOutputFilterPulse::Description() const {
    return "PulseAudio, float, " + std::to_string(m_channels) + " channels, " +
           std::to_string(m_rate) + " Hz";
}

kyError kyAudioOutputFilterPulse::deviceBegin() {
    int err = 0;
    m_lib->flush(m_stream, &err);
    return KY_OK;
}

kyError kyAudioOutputFilterPulse::deviceWrite(const float* interleaved, uint32_t frames) {
    if (stopRequested()) return KYERR_CANCELLED;
    int err = 0;
    if (m_lib->write(m_stream, interleaved, size_t(frames) * m_channels * 4, &err) < 0) {
        kySetErrorReason(KYERR_WRITE_FILE, std::string("PulseAudio: ") + m_lib->strerror(err));
        return KYERR_WRITE_FILE;
    }
    return KY_OK;
}

int64_t kyAudioOutputFilterPulse::deviceDelay() {
    int err = 0;
    const uint64_t us = m_lib->latency(m_stream, &err);
    if (us == uint64_t(-1)) return 0;
    return static_cast<int64_t>(us * m_rate / 1000000);
}

void kyAudioOutputFilterPulse::deviceDrop() {
    int err = 0;
    m_lib->flush(m_stream, &err);
}

void kyAudioOutputFilterPulse::deviceInterrupt() {
    int err = 0;
    m_lib->flush(m_stream, &err);
}
