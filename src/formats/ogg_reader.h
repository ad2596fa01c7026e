#pragma once
// ogg_Reader: Ogg Vorbis files decoded by libvorbisfile over the reader's own file, with
// their comments as properties.
#include "formats/codecs/vorbis_file_decoder.h"
#include "formats/reader_filter.h"

class ogg_Reader : public kyReaderFilter {
public:
    ogg_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option);

    // 6 when the file starts with "OggS", else 0.
    static int Probe(const uint8_t* head, size_t size);
    static kyReaderFilter* Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                  int32_t option);

protected:
    kyError PrepareDecoder() override;
    kyError DecodeFrames(float** planes, uint32_t frames, uint32_t& got) override;

private:
    kyError open();

    kyVorbisFileDecoder m_decoder;
};

// The subformat an Ogg Vorbis stream is described by: its nominal bit rate ("160 kbit/s"),
// or "Vorbis" when it names none.
std::string kyVorbisSubformat(long nominalBitRate);
