#pragma once
// kyFramedStreamReader: the base of the readers of bare framed streams (MPEG audio, ADTS
// AAC). It reads the tags around the stream into properties and keeps them out of the
// audio, walks the stream's frames, feeds the decoder from the first frame on (a seek
// decodes from there and drops what comes before the seek point), and hands the stream on
// unchanged, in pieces of whole frames, to a writer that stores it.
#include "formats/decoded_frames.h"
#include "formats/frame_walker.h"
#include "formats/reader_filter.h"
#include <memory>

class kyStreamDecoder;

class kyFramedStreamReader : public kyReaderFilter {
public:
    ~kyFramedStreamReader() override;

    uint32_t Seek(uint32_t frame) override;
    const char* GetInterleavedFormat(uint32_t channels) override;
    kyError RunInterleaved() override;

    // Where the audio lies in the file (between the tags) and its first frame.
    uint64_t audioStart() const { return m_audioStart; }
    uint64_t audioEnd() const { return m_audioEnd; }
    uint64_t firstFrame() const { return m_firstFrame; }

protected:
    kyFramedStreamReader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option);

    // Whether a frame of the stream starts at `p` (`avail` bytes there).
    virtual bool ParseFrame(const uint8_t* p, size_t avail, kyWalkedFrame& frame) = 0;
    // The frames of audio a frame stands for when the stream is handed on (`first`: the
    // stream's first frame).
    virtual uint32_t FrameSamples(const uint8_t* data, uint32_t size, const kyWalkedFrame& frame,
                                  bool first) {
        return frame.samples;
    }
    // Whether the stream can be handed on (its frames can be found).
    virtual bool CanPassOn() const { return true; }
    // Whether bytes between the frames go on with them when the stream is handed on.
    virtual bool PassesGaps() const { return true; }
    virtual std::unique_ptr<kyStreamDecoder> MakeDecoder() = 0;

    // Reads the tags into the properties and sets the audio range. "The file does not
    // contain any audio data" when nothing is left between the tags.
    kyError ReadTags();
    // Up to `size` bytes from the start of the audio.
    kyError ReadHead(std::vector<uint8_t>& head, size_t size);
    // Walks the frames from the first one to the end of the audio.
    kyError WalkFrames(const kyWalkFn& fn);
    // A fresh decoder for `channels` channels, fed from the first frame.
    kyError StartDecoder(uint32_t channels);
    // The next decoded frames (KY_NOTHING_DONE at the end of the stream).
    kyError Pull(float** planes, uint32_t capacity, uint32_t& frames);

    kyError PrepareDecoder() override;
    kyError DecodeFrames(float** planes, uint32_t frames, uint32_t& got) override;

    uint64_t m_audioStart = 0, m_audioEnd = 0, m_firstFrame = 0;
    std::unique_ptr<kyStreamDecoder> m_decoder;

private:
    kyStreamInput m_input;
    kyDecodedFrames m_frames;
};
