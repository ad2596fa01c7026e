#include "filters/channel_broker_filter.h"
#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

constexpr uint32_t kFrontCentre = 0x4;
constexpr uint32_t kLfe = 0x8;
constexpr uint32_t kBackPair = 0x30;
constexpr uint32_t kBackCentre = 0x100;

// Working buffers never grow with whatever block size upstream announces; longer blocks
// are handled in slices of this many frames.
constexpr uint32_t kMaxSlice = 65536;
constexpr uint32_t kDefaultSlice = 4096;

uint32_t sourceMask(const kyAudioFormat& format) {
    return format.channelMask ? format.channelMask : kyDefaultChannelMask(format.channels);
}

} // namespace

kyChannelBrokerFilter::kyChannelBrokerFilter(uint32_t targetChannels)
    : kyMorphFilter("Channel broker morph"), m_targetChannels(targetChannels) {}

kyError kyChannelBrokerFilter::buildMap(const kyAudioFormat& upstream) {
    const uint32_t t = m_targetChannels;
    const uint32_t s = upstream.channels;
    const uint32_t mask = sourceMask(upstream);
    m_mode = Mode::None;
    m_sourceChannels = s;
    if (t == 0 || s == 0) return KYERR_CHANNEL_FORMAT;
    try {
        m_map.assign(t, Route{});
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    } catch (const std::length_error&) {
        return KYERR_OUT_OF_MEMORY;
    }

    // Asked for the layout it already has: every channel stays where it is. (The speaker
    // rules below would otherwise silence channel 2 of, say, a quad stream.)
    if (t == s) {
        for (uint32_t i = 0; i < t; ++i) m_map[i] = Route{static_cast<int32_t>(i), -1};
        m_mode = Mode::Identity;
        return KY_OK;
    }

    auto unassigned = [&](uint32_t i) { return m_map[i].first == -2; };
    // Only the first of these four applies.
    if (t == 1 && s >= 2 && unassigned(0)) {
        m_map[0] = Route{0, 1}; // mono: the mean of the first two channels
    } else if (t == 2 && s == 1 && m_map[0].first < 0 && unassigned(1)) {
        m_map[0] = m_map[1] = Route{0, -1}; // stereo from mono: both read the one channel
    } else if (t > 2 && !(mask & kFrontCentre) && unassigned(2)) {
        m_map[2] = Route{-1, -1}; // a front centre the source lacks stays silent
    } else if (t >= 6 && !(mask & kLfe) && unassigned(3)) {
        m_map[3] = Route{-1, -1}; // so does a missing LFE
    }

    if (t == 7 && s == 8 && (mask & kBackPair) == kBackPair && !(mask & kBackCentre)) {
        m_map[6] = Route{6, 7}; // back centre from the back pair
    } else if (t == 8 && s == 7 && (mask & kBackCentre) && !(mask & kBackPair)) {
        m_map[6] = m_map[7] = Route{6, -1}; // back pair from the back centre
    }

    for (uint32_t i = 0; i < t; ++i) {
        Route& r = m_map[i];
        if (r.first == -2) {
            if (s == 1 && i <= 1)
                r = Route{0, -1};
            else if (i < s)
                r = Route{static_cast<int32_t>(i), -1};
            else
                r = Route{-1, -1};
        }
        if (r.first >= static_cast<int32_t>(s)) r.first = -1;
        if (r.second >= static_cast<int32_t>(s)) r.second = -1;
        if (r.first < 0 && r.second >= 0) std::swap(r.first, r.second);
    }

    bool identity = t == s;
    bool mixing = false;
    for (uint32_t i = 0; i < t; ++i) {
        const Route& r = m_map[i];
        if (r.first != static_cast<int32_t>(i) || r.second >= 0) identity = false;
        if (r.first >= 0 && r.second >= 0) mixing = true;
    }
    m_mode = identity ? Mode::Identity : mixing ? Mode::Mixing : Mode::Routing;
    return KY_OK;
}

// The speaker mask of the target layout: T speaker bits that follow the channel map. A
// missing front centre (T > 2) and LFE (T >= 6) are added, the back centre and the back
// pair trade places in the 7/8-channel cases, and the mask is then cut down to its T
// lowest speakers or filled up with the lowest free ones.
uint32_t kyChannelBrokerFilter::computeTargetMask(const kyAudioFormat& upstream) const {
    const uint32_t t = m_targetChannels;
    const uint32_t s = upstream.channels;
    const uint32_t source = sourceMask(upstream);
    if (t == 1) return s != 1 ? kFrontCentre : source;
    if (t == 2 && s == 1) return 0x3;

    uint32_t mask = source;
    if (t != s) {
        if (t > 2 && !(source & kFrontCentre)) mask |= kFrontCentre;
        if (t >= 6 && !(source & kLfe)) mask |= kLfe;
        if (t == 7 && s == 8 && (source & kBackPair) == kBackPair && !(source & kBackCentre))
            mask = (mask & ~kBackPair) | kBackCentre;
        else if (t == 8 && s == 7 && (source & kBackCentre) && !(source & kBackPair))
            mask = (mask & ~kBackCentre) | kBackPair;
    }
    while (static_cast<uint32_t>(std::popcount(mask)) > t) mask &= ~std::bit_floor(mask);
    for (uint32_t bit = 1; bit != 0 && static_cast<uint32_t>(std::popcount(mask)) < t; bit <<= 1)
        mask |= bit;
    return mask;
}

