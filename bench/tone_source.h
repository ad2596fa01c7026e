#pragma once
// What the writer benchmarks share: a source of stereo float blocks of a tone, a clock,
// best-of-N timing and the report line.
#include "core/filter.h"
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

namespace bench {

constexpr uint32_t kRate = 44100;

// Stereo float blocks of a tone, up to a fixed length.
class ToneSource : public kySourceFilter2 {
public:
    ToneSource(uint32_t frames, uint32_t block) : kySourceFilter2("Tone") {
        m_format.lengthFrames = frames;
        m_format.channels = 2;
        m_format.sampleRate = kRate;
        m_format.blockFrames = block;
        for (auto& p : m_planes) p.resize(block);
        for (uint32_t i = 0; i < block; ++i) {
            m_planes[0][i] = 0.5f * static_cast<float>(std::sin(i * 0.0627));
            m_planes[1][i] = 0.5f * static_cast<float>(std::sin(i * 0.0419));
        }
        m_ptrs[0] = m_planes[0].data();
        m_ptrs[1] = m_planes[1].data();
    }
    kyError Prepare() override {
        m_left = m_format.lengthFrames;
        return KY_OK;
    }
    kyError Process() override {
        uint32_t n = std::min(m_left, m_format.blockFrames);
        m_left -= n;
        kyError err = m_downstream->Write(m_ptrs, n);
        if (kyFailed(err)) return err;
        return m_left ? KY_OK : m_downstream->EndOfStream();
    }

private:
    std::vector<float> m_planes[2];
    float* m_ptrs[3] = {nullptr, nullptr, nullptr};
    uint32_t m_left = 0;
};

// Processor time of the calling thread: on a shared machine, time spent waiting for a
// core is not the code's cost.
inline double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

inline double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Best wall time of `runs` calls of `once` (which returns its own elapsed seconds).
template <typename F> double best(int runs, F once) {
    double b = 1e30;
    for (int i = 0; i < runs; ++i) b = std::min(b, once());
    return b;
}

inline void report(const char* what, double seconds, double audioSeconds) {
    std::printf("%-58s %8.2f s  %7.1f x realtime\n", what, seconds, audioSeconds / seconds);
    std::fflush(stdout);
}

} // namespace bench
