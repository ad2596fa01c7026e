#pragma once
// flac_Reader: FLAC files decoded by libFLAC's stream decoder over the reader's own file.
// The metadata blocks are read here (the comments become properties, pictures are
// skipped); samples of a whole width can also be handed over unchanged.
#include "formats/reader_filter.h"
#include "platform/flac_library.h"
#include <vector>

class flac_Reader : public kyReaderFilter {
public:
    flac_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option);
    ~flac_Reader() override;

    const char* GetInterleavedFormat(uint32_t channels) override;
    kyError RunInterleaved() override;

    static kyReaderFilter* Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                  int32_t option);

protected:
    kyError PrepareDecoder() override;
    kyError DecodeFrames(float** planes, uint32_t frames, uint32_t& got) override;

private:
    kyError open();
    void closeDecoder();
    // Decodes until frames are pending; KY_NOTHING_DONE at the end of the stream.
    kyError refill();
    // Once the last frame is out: runs the decoder to the end of the stream, so that the
    // checksum of a stream decoded from its start is checked.
    kyError verifyEnd();

    static FLAC__StreamDecoderReadStatus
    readCallback(const FLAC__StreamDecoder*, FLAC__byte buffer[], size_t* bytes, void* self);
    static FLAC__StreamDecoderSeekStatus seekCallback(const FLAC__StreamDecoder*,
                                                      FLAC__uint64 offset, void* self);
    static FLAC__StreamDecoderTellStatus tellCallback(const FLAC__StreamDecoder*,
                                                      FLAC__uint64* offset, void* self);
    static FLAC__StreamDecoderLengthStatus lengthCallback(const FLAC__StreamDecoder*,
                                                          FLAC__uint64* length, void* self);
    static FLAC__bool eofCallback(const FLAC__StreamDecoder*, void* self);
    static FLAC__StreamDecoderWriteStatus writeCallback(const FLAC__StreamDecoder*,
                                                        const FLAC__Frame* frame,
                                                        const FLAC__int32* const buffer[],
                                                        void* self);
    static void errorCallback(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus,
                              void* self);

    const kyFlacDecoderLibrary* m_lib = nullptr;
    FLAC__StreamDecoder* m_decoder = nullptr;
    uint32_t m_channels = 0;
    uint32_t m_bitsPerSample = 0;
    std::string m_rawId;     // raw id of the samples, empty when none carries them
    uint64_t m_audioEnd = 0; // the stream ends here (trailing tags follow)
    uint64_t m_streamPos = 0;
    std::vector<int32_t> m_pending; // decoded frames, interleaved
    uint32_t m_pendingFrames = 0;
    uint32_t m_pendingPos = 0;
    uint64_t m_delivered = 0; // frames handed out since the start position
    bool m_streamError = false;
    bool m_ended = false;
    bool m_fromStart = false; // decoded from the first frame: the checksum can be checked
};
