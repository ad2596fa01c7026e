#pragma once
// Base of every file writer: the file, its three identity properties, the choice of data
// subformat, the float-to-PCM conversion and the hooks a compressing writer fills in.
#include "core/audio_format.h"
#include "core/filter.h"
#include "core/property_table.h"
#include "core/quantizer.h"
#include "formats/codecs/sample_codec.h"
#include "platform/buffered_file.h"
#include <cstdint>
#include <memory>
#include <vector>

struct kyFormatEntry;
class kyMorphFilter;

// Which tags a writer of a bare compressed stream puts around it.
struct kyTagChoice {
    bool id3v2 = false; // before the first frame
    bool id3v1 = false; // the last 128 bytes
    bool ape = false;   // after the stream, before any ID3v1 tag
};
// The choices per format, with the defaults of each.
struct kyTagOptions {
    kyTagChoice mp3{true, true, false};
    kyTagChoice mp2{false, true, false};
    kyTagChoice aac{false, false, false};
};

class kyWriterFilter : public kySinkFilter2 {
public:
    // Takes ownership of `fd` (closed by the destructor). An empty `subformat` picks the
    // entry's default: "PCM 16-bit" when listed, else the middle item of the list.
    kyWriterFilter(int fd, const char* fileName, const char* subformat, const kyFormatEntry* entry);
    ~kyWriterFilter() override;

    // Every format overrides Run: negotiate, write the header, RunStream, finish the file.
    kyError Run() override = 0;
    kyError Write(float** planes, uint32_t frames) override;
    kyError WriteInterleaved(const void* bytes, uint32_t byteCount, uint32_t frames) override;

    // Frames written when non-zero, else the stream's length.
    virtual uint32_t Length() const;
    virtual uint32_t Channels() const { return m_stream.channels; }
    virtual uint32_t SampleRate() const { return m_stream.sampleRate; }
    // Slots 0-2 are the writer's own (file name, format name, data subformat); the others
    // are asked of the connected source.
    virtual const char* GetPropertyA(uint32_t slot);
    virtual const char* GetPropertyUtf8(uint32_t slot);
    virtual const char16_t* GetPropertyW(uint32_t slot);
    // A copy of the metadata properties (slots 3 and up) the connected source answers with,
    // for the tag writers.
    kyPropertyTable TagProperties();

    // Encoder hooks for writers that compress (used when convert is off). A writer whose
    // codec is a block encoder sets m_encoder and leaves these to drive it; without one
    // they do nothing, and Encode fails.
    virtual kyError EncoderStart();
    // Consumes frames of `planes` from `consumed` on (advancing it and lowering
    // `remaining`); may hand back one block of output bytes to write.
    virtual kyError Encode(const uint8_t*& out, uint32_t& outBytes, float** planes,
                           uint32_t& consumed, uint32_t& remaining);
    virtual kyError EncoderFlush();
    // Ends an Encode that took every remaining frame and gave `bytes` to write.
    static kyError EncodedAll(const std::vector<uint8_t>& bytes, const uint8_t*& out,
                              uint32_t& outBytes, uint32_t& consumed, uint32_t& remaining) {
        consumed += remaining;
        remaining = 0;
        out = bytes.data();
        outBytes = static_cast<uint32_t>(bytes.size());
        return KY_OK;
    }

    const kyFormatEntry* entry() const { return m_entry; }
    // The data subformat (slot 2) as chosen by construction or negotiation.
    const char* Subformat() { return m_properties.getUtf8(2); }
    bool passthrough() const { return m_passthrough; }
    uint32_t framesWritten() const { return m_framesWritten; }

    // The tags to write, for the formats that write them (the defaults until set).
    void SetTagOptions(const kyTagOptions& options) { m_tagOptions = options; }
    const kyTagOptions& tagOptions() const { return m_tagOptions; }

