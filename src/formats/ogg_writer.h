#pragma once
// ogg_Writer: Ogg Vorbis streams through libvorbis, libvorbisenc and libogg. The subformat
// names the nominal bit rate; when the encoder refuses the stream's layout, it settles on
// fewer channels or a lower rate, and a channel broker or resampler goes in front.
#include "formats/codec_writer.h"
#include "platform/vorbis_library.h"
#include <functional>

class kyFormatCatalog;

// The layout the encoder settled on.
struct kyVorbisSetup {
    uint32_t channels = 0;
    uint32_t sampleRate = 0;
    uint32_t kbps = 0;
};
// The encoder's set-up with its retries: the stream as it is; at 8 kbit/s stereo, mono;
// above 48 kHz, or below 48 kbit/s in stereo or 24 kbit/s in mono, each lower standard
// rate in turn; then once a bit rate raised by 8 (below 64 per channel) or halved (above
// 128 per channel). `tryInit` says whether the encoder takes a layout; false when none
// was taken.
bool kyChooseVorbisSetup(uint32_t channels, uint32_t sampleRate, uint32_t kbps,
                         const std::function<bool(const kyVorbisSetup&)>& tryInit,
                         kyVorbisSetup& chosen);

class ogg_Writer : public kyCodecWriter {
public:
    ogg_Writer(int fd, const char* fileName, const char* subformat, const kyFormatEntry* entry);
    ~ogg_Writer() override;

    kyError Run() override;

    kyError EncoderStart() override;
    kyError Encode(const uint8_t*& out, uint32_t& outBytes, float** planes, uint32_t& consumed,
                   uint32_t& remaining) override;
    kyError EncoderFlush() override;

    // The layout of the last run (for the tests).
    const kyVorbisSetup& setup() const { return m_setup; }

    static kyWriterFilter* Create(int fd, const char* fileName, const char* subformat,
                                  const kyFormatEntry* entry);

private:
    kyError setUpEncoder();
    // Takes every finished packet out of the encoder and writes the pages it fills;
    // `flush` forces out a page that is not full.
    kyError drain();
    kyError writePages(bool flush);
    void clear();

    const kyVorbisEncoderLibrary* m_lib = nullptr;
    kyVorbisSetup m_setup;
    vorbis_info m_info{};
    vorbis_comment m_comment{};
    vorbis_dsp_state m_dsp{};
    vorbis_block m_block{};
    ogg_stream_state m_ogg{};
    bool m_haveInfo = false, m_haveComment = false, m_haveDsp = false, m_haveBlock = false,
         m_haveOgg = false;
};

void ogg_RegisterFormats(kyFormatCatalog& catalog);
