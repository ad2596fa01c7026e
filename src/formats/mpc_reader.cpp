#include "formats/mpc_reader.h"
#include "core/text.h"
#include "formats/codecs/musepack.h"
#include "formats/format_catalog.h"
#include "formats/tags/file_tags.h"
#include "platform/file_io.h"
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace {
// The library's offsets are 32-bit.
constexpr uint64_t kMaxStream = 0x7FFFFFFF;
} // namespace

mpc_Reader::mpc_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option)
    : kyReaderFilter(fd, fileName, entry, option) {
    m_reader.read = readBytes;
    m_reader.seek = seekTo;
    m_reader.tell = tell;
    m_reader.get_size = getSize;
    m_reader.canseek = canSeek;
    m_reader.data = this;
    m_openResult = open();
}

mpc_Reader::~mpc_Reader() {
    closeDemux();
}

int mpc_Reader::Probe(const uint8_t* head, size_t size) {
    if (size >= 4 && std::memcmp(head, "MPCK", 4) == 0) return KY_PROBE_CERTAIN;
    if (size >= 4 && std::memcmp(head, "MP+", 3) == 0 && (head[3] & 0x0F) == 7)
        return KY_PROBE_CERTAIN;
    return KY_PROBE_NO;
}

kyReaderFilter* mpc_Reader::Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                   int32_t option) {
    return new (std::nothrow) mpc_Reader(fd, fileName, entry, option);
}

void mpc_Reader::closeDemux() {
    if (m_demux) m_lib->demuxExit(m_demux);
    m_demux = nullptr;
}

kyError mpc_Reader::checkHeader() {
    uint8_t head[64] = {};
    const long long n = kyReadUpTo(m_fd, m_audioStart, head,
                                   std::min<uint64_t>(sizeof head, m_audioEnd - m_audioStart));
    if (n < 0) return KYERR_READ_FILE;
    if (n >= 4 && std::memcmp(head, "MP+", 3) == 0 && (head[3] & 0x0F) == 7) return KY_OK;
    kyMpcPacket sh;
    kyMpcStreamHeader h;
    if (n < 4 || std::memcmp(head, "MPCK", 4) != 0 ||
        !kyMpcReadPacket(head + 4, size_t(n) - 4, sh) || std::memcmp(sh.key, "SH", 2) != 0 ||
        sh.size > size_t(n) - 4 ||
        !kyMpcParseStreamHeader(head + 4 + sh.headerBytes, sh.size - sh.headerBytes, h)) {
        kySetErrorReason(KYERR_CORRUPT, "the Musepack stream header is damaged");
        return KYERR_CORRUPT;
    }
    return KY_OK;
}

kyError mpc_Reader::openDemux() {
    closeDemux();
    m_pos = 0;
    m_frameCount = m_framePos = 0;
    m_ended = false;
    m_demux = m_lib->demuxInit(&m_reader);
    if (!m_demux) {
        kySetErrorReason(KYERR_CORRUPT, "libmpcdec does not read the stream");
        return KYERR_CORRUPT;
    }
    return KY_OK;
}

