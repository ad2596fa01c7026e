#include "formats/codecs/aac_encoder.h"
#include "platform/avcodec_library.h"
#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Highest first: the first not above the input is taken.
const uint32_t kRates[] = {96000, 88200, 48000, 44100, 32000, 24000,
                           22050, 16000, 12000, 11025, 8000,  7350};

} // namespace

kyAacConfig kyConfigureAac(bool mpeg2, uint32_t objectType, uint32_t quality, uint32_t bitRate,
                           uint32_t inputRate, uint32_t channels) {
    kyAacConfig c;
    c.mpeg2 = mpeg2;
    c.objectType = objectType == 1 ? 1 : 2;
    c.quality = quality;
    c.channels = std::max<uint32_t>(channels, 1);
    c.outputRate = kRates[std::size(kRates) - 1];
    for (uint32_t r : kRates)
        if (r <= inputRate) {
            c.outputRate = r;
            break;
        }
    uint32_t perChannel = bitRate ? bitRate / c.channels : 64;
    if (c.outputRate <= 8000)
        perChannel = std::min<uint32_t>(perChannel, 40);
    else if (c.outputRate <= 12000)
        perChannel = std::min<uint32_t>(perChannel, 64);
    else if (c.outputRate <= 16000)
        perChannel = std::min<uint32_t>(perChannel, 80);
    perChannel = std::clamp<uint32_t>(perChannel, 8, 256);
    c.bitRate = perChannel * c.channels;
    return c;
}

uint32_t kyAacChannelConfig(uint32_t channels) {
    // 1-6 channels are configurations 1-6; 7.1 (8 channels) is configuration 7.
    if (channels >= 1 && channels <= 6) return channels;
    return channels == 8 ? 7 : 0;
}

struct kyAacEncoder::State {
    const kyAvcodecLibrary* codec = nullptr;
    const kyAvutilLibrary* util = nullptr;
    AVCodecContext* context = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    uint32_t held = 0; // frames gathered in `frame`
    int64_t pts = 0;
    ~State() {
        if (packet) codec->packetFree(&packet);
        if (frame) util->frameFree(&frame);
        if (context) codec->freeContext(&context);
    }
};

kyAacEncoder::kyAacEncoder() = default;
kyAacEncoder::~kyAacEncoder() = default;

bool kyAacEncoder::available() {
    const kyAvcodecLibrary* lib = kyAvcodecLibrary::Get();
    return lib && lib->findEncoderByName("aac") != nullptr;
}

std::string kyAacEncoder::libraryVersion() {
    const kyAvcodecLibrary* lib = kyAvcodecLibrary::Get();
    if (!lib) return {};
    const unsigned v = lib->version();
    return "libavcodec " + std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xFF) + "." +
           std::to_string(v & 0xFF);
}

