#pragma once
// kyAacDecoder: AAC decoded by libfaad (loaded at run time) from bytes handed over in
// memory: an ADTS stream (the default; frames are found by their headers, and damage is
// skipped to the next header), an ADIF stream, or raw frames after configure() with the
// audio specific configuration (AAC inside WAV and MPEG-4 files). Channels come out in
// the WAV order (front left, front right, centre, LFE, back, side).
#include "formats/codecs/stream_decoder.h"
#include <string>
#include <vector>

class kyAacDecoder : public kyStreamDecoder {
public:
    kyAacDecoder() = default;
    kyAacDecoder(const kyAacDecoder&) = delete;
    kyAacDecoder& operator=(const kyAacDecoder&) = delete;
    ~kyAacDecoder() override;

    // Whether libfaad could be loaded, and its version ("" when not).
    static bool available();
    static std::string libraryVersion();

    kyError start(uint32_t channels) override;
    kyError configure(const void* data, size_t size) override;
    kyError feed(const void* data, size_t size) override;
    void endOfInput() override { m_ended = true; }
    kyError read(float* const* planes, uint32_t capacity, uint32_t& frames) override;

private:
    enum class Mode { Adts, Adif, Raw };
    void closeHandle();
    // Decodes one frame from the front of m_input; `used` is what it took.
    kyError decodeFrame(size_t size, size_t& used);
    kyError openHandle();
    void drop(size_t bytes);

    void* m_handle = nullptr;
    Mode m_mode = Mode::Adts;
    bool m_initialised = false;
    bool m_ended = false;
    std::vector<uint8_t> m_input;
    size_t m_inputStart = 0; // consumed bytes at the front of m_input
    // Decoded frames not yet handed out (interleaved, m_outChannels per frame).
    std::vector<float> m_pending;
    size_t m_pendingPos = 0; // in frames
    uint32_t m_outChannels = 0;
    uint32_t m_order[64] = {};
};
