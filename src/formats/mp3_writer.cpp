#include "formats/mp3_writer.h"
#include "formats/codecs/mpeg_audio_decoder.h"
#include "formats/format_catalog.h"
#include "formats/mp2_writer.h"
#include "formats/mpeg_audio_common.h"
#include "formats/mpeg_reader.h"
#include <new>
#include <string>
#include <vector>

kyWriterFilter* mp3_Writer::Create(int fd, const char* fileName, const char* subformat,
                                   const kyFormatEntry* entry) {
    return new (std::nothrow) mp3_Writer(fd, fileName, subformat, entry);
}

kyError mp3_Writer::Configure(uint32_t& encoderRate) {
    const char* text = Subformat();
    m_config = kyConfigureMp3(text ? text : "", m_stream.sampleRate, m_stream.channels);
    if (!kyMp3Encoder::available()) return KYERR_MISSING_COMPONENT;
    encoderRate = m_config.outputRate;
    return KY_OK;
}

kyError mp3_Writer::EncoderStart() {
    m_encoded = true;
    return m_codec.start(m_config, true);
}

kyError mp3_Writer::EncodeFrames(float** planes, uint32_t first, uint32_t frames,
                                 std::vector<uint8_t>& out) {
    return m_codec.encode(planes, first, frames, out);
}

kyError mp3_Writer::EncoderFlush() {
    m_out.clear();
    kyError err = m_codec.flush(m_out);
    if (kySucceeded(err)) err = WriteOutput();
    return err;
}

kyError mp3_Writer::FinishStream() {
    if (!m_encoded) return KY_OK;
    // The VBR header replaces the placeholder frame the encoder began the stream with.
    const std::vector<uint8_t> frame = m_codec.vbrHeaderFrame();
    if (frame.empty() || Position() < m_streamStart + frame.size()) return KY_OK;
    return WriteAt(m_streamStart, frame.data(), frame.size());
}

namespace {

std::vector<std::string> mp3List() {
    std::vector<std::string> l = {"<Auto select>", "*MPEG audio layer III"};
    for (int r : {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320})
        l.push_back("CBR " + std::to_string(r) + " kbit/s");
    for (int r : {80, 96, 112, 128, 160, 192, 224, 256})
        l.push_back("ABR " + std::to_string(r) + " kbit/s");
    l.push_back("VBR Quality 9 (lowest)");
    for (int q = 8; q >= 1; --q) l.push_back("VBR Quality " + std::to_string(q));
    l.push_back("VBR Quality 0 (highest)");
    return l;
}

kyComponentStatus lame(bool) {
    return kyComponentStatus::Versioned("libmp3lame.so.0", kyMp3Encoder::libraryVersion());
}
kyComponentStatus twolame(bool) {
    return kyComponentStatus::Versioned("libtwolame.so.0", kyMp2Encoder::libraryVersion());
}
kyComponentStatus mpg123(bool) {
    return kyComponentStatus::Versioned("libmpg123.so.0", kyMpegAudioDecoder::libraryVersion());
}

std::vector<std::string> mp2List() {
    std::vector<std::string> l = {"<Auto select>", "*MPEG audio layer II"};
    for (int r : {8, 16, 24, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384})
        l.push_back("CBR " + std::to_string(r) + " kbit/s");
    return l;
}

} // namespace

void mpeg_RegisterFormats(kyFormatCatalog& catalog) {
    static const kyFormatEntry mp2{
        "mp2",  "MPEG audio layer II", nullptr, nullptr, mp2_Writer::Create, mp2List(), 1, 2, 0,
        twolame};
    static const kyFormatEntry mp3{
        "mp3", "MPEG audio layer III", nullptr, nullptr, mp3_Writer::Create, mp3List(), 1, 2, 0,
        lame};
    // Reading: any layer under any of these names.
    static const kyFormatEntry readers[] = {
        {"mp1",
         "MPEG audio layer I",
         mpeg::Probe,
         mpeg_Reader::Create,
         nullptr,
         {},
         1,
         2,
         0,
         mpg123},
        {"mp2",
         "MPEG audio layer II",
         mpeg::Probe,
         mpeg_Reader::Create,
         nullptr,
         {},
         1,
         2,
         0,
         mpg123},
        {"mp3",
         "MPEG audio layer III",
         mpeg::Probe,
         mpeg_Reader::Create,
         nullptr,
         {},
         1,
         2,
         0,
         mpg123},
        {"mpa", "MPEG audio", mpeg::Probe, mpeg_Reader::Create, nullptr, {}, 1, 2, 0, mpg123},
    };
    catalog.RegisterFormat(&mp2);
    catalog.RegisterFormat(&mp3);
    for (const kyFormatEntry& e : readers) catalog.RegisterFormat(&e);
}
