#include "formats/codecs/vorbis_file_decoder.h"
#include "formats/tags/vorbis_comment.h"
#include "platform/file_io.h"
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

kyVorbisFileDecoder::~kyVorbisFileDecoder() {
    close();
}

void kyVorbisFileDecoder::close() {
    if (m_open) m_lib->clear(&m_file);
    m_open = false;
}

kyError kyVorbisFileDecoder::open(int fd, uint64_t start, uint64_t end) {
    close();
    m_lib = kyVorbisDecoderLibrary::Get();
    if (!m_lib) {
        kySetErrorReason(KYERR_MISSING_COMPONENT, kyVorbisDecoderLibrary::Missing());
        return KYERR_MISSING_COMPONENT;
    }
    if (fd < 0 || end < start) return KYERR_INVALID_PARAMETER;
    m_fd = fd;
    m_start = start;
    m_end = end;
    m_pos = 0;
    ov_callbacks callbacks{readCallback, seekCallback, nullptr, tellCallback};
    const int r = m_lib->openCallbacks(this, &m_file, nullptr, 0, callbacks);
    if (r != 0) {
        // A failed open has cleaned up after itself.
        return r == OV_ENOTVORBIS ? KYERR_COMPRESSION
               : r == OV_EREAD    ? KYERR_READ_FILE
                                  : KYERR_CORRUPT;
    }
    m_open = true;
    const vorbis_info* info = m_lib->info(&m_file, -1);
    if (!info || info->channels <= 0 || info->rate <= 0) return KYERR_CORRUPT;
    m_channels = static_cast<uint32_t>(info->channels);
    m_rate = static_cast<uint32_t>(info->rate);
    m_nominal = info->bitrate_nominal;
    const ogg_int64_t total = m_lib->pcmTotal(&m_file, -1);
    m_length = total > 0 ? static_cast<uint64_t>(total) : 0;
    return KY_OK;
}

void kyVorbisFileDecoder::readComments(kyPropertyTable& props) {
    if (!m_open) return;
    const vorbis_comment* vc = m_lib->comment(&m_file, 0);
    if (!vc || vc->comments <= 0 || !vc->user_comments) return;
    for (int i = 0; i < vc->comments; ++i) {
        const char* text = vc->user_comments[i];
        if (!text) continue;
        const int length = vc->comment_lengths ? vc->comment_lengths[i] : 0;
        kyApplyVorbisComment(std::string_view(text, static_cast<size_t>(std::max(0, length))),
                             props);
    }
}

kyError kyVorbisFileDecoder::seek(uint64_t frame) {
    if (!m_open) return KYERR_SEQUENCE;
    if (frame > static_cast<uint64_t>(std::numeric_limits<ogg_int64_t>::max()))
        return KYERR_CORRUPT;
    return m_lib->pcmSeek(&m_file, static_cast<ogg_int64_t>(frame)) == 0 ? KY_OK : KYERR_CORRUPT;
}

kyError kyVorbisFileDecoder::read(float* const* planes, uint32_t first, uint32_t frames,
                                  uint32_t& got) {
    got = 0;
    if (!m_open) return KYERR_SEQUENCE;
    while (got < frames) {
        float** pcm = nullptr;
        int link = 0;
        const uint32_t want = std::min<uint32_t>(frames - got, 1u << 20);
        const long n = m_lib->readFloat(&m_file, &pcm, static_cast<int>(want), &link);
        if (n == 0) break;
        if (n < 0) return n == OV_EREAD ? KYERR_READ_FILE : KYERR_CORRUPT;
        const vorbis_info* info = m_lib->info(&m_file, link);
        if (!info || info->channels != static_cast<int>(m_channels) ||
            info->rate != static_cast<long>(m_rate) || n > static_cast<long>(want))
            return KYERR_CORRUPT;
        for (uint32_t c = 0; c < m_channels; ++c)
            std::memcpy(planes[c] + first + got, pcm[c], static_cast<size_t>(n) * sizeof(float));
        got += static_cast<uint32_t>(n);
    }
    return KY_OK;
}

size_t kyVorbisFileDecoder::readCallback(void* data, size_t size, size_t count, void* p) {
    auto* self = static_cast<kyVorbisFileDecoder*>(p);
    const uint64_t span = self->m_end - self->m_start;
    if (size == 0 || self->m_pos >= span) return 0;
    const uint64_t want = std::min<uint64_t>(uint64_t(size) * count, span - self->m_pos);
    const long long n =
        kyReadUpTo(self->m_fd, self->m_start + self->m_pos, data, static_cast<size_t>(want));
    if (n < 0) {
        errno = EIO;
        return 0;
    }
    self->m_pos += static_cast<uint64_t>(n);
    return static_cast<size_t>(n) / size;
}

int kyVorbisFileDecoder::seekCallback(void* p, ogg_int64_t offset, int whence) {
    auto* self = static_cast<kyVorbisFileDecoder*>(p);
    const int64_t span = static_cast<int64_t>(self->m_end - self->m_start);
    int64_t base = 0;
    if (whence == SEEK_CUR)
        base = static_cast<int64_t>(self->m_pos);
    else if (whence == SEEK_END)
        base = span;
    else if (whence != SEEK_SET)
        return -1;
    const int64_t target = base + offset;
    if (target < 0 || target > span) return -1;
    self->m_pos = static_cast<uint64_t>(target);
    return 0;
}

long kyVorbisFileDecoder::tellCallback(void* p) {
    return static_cast<long>(static_cast<kyVorbisFileDecoder*>(p)->m_pos);
}
