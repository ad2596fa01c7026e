#include "formats/mpc_writer.h"
#include "filters/resampling_filter.h"
#include "formats/codecs/musepack.h"
#include "formats/format_catalog.h"
#include "formats/mpc_reader.h"
#include "formats/tags/ape_tag.h"
#include "formats/tags/replay_gain.h"
#include <algorithm>
#include <cstring>
#include <new>

namespace {
// The subformats in order of quality (0 to 10).
constexpr uint32_t kRates[] = {20, 30, 60, 90, 130, 180, 210, 240, 270, 300, 350};

std::vector<std::string> mpcList() {
    std::vector<std::string> list = {"<Auto select>"};
    for (uint32_t kbps : kRates) list.push_back("~" + std::to_string(kbps) + " kbit/s");
    return list;
}
} // namespace

bool kyMpcSubformat(const char* name, uint32_t& kbps, uint32_t& quality) {
    if (!name) return false;
    for (uint32_t i = 0; i < std::size(kRates); ++i)
        if ("~" + std::to_string(kRates[i]) + " kbit/s" == name) {
            kbps = kRates[i];
            quality = i;
            return true;
        }
    return false;
}

mpc_Writer::mpc_Writer(int fd, const char* fileName, const char* subformat,
                       const kyFormatEntry* entry)
    : kyCodecWriter(fd, fileName, subformat, entry) {}

kyWriterFilter* mpc_Writer::Create(int fd, const char* fileName, const char* subformat,
                                   const kyFormatEntry* entry) {
    return new (std::nothrow) mpc_Writer(fd, fileName, subformat, entry);
}

kyError mpc_Writer::Run() {
    // Automatic selection has nothing to match a PCM source with: the middle of the list.
    kyError err = NegotiateFormat("~180 kbit/s");
    if (kyFailed(err)) return err;
    if (!kyMpcSubformat(Subformat(), m_kbps, m_quality)) return KYERR_DATA_FORMAT;
    // The format has four sample rates: anything else goes to the nearest one above (or
    // the highest).
    uint32_t rate = 48000;
    for (uint32_t r : {32000u, 37800u, 44100u, 48000u})
        if (r >= m_stream.sampleRate) {
            rate = r;
            break;
        }
    if (rate != m_stream.sampleRate) {
        auto* r = new (std::nothrow) kyResamplingFilter(rate, KYRESAMPLE_FIR_NORMAL);
        if (!r) return KYERR_OUT_OF_MEMORY;
        InsertInFront(r);
        m_haveStream = false;
        err = FetchStreamFormat();
        if (kySucceeded(err) && m_stream.sampleRate != rate) err = KYERR_UNKNOWN;
    }
    m_passthrough = false;
    if (kySucceeded(err)) err = RunEncoded();
    ReleaseInserted();
    err = FinishFile(err);
    if (kySucceeded(err)) {
        kyPropertyTable props = TagProperties();
        err = WriteApeTag(fd(), props);
    }
    return kyFailed(err) ? err : KY_OK;
}

kyError mpc_Writer::drain() {
    std::vector<uint8_t>& out = m_encoder.output();
    if (out.empty()) return KY_OK;
    kyError err = WriteBytes(out.data(), out.size());
    m_encoder.clearOutput();
    return err;
}

kyError mpc_Writer::EncoderStart() {
    kyPropertyTable props = TagProperties();
    kyMpcGain gain;
    if (auto v = kyReplayGainNumber(props.getUtf8(KYPROP_TRACK_GAIN))) {
        gain.haveTrackGain = true;
        gain.trackGainDb = *v;
    }
    if (auto v = kyReplayGainNumber(props.getUtf8(KYPROP_ALBUM_GAIN))) {
        gain.haveAlbumGain = true;
        gain.albumGainDb = *v;
    }
    if (auto v = kyReplayGainNumber(props.getUtf8(KYPROP_PEAK))) {
        gain.haveTrackPeak = true;
        gain.trackPeak = *v;
    }
    m_start = Position();
    const uint64_t announced = m_stream.lengthFrames == KY_NO_LENGTH ? 0 : m_stream.lengthFrames;
    kyError err =
        m_encoder.start(m_stream.sampleRate, m_stream.channels, m_kbps, m_quality, gain, announced);
    if (kyFailed(err)) return err;
    return drain();
}

kyError mpc_Writer::Encode(const uint8_t*& out, uint32_t& outBytes, float** planes,
                           uint32_t& consumed, uint32_t& remaining) {
    out = nullptr;
    outBytes = 0;
    m_encoder.encode(planes, consumed, remaining);
    consumed += remaining;
    remaining = 0;
    return drain();
}

kyError mpc_Writer::EncoderFlush() {
    m_encoder.finish();
    kyError err = drain();
    if (kyFailed(err)) return err;
    // The real length, and where the seek table went.
    const std::vector<uint8_t> head = m_encoder.header();
    return WriteAt(m_start, head.data(), head.size());
}

void mpc_RegisterFormats(kyFormatCatalog& catalog) {
    static const kyFormatEntry mpc{
        .extension = "mpc",
        .displayName = "Musepack audio compression",
        .probe = mpc_Reader::Probe,
        .reader = mpc_Reader::Create,
        .writer = mpc_Writer::Create,
        .subformats = mpcList(),
        .minChannels = 1,
        .maxChannels = 2,
        .component =
            [](bool writing) {
                // Written by our own encoder; read through libmpcdec.
                return writing ? kyComponentStatus{}
                               : kyComponentStatus{KY_MPCDEC_LIBRARY, "",
                                                   kyMpcDecoderLibrary::Missing()};
            },
    };
    catalog.RegisterFormat(&mpc);
}
