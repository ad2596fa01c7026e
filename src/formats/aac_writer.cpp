#include "formats/aac_writer.h"
#include "formats/aac_reader.h"
#include "formats/adts_common.h"
#include "formats/codecs/aac_decoder.h"
#include "formats/codecs/byte_output.h"
#include "formats/codecs/encoder_text.h"
#include "formats/format_catalog.h"
#include <new>
#include <string>

kyWriterFilter* aac_Writer::Create(int fd, const char* fileName, const char* subformat,
                                   const kyFormatEntry* entry) {
    return new (std::nothrow) aac_Writer(fd, fileName, subformat, entry);
}

kyError aac_Writer::Configure(uint32_t& encoderRate) {
    // The entry's parameter: 257 MPEG-2 Main, 258 MPEG-2 LC, 1 MPEG-4 Main, 2 MPEG-4 LC.
    const int32_t p = m_entry ? m_entry->parameter : 2;
    const bool mpeg2 = p > 256;
    const uint32_t objectType = (p & 0xFF) == 1 ? 1 : 2;
    const char* textC = Subformat();
    const std::string text = textC ? textC : "";
    const uint32_t channels = m_stream.channels;
    const uint32_t quality = kyNumberAfter(text, "VBR Quality ", 0);
    const uint32_t bitRate = quality ? 0 : kyNumberAfter(text, "ABR ", 64 * channels);
    m_config = kyConfigureAac(mpeg2, objectType, quality, bitRate, m_stream.sampleRate, channels);
    // ADTS headers describe channel layouts of up to eight channels (7.1), not seven.
    m_channelConfig = kyAacChannelConfig(channels);
    if (m_channelConfig == 0) return KYERR_CHANNEL_FORMAT;
    if (!kyAacEncoder::available()) return KYERR_MISSING_COMPONENT;
    m_rateIndex = static_cast<uint32_t>(adts::RateIndex(m_config.outputRate));
    encoderRate = m_config.outputRate;
    return KY_OK;
}

kyError aac_Writer::EncoderStart() {
    return m_codec.start(m_config);
}

kyError aac_Writer::frame(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
    const size_t total = size + adts::kHeaderBytes;
    // The header's frame length has 13 bits; a frame that does not fit cannot be stored.
    if (total > adts::kMaxFrameBytes) return KYERR_DATA_FORMAT;
    uint8_t header[adts::kHeaderBytes];
    adts::Build(header, m_config.mpeg2, m_config.objectType, m_rateIndex, m_channelConfig,
                static_cast<uint32_t>(total));
    kyError err = kyAppendBytes(out, header, sizeof header);
    return kySucceeded(err) ? kyAppendBytes(out, data, size) : err;
}

kyError aac_Writer::EncodeFrames(float** planes, uint32_t first, uint32_t frames,
                                 std::vector<uint8_t>& out) {
    return m_codec.encode(planes, first, frames,
                          [&](const uint8_t* data, size_t size) { return frame(data, size, out); });
}

kyError aac_Writer::EncoderFlush() {
    m_out.clear();
    kyError err =
        m_codec.flush([&](const uint8_t* data, size_t size) { return frame(data, size, m_out); });
    if (kySucceeded(err)) err = WriteOutput();
    return err;
}

namespace {

kyComponentStatus avcodec(bool) {
    return kyComponentStatus::Versioned("libavcodec.so.59", kyAacEncoder::libraryVersion());
}
kyComponentStatus faad(bool) {
    return kyComponentStatus::Versioned("libfaad.so.2", kyAacDecoder::libraryVersion());
}

std::vector<std::string> aacList() {
    std::vector<std::string> l = {"<Auto select>", "*MPEG AAC"};
    for (int r : {8,   16,  24,  32,  40,  48,  56,  64,  80,  96,  112,  128,
                  144, 160, 192, 256, 320, 384, 480, 512, 640, 768, 1024, 2048})
        l.push_back("ABR " + std::to_string(r) + " kbit/s");
    for (int q : {20, 30, 40, 50, 55, 60, 65, 70, 75, 80, 85, 90})
        l.push_back("VBR Quality " + std::to_string(q));
    for (int q = 91; q <= 100; ++q) l.push_back("VBR Quality " + std::to_string(q));
    return l;
}

} // namespace

void aac_RegisterFormats(kyFormatCatalog& catalog) {
    static const kyFormatEntry reader{"aac",       "MPEG 2/4 AAC (Advanced Audio Coding)",
                                      adts::Probe, aac_Reader::Create,
                                      nullptr,     {},
                                      1,           1000,
                                      0,           faad};
    static const std::vector<std::string> list = aacList();
    auto writer = [](const char* name, int32_t parameter) {
        return kyFormatEntry{"aac", name, nullptr, nullptr,   aac_Writer::Create,
                             list,  1,    64,      parameter, avcodec};
    };
    static const kyFormatEntry writers[] = {
        writer("MPEG-2 AAC - Low Complexity", 258), writer("MPEG-2 AAC - Main Profile", 257),
        writer("MPEG-4 AAC - Low Complexity", 2), writer("MPEG-4 AAC - Main Profile", 1)};
    catalog.RegisterFormat(&reader);
    for (const kyFormatEntry& e : writers) catalog.RegisterFormat(&e);
}