kyError kyAacEncoder::start(const kyAacConfig& config) {
    m_state.reset();
    m_asc.clear();
    m_config = config;
    const kyAvcodecLibrary* codec = kyAvcodecLibrary::Get();
    const kyAvutilLibrary* util = kyAvutilLibrary::Get();
    if (!codec || !util) return KYERR_MISSING_COMPONENT;
    const AVCodec* aac = codec->findEncoderByName("aac");
    if (!aac) return KYERR_MISSING_COMPONENT;
    if (kyAacChannelConfig(config.channels) == 0) return KYERR_CHANNEL_FORMAT;
    try {
        m_state = std::make_unique<State>();
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    State& s = *m_state;
    s.codec = codec;
    s.util = util;
    s.context = codec->allocContext(aac);
    s.packet = codec->packetAlloc();
    if (!s.context || !s.packet) return KYERR_OUT_OF_MEMORY;
    AVCodecContext* c = s.context;
    c->sample_rate = static_cast<int>(config.outputRate);
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    util->channelLayoutDefault(&c->ch_layout, static_cast<int>(config.channels));
    if (config.objectType == 1)
        c->profile = FF_PROFILE_AAC_MAIN;
    else
        c->profile = config.mpeg2 ? FF_PROFILE_MPEG2_AAC_LOW : FF_PROFILE_AAC_LOW;
    if (config.quality > 0) {
        c->flags |= AV_CODEC_FLAG_QSCALE;
        c->global_quality = static_cast<int>(uint64_t(config.quality) * FF_QP2LAMBDA / 100);
    } else {
        c->bit_rate = int64_t(config.bitRate) * 1000;
    }
    // MPEG-2 has no perceptual noise substitution.
    if (config.mpeg2 && c->priv_data) util->optSetInt(c->priv_data, "aac_pns", 0, 0);
    if (codec->open(c, aac, nullptr) < 0) {
        m_state.reset();
        return KYERR_DATA_FORMAT;
    }
    m_frameLength = c->frame_size > 0 ? static_cast<uint32_t>(c->frame_size) : 1024;
    m_delay = c->initial_padding > 0 ? static_cast<uint32_t>(c->initial_padding) : 0;
    if (c->extradata && c->extradata_size > 0)
        m_asc.assign(c->extradata, c->extradata + c->extradata_size);
    s.frame = util->frameAlloc();
    if (!s.frame) return KYERR_OUT_OF_MEMORY;
    s.frame->nb_samples = static_cast<int>(m_frameLength);
    s.frame->format = AV_SAMPLE_FMT_FLTP;
    s.frame->sample_rate = c->sample_rate;
    if (util->channelLayoutCopy(&s.frame->ch_layout, &c->ch_layout) < 0 ||
        util->frameGetBuffer(s.frame, 0) < 0)
        return KYERR_OUT_OF_MEMORY;
    return KY_OK;
}

kyError kyAacEncoder::drain(const PacketFn& fn) {
    State& s = *m_state;
    for (;;) {
        const int r = s.codec->receivePacket(s.context, s.packet);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return KY_OK;
        if (r < 0) return KYERR_UNKNOWN;
        kyError e = fn(s.packet->data, static_cast<size_t>(s.packet->size));
        s.codec->packetUnref(s.packet);
        if (kyFailed(e)) return e;
    }
}

kyError kyAacEncoder::sendHeld(const PacketFn& fn) {
    State& s = *m_state;
    if (s.held == 0) return KY_OK;
    s.frame->nb_samples = static_cast<int>(s.held);
    s.frame->pts = s.pts;
    s.pts += s.held;
    const int r = s.codec->sendFrame(s.context, s.frame);
    s.held = 0;
    if (r < 0) return KYERR_UNKNOWN;
    return drain(fn);
}

kyError kyAacEncoder::encode(const float* const* planes, uint32_t first, uint32_t frames,
                             const PacketFn& fn) {
    if (!m_state || !m_state->frame) return KYERR_SEQUENCE;
    State& s = *m_state;
    for (uint32_t done = 0; done < frames;) {
        if (s.held == 0 && s.util->frameMakeWritable(s.frame) < 0) return KYERR_OUT_OF_MEMORY;
        s.frame->nb_samples = static_cast<int>(m_frameLength);
        const uint32_t n = std::min(m_frameLength - s.held, frames - done);
        for (uint32_t c = 0; c < m_config.channels; ++c)
            std::memcpy(reinterpret_cast<float*>(s.frame->extended_data[c]) + s.held,
                        planes[c] + first + done, n * sizeof(float));
        s.held += n;
        done += n;
        if (s.held == m_frameLength) {
            kyError e = sendHeld(fn);
            if (kyFailed(e)) return e;
        }
    }
    return KY_OK;
}

kyError kyAacEncoder::flush(const PacketFn& fn) {
    if (!m_state || !m_state->frame) return KYERR_SEQUENCE;
    State& s = *m_state;
    // The last, partial frame goes in as it is; the encoder pads it.
    kyError e = sendHeld(fn);
    if (kyFailed(e)) return e;
    if (s.codec->sendFrame(s.context, nullptr) < 0) return KYERR_UNKNOWN;
    return drain(fn);
}
