#include "formats/ogg_reader.h"
#include <algorithm>
#include <cstring>
#include <new>

std::string kyVorbisSubformat(long nominalBitRate) {
    if (nominalBitRate <= 0) return "Vorbis";
    return std::to_string((nominalBitRate + 500) / 1000) + " kbit/s";
}

ogg_Reader::ogg_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option)
    : kyReaderFilter(fd, fileName, entry, option) {
    m_openResult = open();
}

int ogg_Reader::Probe(const uint8_t* head, size_t size) {
    return size >= 4 && std::memcmp(head, "OggS", 4) == 0 ? 6 : 0;
}

kyReaderFilter* ogg_Reader::Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                   int32_t option) {
    return new (std::nothrow) ogg_Reader(fd, fileName, entry, option);
}

kyError ogg_Reader::open() {
    if (m_fd < 0) return KYERR_OPEN_FILE;
    kyError err = m_decoder.open(m_fd, 0, m_fileSize);
    if (kyFailed(err)) return err;
    m_properties.setUtf8(2, kyVorbisSubformat(m_decoder.nominalBitRate()));
    kyPropertyTable comments;
    m_decoder.readComments(comments);
    TakeProperties(comments);
    m_format.channels = m_decoder.channels();
    m_format.sampleRate = m_decoder.sampleRate();
    m_format.channelMask = 0;
    const uint64_t length = m_decoder.length();
    m_format.lengthFrames =
        length == 0 ? KY_NO_LENGTH
                    : static_cast<uint32_t>(std::min<uint64_t>(length, KY_NO_LENGTH - 1));
    m_format.blockFrames = 4096;
    m_bits = 32;
    LimitBlockFrames();
    return KY_OK;
}

kyError ogg_Reader::PrepareDecoder() {
    return m_decoder.seek(m_startFrame);
}

kyError ogg_Reader::DecodeFrames(float** planes, uint32_t frames, uint32_t& got) {
    return m_decoder.read(planes, 0, frames, got);
}
