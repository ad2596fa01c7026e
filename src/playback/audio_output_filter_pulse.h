#pragma once
// kyAudioOutputFilterPulse ("PulseAudio audio output") plays through PulseAudio's simple
// API on the system's default output: the system-default device role.
//
// The simple API's write waits until the server has taken all of it, with no way to wait
// on a stop as well: a stop flushes the stream from the stopping thread, which frees room
// and lets a write that waits return (the simple API serialises its calls on its own
// main-loop lock and waits with that lock released). Writes are at most 50 ms, so a stop
// is seen before the next one.
#include "platform/pulse_library.h"
#include "playback/audio_output_filter.h"
#include <memory>

class kyAudioOutputFilterPulse : public kyAudioOutputFilter {
public:
    // Connects a playback stream of `channels` at `rate`; `bufferFrames` 0 means an eighth
    // of a second. Null with `error` (and its reason) when the server can't be reached.
    static std::unique_ptr<kyAudioOutputFilterPulse> Open(uint32_t rate, uint32_t channels,
                                                          uint32_t bufferFrames, kyError& error);
    ~kyAudioOutputFilterPulse() override;

    std::string Description() const override;

protected:
    kyError deviceBegin() override;
    kyError deviceWrite(const float* interleaved, uint32_t frames) override;
    int64_t deviceDelay() override;
    void deviceDrop() override;
    void deviceInterrupt() override;

private:
    kyAudioOutputFilterPulse(const kyPulseLibrary* lib, kyPulseSimple* stream, uint32_t rate,
                             uint32_t channels);

    const kyPulseLibrary* m_lib;
    kyPulseSimple* m_stream;
};
