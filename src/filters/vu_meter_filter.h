#pragma once
// kyVUMeterFilter passes audio through unchanged and measures, for every slice of at most
// 125 ms, each channel's peak absolute sample, reporting the peaks through Levels().
//
// kygfVUMeterFilter ("VU meter morph") turns the peaks into meter positions between 0 and
// 1 on a -76..0 dB scale, with instant rise and a timed fall. It runs on the playback
// thread; the positions are atomics that a meter widget reads when its window repaints.
// The filter itself never draws.
#include "core/filter.h"
#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

class kyVUMeterFilter : public kyMorphFilter {
public:
    // With `measureFirst` a slice is measured before it is written downstream.
    explicit kyVUMeterFilter(bool measureFirst, const char* name = "VU meter");

    kyError Prepare() override;
    kyError Write(float** planes, uint32_t frames) override;

    // The most frames one slice holds: an eighth of a second, never more than a block,
    // never less than one frame.
    uint32_t SliceLimit() const { return m_sliceLimit; }
    // Frames written downstream since the last Prepare.
    uint64_t FramesDelivered() const { return m_delivered; }

protected:
    // Called once per slice with each channel's peak and the slice's length in seconds.
    virtual void Levels(const float* peaks, uint32_t channels, float seconds) {}

    kyAudioFormat m_format{0, 0, 0, 44100, 0};

private:
    kyError forward(float** planes, uint32_t offset, uint32_t frames);

    bool m_measureFirst;
    uint32_t m_sliceLimit = 1;
    uint64_t m_delivered = 0;
    std::vector<float> m_peaks;
    std::vector<float*> m_pointers;
};

class kygfVUMeterFilter : public kyVUMeterFilter {
public:
    // Channels beyond this are measured but not shown.
    static constexpr uint32_t kMaxChannels = 32;

    explicit kygfVUMeterFilter(bool linear = false, float fallRate = 1.0f);

    kyError Prepare() override;
    kyError EndOfStream() override;

    // Channels of the stream prepared last (at most kMaxChannels).
    uint32_t Channels() const { return m_channels.load(std::memory_order_relaxed); }
    // The displayed position of `channel`, 0 to 1 (0 beyond the channel count).
    float Position(uint32_t channel) const;
    // All positions 0.
    void Clear();
    // While held, new levels leave the positions as they are.
    void SetHold(bool hold) { m_hold.store(hold, std::memory_order_relaxed); }
    bool Hold() const { return m_hold.load(std::memory_order_relaxed); }
    // Grows whenever the positions change: a window repaints when it moved.
    uint32_t Generation() const { return m_generation.load(std::memory_order_relaxed); }

protected:
    void Levels(const float* peaks, uint32_t channels, float seconds) override;

private:
    bool m_linear;
    float m_fallRate;
    std::atomic<uint32_t> m_channels{0};
    std::atomic<bool> m_hold{false};
    std::atomic<uint32_t> m_generation{0};
    std::array<std::atomic<float>, kMaxChannels> m_positions{};
};
