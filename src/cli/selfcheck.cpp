// A quick check that the core converts samples exactly and runs a chain.
#include "core/data_format.h"
#include "core/filter.h"
#include "core/sample_block.h"
#include <cmath>
#include <cstdio>
#include <vector>

namespace {
class ToneSource : public kySourceFilter2 {
public:
    explicit ToneSource(uint32_t frames) : kySourceFilter2("Tone source") {
        m_format.lengthFrames = frames;
        m_format.channels = 2;
        m_format.blockFrames = 588;
    }
    kyError Prepare() override {
        m_pos = 0;
        return m_block.allocate(2, m_format.blockFrames);
    }
    kyError Process() override {
        const uint32_t n = std::min(m_format.blockFrames, m_format.lengthFrames - m_pos);
        if (n == 0) return m_downstream->EndOfStream();
        for (uint32_t i = 0; i < n; ++i) {
            const float v = 0.5f * std::sin(2 * 3.14159265f * 440.0f * float(m_pos + i) / 44100.0f);
            m_block.plane(0)[i] = v;
            m_block.plane(1)[i] = -v;
        }
        m_pos += n;
        return m_downstream->Write(m_block.planes(), n);
    }

private:
    kyPlaneBuffer m_block;
    uint32_t m_pos = 0;
};

class CountingSink : public kySinkFilter2 {
public:
    CountingSink() : kySinkFilter2("Counting sink") {}
    kyError Write(float** planes, uint32_t frames) override {
        std::vector<int16_t> raw(size_t(frames) * 2);
        kyError e = PlanarToInterleaved(raw.data(), planes, nullptr, 2, 0, frames, "PCM 16-bit",
                                        false, false);
        if (kyFailed(e)) return e;
        for (int16_t s : raw) peak = std::max(peak, std::abs(int(s)));
        total += frames;
        return KY_OK;
    }
    uint64_t total = 0;
    int peak = 0;
};
} // namespace

int main() {
    int failures = 0;
    // Every 16-bit value survives the trip to float and back.
    std::vector<int16_t> all(65536), back(65536);
    for (int i = 0; i < 65536; ++i) all[i] = static_cast<int16_t>(i - 32768);
    kyPlaneBuffer planes;
    planes.allocate(1, 65536);
    std::vector<int16_t> copy = all;
    InterleavedToPlanar(planes.planes(), copy.data(), 1, 0, 65536, "PCM 16-bit", false, false);
    PlanarToInterleaved(back.data(), planes.planes(), nullptr, 1, 0, 65536, "PCM 16-bit", false,
                        false);
    if (back != all) {
        std::puts("FAIL: 16-bit samples do not round-trip");
        ++failures;
    } else {
        std::puts("ok: all 65536 16-bit values round-trip through float");
    }

    auto* src = new ToneSource(44100 * 2);
    auto* sink = new CountingSink;
    src->Connect(sink);
    kyError e = sink->Run();
    std::printf("%s: chain ran %llu frames, peak %d (%s)\n", kySucceeded(e) ? "ok" : "FAIL",
                static_cast<unsigned long long>(sink->total), sink->peak, kyErrorMessage(e));
    if (kyFailed(e) || sink->total != 88200) ++failures;
    sink->DestroyChain();
    std::printf("DskR core self-check: %s\n", failures ? "FAILED" : "passed");
    return failures ? 1 : 0;
}