    // The compression level the user chose, in the codec's own numbering, or -1 for the
    // subformat's default. Writers without levels ignore it; others bring it into range.
    void SetCompressionLevel(int32_t level) { m_compressionLevel = level; }
    int32_t CompressionLevel() const { return m_compressionLevel; }

    // Largest file this writer may make; a write that would pass it fails with "Couldn't
    // write to file". Formats with 32-bit sizes lower it.
    void SetFileSizeLimit(uint64_t bytes) { m_fileSizeLimit = bytes; }

protected:
    // Chooses the subformat against the source; `preferred` may be null.
    kyError NegotiateFormat(const char* preferred);
    // Sets up conversion of planar floats to the subformat's interleaved samples.
    kyError PreparePcmConversion();
    // Runs the whole stream: the source's interleaved run in passthrough, else the pull
    // loop wrapped in the encoder hooks when convert is off.
    kyError RunStream();

    // File access. Every write writes all bytes or fails with "Couldn't write to file".
    // Writes are gathered into large blocks: a writer's Run ends with FinishFile, which
    // stores the rest, also after a failure (what was written stays as it would without
    // the buffer), and reports a write that failed on the way; `err` takes precedence.
    kyError WriteBytes(const void* data, size_t size);
    kyError WriteAt(uint64_t offset, const void* data, size_t size);
    kyError ReadAt(uint64_t offset, void* data, size_t size);
    uint64_t Position() const { return m_position; }
    kyError SeekTo(uint64_t offset);
    uint64_t FileSize() const { return m_fileEnd; }
    kyError FinishFile(kyError err) {
        const kyError flushed = FlushFile();
        return kyFailed(err) ? err : flushed;
    }
    kyError FlushFile();
    // The descriptor, for code that writes it directly: call FlushFile first.
    int fd() const { return m_fd; }

    // The connected source's format, fetched once.
    kyError FetchStreamFormat();

    // Puts `filter` (a resampler, a channel broker the encoding needs) directly in front
    // of the writer; the writer owns it until ReleaseInserted, which its run calls at the
    // end and its destructor calls in any case.
    void InsertInFront(kyMorphFilter* filter);
    void ReleaseInserted();

    const kyFormatEntry* m_entry;
    kyPropertyTable m_properties{KY_WRITER_PROPERTY_SLOTS};
    int m_fd;
    kyAudioFormat m_stream{};
    bool m_haveStream = false;
    uint32_t m_framesWritten = 0;
    std::vector<uint8_t> m_convertBuffer;
    bool m_passthrough = false;
    std::unique_ptr<kyQuantizer> m_quantizer;
    bool m_convert = false;
    bool m_byteSwap = false;
    bool m_signFlip = false;
    uint32_t m_samplesPerBlock = 0;
    uint32_t m_bytesPerSample = 0;
    kyTagOptions m_tagOptions;

    // The block encoder of a compressing writer, started with this bit count and channel
    // count (0: the stream's); m_encoded holds the bytes of its last call.
    std::unique_ptr<kySampleEncoder> m_encoder;
    uint32_t m_encoderBits = 4;
    uint32_t m_encoderChannels = 0;
    std::vector<uint8_t> m_encoded;
    // Takes `encoder` as m_encoder and tries it on the stream's channels, so that a count
    // it refuses fails before anything is written.
    kyError UseEncoder(std::unique_ptr<kySampleEncoder> encoder, uint32_t bits);

private:
    std::vector<kyMorphFilter*> m_inserted;
    kyBufferedFile m_file;
    uint64_t m_position = 0;
    uint64_t m_fileEnd = 0;
    uint64_t m_fileSizeLimit = UINT64_MAX;
    int32_t m_compressionLevel = -1;
};

// The subformat a name normalises to when matching a source's format automatically
// ("Lossless 16-bit" -> "PCM 16-bit", "PCM 20-bit (24)" -> "PCM 20-bit", ...).
std::string kyNormalizeSubformat(const std::string& name);

// The default subformat of an entry (see the constructor).
std::string kyDefaultSubformat(const kyFormatEntry& entry);