kyError kyChannelBrokerFilter::GetFormat(kyAudioFormat& format) {
    kyError e = kyMorphFilter::GetFormat(format);
    if (kyFailed(e)) return e;
    if (m_upstream) {
        if (m_targetMask == 0) m_targetMask = computeTargetMask(format);
        format.channelMask = m_targetMask;
    } else {
        format.channelMask = computeTargetMask(format);
    }
    format.channels = m_targetChannels;
    return e;
}

kyError kyChannelBrokerFilter::Prepare() {
    m_mix.free();
    m_routing.clear();
    m_silence.clear();
    m_interleaved = false;
    m_mode = Mode::None;
    if (!m_upstream) return KYERR_SEQUENCE;

    kyAudioFormat upstream;
    kyError e = m_upstream->GetFormat(upstream);
    if (kyFailed(e)) return e;
    e = buildMap(upstream);
    if (kyFailed(e)) return e;

    m_capacity = upstream.blockFrames ? std::min(upstream.blockFrames, kMaxSlice) : kDefaultSlice;
    bool anySilent = false;
    for (const Route& r : m_map) anySilent |= r.first < 0;
    try {
        if (m_mode == Mode::Routing) {
            m_routing.assign(m_targetChannels + size_t(1), nullptr);
            if (anySilent) m_silence.assign(m_capacity, 0.0f);
        } else if (m_mode == Mode::Mixing) {
            e = m_mix.allocate(m_targetChannels, m_capacity);
            if (kyFailed(e)) return e;
        }
    } catch (const std::bad_alloc&) {
        m_mode = Mode::None;
        return KYERR_OUT_OF_MEMORY;
    }
    return m_upstream->Prepare();
}

const char* kyChannelBrokerFilter::GetInterleavedFormat(uint32_t channels) {
    m_interleaved = false;
    if (!m_upstream || channels != m_targetChannels) return nullptr;
    kyAudioFormat upstream;
    if (kyFailed(m_upstream->GetFormat(upstream)) || upstream.channels != m_targetChannels)
        return nullptr;
    if (kyFailed(buildMap(upstream)) || m_mode != Mode::Identity) return nullptr;
    const char* id = m_upstream->GetInterleavedFormat(channels);
    m_interleaved = id != nullptr;
    return id;
}

kyError kyChannelBrokerFilter::RunInterleaved() {
    if (!m_upstream) return KYERR_SEQUENCE;
    // Interleaved bytes can only pass when no channel moves.
    if (m_mode != Mode::Identity) return KYERR_SEQUENCE;
    return m_upstream->RunInterleaved();
}

kyError kyChannelBrokerFilter::WriteInterleaved(const void* bytes, uint32_t byteCount,
                                                uint32_t frames) {
    if (m_mode != Mode::Identity || !m_downstream) return 1;
    return m_downstream->WriteInterleaved(bytes, byteCount, frames);
}

kyError kyChannelBrokerFilter::Write(float** planes, uint32_t frames) {
    if (m_mode == Mode::Identity) return kyMorphFilter::Write(planes, frames);
    if (m_mode == Mode::None) return KYERR_SEQUENCE;
    if (kyPlaneCount(planes) < m_sourceChannels) return KYERR_CHANNEL_FORMAT;

    const uint32_t t = m_targetChannels;
    if (m_mode == Mode::Routing) {
        // Outputs point straight into the input planes; only a silent output needs a
        // buffer, and that one bounds the slice.
        const uint32_t slice = m_silence.empty() ? std::max(frames, 1u) : m_capacity;
        uint32_t done = 0;
        do {
            const uint32_t n = std::min(slice, frames - done);
            for (uint32_t i = 0; i < t; ++i) {
                const int32_t src = m_map[i].first;
                m_routing[i] = src >= 0 ? planes[src] + done : m_silence.data();
            }
            kyError e = kyMorphFilter::Write(m_routing.data(), n);
            if (kyFailed(e)) return e;
            done += n;
        } while (done < frames);
        return KY_OK;
    }

    uint32_t done = 0;
    do {
        const uint32_t n = std::min(m_capacity, frames - done);
        for (uint32_t i = 0; i < t; ++i) {
            float* out = m_mix.plane(i);
            const Route& r = m_map[i];
            if (r.first < 0) {
                std::memset(out, 0, sizeof(float) * n);
            } else if (r.second < 0) {
                std::memcpy(out, planes[r.first] + done, sizeof(float) * n);
            } else {
                const float* a = planes[r.first] + done;
                const float* b = planes[r.second] + done;
                for (uint32_t k = 0; k < n; ++k) out[k] = (a[k] + b[k]) * 0.5f;
            }
        }
        kyError e = kyMorphFilter::Write(m_mix.planes(), n);
        if (kyFailed(e)) return e;
        done += n;
    } while (done < frames);
    return KY_OK;
}
