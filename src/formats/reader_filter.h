#pragma once
// Base of every file reader: the file, the catalogue entry, the identity properties, the
// plain PCM path (read a block, convert it to float planes, push it downstream) and the
// block-codec path (feed a sample decoder from the data and hand out its frames). Readers
// of other compressed data override the decode hooks.
#include "core/filter.h"
#include "core/sample_block.h"
#include "formats/codecs/sample_codec.h"
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct kyFormatEntry;

class kyReaderFilter : public kySourceFilter2 {
public:
    // Takes ownership of `fd` (closed by the destructor). Sets properties 0, 1 and 3.
    kyReaderFilter(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option);
    ~kyReaderFilter() override;

    // The result of opening (parsing the header); a reader that failed to open answers it
    // from every operation, and the catalogue hands it to the caller of OpenReader.
    kyError OpenResult() const { return m_openResult; }

    kyError GetFormat(kyAudioFormat& format) override;
    uint32_t Seek(uint32_t frame) override;
    kyError Prepare() override;
    kyError Process() override;
    const char* GetInterleavedFormat(uint32_t channels) override;
    kyError RunInterleaved() override;

    // Markers (cue points) of the file: frame position and name. False past the last one.
    virtual bool GetMarker(uint32_t index, uint32_t& frame, std::string& name) { return false; }

    const kyFormatEntry* entry() const { return m_entry; }

protected:
    // Decode hooks. The base reads raw PCM of the subformat in property 2, or decodes with
    // m_decoder when a reader set one.
    // Called from Prepare (raw PCM: after the file position is set to the first frame to
    // deliver).
    virtual kyError PrepareDecoder();
    // Fills up to `frames` frames of `planes` from offset 0; `got` < frames only at the
    // end of the data.
    virtual kyError DecodeFrames(float** planes, uint32_t frames, uint32_t& got);
    // Compressed data: decodes the next frames into m_decoded (m_decodedFrames of them);
    // KY_NOTHING_DONE at the end of the data. The base feeds m_decoder.
    virtual kyError RefillDecoded();
    // True when the frames are raw PCM the base converts (seek by byte offset, interleaved
    // run).
    virtual bool IsRawPcm() const { return m_rawPcm; }

    // Reads exactly `size` bytes at the current position: "Couldn't read from file" when
    // fewer are there.
    kyError ReadExact(void* data, size_t size);
    // Reads up to `size` bytes; returns the count read, or -1 on an error.
    long ReadSome(void* data, size_t size);
    kyError ReadAt(uint64_t offset, void* data, size_t size);
    // A chunk body read whole: "Out of memory" when it cannot be held.
    kyError ReadBody(uint64_t offset, uint64_t size, std::vector<uint8_t>& body);
    kyError SeekFile(uint64_t offset);
    uint64_t FileSize() const { return m_fileSize; }

    // Lowers the block size so that one block stays small whatever the channel count;
    // readers call it once their format is known.
    void LimitBlockFrames();
    static constexpr uint64_t kMaxBlockBytes = 4u << 20;
    // Metadata chunks are read whole; anything larger is not metadata we keep.
    static constexpr uint64_t kMaxMetadataChunk = 1u << 20;

    // The text of a fixed-size field: up to its first NUL, at most `max` bytes.
    static std::string FixedText(const uint8_t* p, size_t max);
    // Names an encoding the reader does not decode by its four characters (unprintable
    // ones as '?') in the subformat property, and returns "Unsupported compression type".
    kyError RefuseCoding(const uint8_t* fourCC);

    // A sample rate stored as a floating-point number, rounded to whole hertz: false for
    // zero, negative, non-finite or out-of-range values.
    static bool RateFromDouble(double value, uint32_t& rate);

    // Takes over every metadata property (slots 3 and up) that `tags` has, replacing what
    // the reader had (such as the title made from the file name).
    void TakeProperties(kyPropertyTable& tags);

    // Sets the subformat property (2) and, for a raw id the core converts, the sample
    // width. Returns false for an id without a raw form.
    bool SetSubformat(const char* id);

    const kyFormatEntry* m_entry;
    int32_t m_option;
    int m_fd;
    kyError m_openResult = KY_OK;
    uint64_t m_fileSize = 0;
    uint64_t m_dataOffset = 0;  // first byte of the audio data
    uint64_t m_dataBytes = 0;   // bytes of audio data (raw PCM: length x bytes per frame)
    uint64_t m_startOffset = 0; // bytes skipped by Seek
    uint32_t m_startFrame = 0;
    uint32_t m_bits = 16;         // bits per sample of the container (raw PCM)
    uint32_t m_bytesPerFrame = 0; // raw PCM only
    bool m_byteSwap = false;
    bool m_signFlip = false;
    bool m_rawPcm = false;
    std::vector<uint8_t> m_readBuffer;
    kyPlaneBuffer m_planes;
    uint32_t m_remaining = 0;
    bool m_prepared = false;

    // Compressed data. A reader of a block codec sets m_decoder (with the bit count and
    // block size to restart it with); seeking then decodes from the start and skips.
    std::unique_ptr<kySampleDecoder> m_decoder;
    uint32_t m_codecBits = 4;
    uint32_t m_codecBlockAlign = 0;
    uint32_t m_leadingFrames = 0; // decoded frames that precede the stream (priming)
    uint64_t m_dataLeft = 0;      // bytes not yet read
    std::vector<uint8_t> m_block; // coded bytes read at a time
    kyPlaneBuffer m_decoded;      // frames of the last refill
    uint32_t m_decodedFrames = 0;
    uint32_t m_decodedPos = 0;
    uint32_t m_skip = 0; // frames still to drop before the first one delivered
};
