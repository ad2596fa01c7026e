#pragma once
// A Musepack SV8 encoder: the 32-band polyphase analysis filter bank that matches the
// decoders' synthesis, scale factors per third of a frame, a resolution per band chosen
// by a simple signal-to-mask model under a bit budget that keeps the stream near its
// nominal rate, and the bit stream's entropy coding as decoders read it. Every audio
// packet holds one frame of 1152 samples; the file is "MPCK", the stream header with
// its CRC, ReplayGain, encoder information and the seek table's offset, the audio
// packets, the seek table and the stream end.
#include "core/error.h"
#include <cstdint>
#include <memory>
#include <vector>

// ReplayGain as the stream header carries it (absent values are 0).
struct kyMpcGain {
    bool haveTrackGain = false, haveAlbumGain = false, haveTrackPeak = false, haveAlbumPeak = false;
    double trackGainDb = 0, albumGainDb = 0;
    double trackPeak = 0, albumPeak = 0; // linear, 1.0 = full scale
};

class kyMpcEncoder {
public:
    kyMpcEncoder();
    ~kyMpcEncoder();

    // `kbps` is the nominal rate of a stereo stream; `quality` (0 to 10) goes into the
    // encoder information. `samples` is the announced length (the header is brought up to
    // date by header() at the end). "Unsupported data format" for a rate the format does
    // not have, "Unsupported channel format" for more than 2 channels.
    kyError start(uint32_t sampleRate, uint32_t channels, uint32_t kbps, uint32_t quality,
                  const kyMpcGain& gain, uint64_t samples);
    // Planar samples (full scale 1.0), `frames` of each plane from `first` on.
    void encode(float* const* planes, uint32_t first, uint32_t frames);
    // Codes what is left (the filter bank's delay included), the seek table and the end.
    void finish();

    // Bytes made so far and not yet taken.
    std::vector<uint8_t>& output() { return m_out; }
    void clearOutput() { m_out.clear(); }
    // The stream's head as it is once finished: same length as first written, with the
    // real sample count and the seek table's place.
    std::vector<uint8_t> header() const;
    uint64_t samples() const { return m_samples; }
    // Average coded rate so far, in bits per second.
    double bitRate() const;

private:
    struct Impl;
    void codeFrame();
    void emit(const std::vector<uint8_t>& bytes);

    std::unique_ptr<Impl> m_impl;
    std::vector<uint8_t> m_out;
    uint64_t m_samples = 0;
    uint64_t m_emitted = 0; // bytes since "MPCK"
};