kyError mpc_Reader::open() {
    if (m_fd < 0) return KYERR_OPEN_FILE;
    kyTagLayout layout;
    kyError err = kyReadFileTags(m_fd, m_fileSize, m_properties, layout);
    if (kyFailed(err)) return err;
    m_audioStart = layout.audioStart;
    m_audioEnd = layout.audioEnd ? layout.audioEnd : m_fileSize;
    if (m_audioEnd <= m_audioStart) return KYERR_NO_AUDIO;
    if (m_audioEnd - m_audioStart > kMaxStream) return KYERR_DATA_FORMAT;
    err = checkHeader();
    if (kyFailed(err)) return err;
    m_lib = kyMpcDecoderLibrary::Get();
    if (!m_lib) {
        kySetErrorReason(KYERR_MISSING_COMPONENT, kyMpcDecoderLibrary::Missing());
        return KYERR_MISSING_COMPONENT;
    }
    err = openDemux();
    if (kyFailed(err)) return err;
    mpc_streaminfo si{};
    m_lib->getInfo(m_demux, &si);
    if (si.channels < 1 || si.channels > 2 || si.sample_freq == 0 || si.samples < si.beg_silence)
        return KYERR_CORRUPT;
    m_properties.setUtf8(2, "Musepack");
    // ReplayGain from the stream header where no tag gave it (a level of 64.82 dB is
    // 0 dB of gain; peaks in 16-bit units, 20 x 256 to the decade).
    if (!m_properties.getUtf8(KYPROP_TRACK_GAIN) && si.gain_title)
        m_properties.setUtf8(KYPROP_TRACK_GAIN,
                             kyFormatFixed(64.82 - si.gain_title / 256.0, 2) + " dB");
    if (!m_properties.getUtf8(KYPROP_ALBUM_GAIN) && si.gain_album)
        m_properties.setUtf8(KYPROP_ALBUM_GAIN,
                             kyFormatFixed(64.82 - si.gain_album / 256.0, 2) + " dB");
    if (!m_properties.getUtf8(KYPROP_PEAK) && si.peak_title)
        m_properties.setUtf8(KYPROP_PEAK,
                             kyFormatFixed(std::pow(10.0, si.peak_title / 5120.0) / 32768, 6));
    m_format.channels = si.channels;
    m_format.sampleRate = si.sample_freq;
    m_format.channelMask = 0;
    m_format.lengthFrames = static_cast<uint32_t>(
        std::min<uint64_t>(si.samples - si.beg_silence, uint64_t(KY_NO_LENGTH) - 1));
    m_format.blockFrames = 4096;
    m_bits = 32;
    LimitBlockFrames();
    try {
        m_frame.resize(MPC_DECODER_BUFFER_LENGTH);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    return KY_OK;
}

kyError mpc_Reader::PrepareDecoder() {
    // A fresh demuxer for every run, decoding from the start: the frames before the seek
    // point are dropped. (The library's own seek can loop for ever on a damaged stream.)
    m_skip = m_startFrame;
    return openDemux();
}

kyError mpc_Reader::DecodeFrames(float** planes, uint32_t frames, uint32_t& got) {
    got = 0;
    const uint32_t channels = m_format.channels;
    while (got < frames) {
        if (m_framePos >= m_frameCount) {
            if (m_ended || !m_demux) break;
            mpc_frame_info info{};
            info.buffer = m_frame.data();
            if (m_lib->decode(m_demux, &info) != MPC_STATUS_OK) return KYERR_CORRUPT;
            if (info.bits == -1) {
                m_ended = true;
                break;
            }
            m_frameCount = std::min<uint32_t>(info.samples, MPC_FRAME_LENGTH);
            m_framePos = 0;
            continue;
        }
        if (m_skip) {
            const uint32_t s = std::min(m_frameCount - m_framePos, m_skip);
            m_framePos += s;
            m_skip -= s;
            continue;
        }
        const uint32_t n = std::min(m_frameCount - m_framePos, frames - got);
        for (uint32_t c = 0; c < channels; ++c) {
            const MPC_SAMPLE_FORMAT* s = m_frame.data() + size_t(m_framePos) * channels + c;
            float* d = planes[c] + got;
            for (uint32_t i = 0; i < n; ++i) d[i] = s[size_t(i) * channels];
        }
        m_framePos += n;
        got += n;
    }
    return KY_OK;
}

mpc_int32_t mpc_Reader::readBytes(mpc_reader* r, void* data, mpc_int32_t size) {
    auto* self = static_cast<mpc_Reader*>(r->data);
    if (size <= 0) return 0;
    const uint64_t length = self->m_audioEnd - self->m_audioStart;
    const uint64_t left = length > self->m_pos ? length - self->m_pos : 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(uint64_t(size), left));
    if (want == 0) return 0;
    const long long n = kyReadUpTo(self->m_fd, self->m_audioStart + self->m_pos, data, want);
    if (n <= 0) return 0;
    self->m_pos += static_cast<uint64_t>(n);
    return static_cast<mpc_int32_t>(n);
}

mpc_bool_t mpc_Reader::seekTo(mpc_reader* r, mpc_int32_t offset) {
    auto* self = static_cast<mpc_Reader*>(r->data);
    if (offset < 0 || uint64_t(offset) > self->m_audioEnd - self->m_audioStart) return MPC_FALSE;
    self->m_pos = static_cast<uint64_t>(offset);
    return MPC_TRUE;
}

mpc_int32_t mpc_Reader::tell(mpc_reader* r) {
    return static_cast<mpc_int32_t>(static_cast<mpc_Reader*>(r->data)->m_pos);
}

mpc_int32_t mpc_Reader::getSize(mpc_reader* r) {
    auto* self = static_cast<mpc_Reader*>(r->data);
    return static_cast<mpc_int32_t>(self->m_audioEnd - self->m_audioStart);
}

mpc_bool_t mpc_Reader::canSeek(mpc_reader*) {
    return MPC_TRUE;
}
