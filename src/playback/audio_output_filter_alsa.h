#pragma once
// kyAudioOutputFilterALSA ("ALSA audio output") plays through an ALSA PCM: the shared
// ("default") and exclusive (hw:C,D) device role.
#include "platform/alsa_library.h"
#include "playback/audio_output_filter.h"
#include <atomic>
#include <memory>
#include <vector>

class kyAudioOutputFilterALSA : public kyAudioOutputFilter {
public:
    // Sample types tried in turn when none is asked for: float, 32-bit, 24-bit in 4 and in 3
    // bytes, 16-bit, 8-bit.
    static const std::vector<int>& DefaultFormats();

    // Opens `pcm` for playback of `channels` at `rate` with the first of `formats` it takes;
    // an exclusive device is not resampled by ALSA. `bufferFrames` 0 lets the device choose
    // (about 100 ms). Null with `error` (and its reason) when it cannot be opened.
    static std::unique_ptr<kyAudioOutputFilterALSA> Open(const std::string& pcm, uint32_t rate,
                                                         uint32_t channels, uint32_t bufferFrames,
                                                         bool exclusive, kyError& error,
                                                         const std::vector<int>& formats = {});
    ~kyAudioOutputFilterALSA() override;

    std::string Description() const override;
    // The ALSA sample format the device was opened with.
    int SampleFormat() const { return m_format; }
    // Underruns (and suspends) recovered from since the device was opened.
    uint32_t Recoveries() const { return m_recoveries.load(); }

    // Float samples to `format` (one of DefaultFormats()), rounded, clipped at full scale.
    // Returns the bytes per sample.
    static size_t ConvertSamples(const float* in, size_t count, int format, uint8_t* out);

protected:
    kyError deviceBegin() override;
    kyError deviceWrite(const float* interleaved, uint32_t frames) override;
    int64_t deviceDelay() override;
    void deviceDrop() override;
    void deviceEndOfData() override;

private:
    kyAudioOutputFilterALSA(const kyAlsaLibrary* lib, kyAlsaPcm* pcm, std::string name,
                            uint32_t rate, uint32_t channels, int format);

    const kyAlsaLibrary* m_lib;
    kyAlsaPcm* m_pcm;
    std::string m_pcmName;
    int m_format;
    std::vector<uint8_t> m_bytes;
    int64_t m_bufferFrames = 0;
    std::atomic<uint32_t> m_recoveries{0};
};
