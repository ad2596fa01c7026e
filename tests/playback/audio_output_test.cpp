// The sound-card output: what reaches an ALSA device (files behind ALSA's null device),
// pause, seek and stop on the right frames, a stop that returns from a device that never
// takes data, the end notification, and the device registry.
#include "filters/vu_meter_filter.h"
#include "platform/alsa_library.h"
#include "platform/thread_priority.h"
#include "playback/audio_io_manager.h"
#include "playback/audio_output_filter_alsa.h"
#include "support/alsa_test_config.h"
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using kytest::AlsaTestConfig;

// A source that seeks the way the CD source does (to whole 588-frame sectors) and can call
// a hook before delivering the block that starts at or after a given frame.
class SectorSource : public kySourceFilter2 {
public:
    SectorSource(std::vector<std::vector<float>> planes, uint32_t rate)
        : kySourceFilter2("Sector source"), m_planes(std::move(planes)) {
        m_format.channels = static_cast<uint32_t>(m_planes.size());
        m_format.sampleRate = rate;
        m_format.lengthFrames = static_cast<uint32_t>(m_planes[0].size());
        m_format.blockFrames = 588;
        m_ptrs.resize(m_planes.size());
    }
    uint32_t Seek(uint32_t frame) override {
        m_seek = frame / 588 * 588;
        return m_seek;
    }
    kyError Prepare() override {
        m_pos = m_seek;
        return KY_OK;
    }
    kyError Process() override {
        if (m_gate && m_pos >= m_gateFrame) {
            auto gate = std::move(m_gate);
            m_gate = nullptr;
            gate();
        }
        if (m_delay.count()) std::this_thread::sleep_for(m_delay);
        if (m_fail && m_pos >= m_failFrame) return KYERR_READ_FILE;
        const uint32_t n = std::min<uint32_t>(588, m_format.lengthFrames - m_pos);
        for (size_t c = 0; c < m_planes.size(); ++c) {
            m_scratch.assign(m_planes[c].begin() + m_pos, m_planes[c].begin() + m_pos + n);
            m_blocks[c] = m_scratch;
            m_ptrs[c] = m_blocks[c].data();
        }
        m_pos += n;
        kyError e = m_downstream->Write(m_ptrs.data(), n);
        if (kyFailed(e)) return e;
        return m_pos >= m_format.lengthFrames ? m_downstream->EndOfStream() : KY_OK;
    }
    // Calls `hook` once, on the playing thread, before the block at `frame`.
    void setGate(uint32_t frame, std::function<void()> hook) {
        m_gateFrame = frame;
        m_gate = std::move(hook);
    }
    void setDelay(std::chrono::milliseconds d) { m_delay = d; }
    void failAt(uint32_t frame) {
        m_fail = true;
        m_failFrame = frame;
    }

private:
    std::vector<std::vector<float>> m_planes;
    std::vector<float> m_scratch;
    std::vector<std::vector<float>> m_blocks{8};
    std::vector<float*> m_ptrs;
    uint32_t m_pos = 0, m_seek = 0, m_gateFrame = 0, m_failFrame = 0;
    bool m_fail = false;
    std::function<void()> m_gate;
    std::chrono::milliseconds m_delay{0};
};

// Stereo, every sample an exact 16-bit value (as from a CD), different per channel.
std::vector<std::vector<float>> cdSignal(uint32_t frames) {
    std::vector<std::vector<float>> planes(2, std::vector<float>(frames));
    for (uint32_t i = 0; i < frames; ++i) {
        planes[0][i] = std::round(20000.0 * std::sin(i * 0.031)) / 32768.0f;
        planes[1][i] = float(int(i * 37 % 65536) - 32768) / 32768.0f;
    }
    return planes;
}

std::vector<float> interleave(const std::vector<std::vector<float>>& planes, uint32_t from,
                              uint32_t to) {
    std::vector<float> out;
    for (uint32_t i = from; i < to; ++i)
        for (const auto& p : planes) out.push_back(p[i]);
    return out;
}

// Waits for the worker to end by itself (a gate stopped it), then joins it.
void waitForWorker(kyAudioOutputFilter* out) {
    while (out->IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    out->Stop(true);
}

std::vector<float> asFloats(const std::string& bytes) {
    std::vector<float> v(bytes.size() / 4);
    if (!v.empty()) std::memcpy(v.data(), bytes.data(), v.size() * 4);
    return v;
}

std::vector<int16_t> asShorts(const std::string& bytes) {
    std::vector<int16_t> v(bytes.size() / 2);
    if (!v.empty()) std::memcpy(v.data(), bytes.data(), v.size() * 2);
    return v;
}

class AudioOutput : public ::testing::Test {
protected:
    void SetUp() override {
        if (!AlsaTestConfig::available()) GTEST_SKIP() << "ALSA's configuration is missing";
        AlsaTestConfig::Get();
        if (!kyAlsaLibrary::Get()) GTEST_SKIP() << kyAlsaLibrary::Missing() << " (libasound2)";
    }
    // source -> meter -> ALSA output on `pcm`; the chain is the caller's.
    kyAudioOutputFilter* chain(SectorSource* source, const std::string& pcm,
                               const std::vector<int>& formats = {}) {
        kyError e = KY_OK;
        auto out = kyAudioOutputFilterALSA::Open(pcm, 44100, 2, 0, false, e, formats);
        EXPECT_TRUE(out) << kyErrorText(e);
        if (!out) return nullptr;
        out->SetRealtime(false); // it runs faster than real time here
        kyAudioOutputFilter* raw = out.release();
        source->Connect(raw);
        source->InsertAfter(new kygfVUMeterFilter());
        return raw;
    }
};

} // namespace

TEST_F(AudioOutput, TheDeviceReceivesExactlyTheTrack) {
    const auto& cfg = AlsaTestConfig::Get();
    const uint32_t frames = 44100 * 2 + 301;
    const auto signal = cdSignal(frames);
    const auto expected = interleave(signal, 0, frames);
    std::vector<int16_t> expected16;
    for (float v : expected) expected16.push_back(int16_t(std::lround(v * 32768.0f)));

    struct Case {
        const char* pcm;
        std::vector<int> formats; // ours to try; empty: float first
        bool floats;              // the file holds floats, else 16-bit samples
    };
    for (const Case& c :
         {Case{"dskrfloat", {}, true}, Case{"dskrfloat", {kyAlsaLibrary::kFormatS16}, false},
          Case{"dskrs16", {}, false}}) {
        std::filesystem::remove(cfg.floatFile);
        std::filesystem::remove(cfg.s16File);
        auto* source = new SectorSource(signal, 44100);
        kyAudioOutputFilter* out = chain(source, c.pcm, c.formats);
        ASSERT_TRUE(out);
        std::atomic<int> notified{0};
        std::atomic<kyError> result{1};
        out->SetEndNotification([&](kyError e) {
            result = e;
            ++notified;
        });
        EXPECT_EQ(out->Run(), KY_OK) << c.pcm << ": " << out->Description();
        EXPECT_TRUE(out->AtEnd());
        EXPECT_FALSE(out->IsRunning());
        EXPECT_EQ(out->Position(), frames);
        EXPECT_DOUBLE_EQ(out->Duration(), double(frames) / 44100);
        EXPECT_EQ(notified.load(), 1);
        EXPECT_EQ(result.load(), KY_OK);
        source->DestroyChain(); // closes the device, which writes out the file's tail
        const std::string file =
            kytest::readText(std::string(c.pcm) == "dskrfloat" ? cfg.floatFile : cfg.s16File);
        if (c.floats)
            EXPECT_TRUE(asFloats(file) == expected) << c.pcm << ": " << file.size() << " bytes";
        else
            EXPECT_TRUE(asShorts(file) == expected16) << c.pcm << ": " << file.size() << " bytes";
    }
}

TEST_F(AudioOutput, PauseAndSeekLandOnTheRightFrames) {
    const auto& cfg = AlsaTestConfig::Get();
    const uint32_t frames = 44100 * 3;
    const auto signal = cdSignal(frames);
    std::filesystem::remove(cfg.floatFile);
    auto* source = new SectorSource(signal, 44100);
    kyAudioOutputFilter* out = chain(source, "dskrfloat");
    ASSERT_TRUE(out);
    int notified = 0;
    out->SetEndNotification([&](kyError) { ++notified; });

    // Paused (stopped from the playing thread itself) before the block at 1 s. What the
    // device held unplayed was dropped: the position is what was heard, at most a buffer
    // (about 100 ms) behind what was written.
    const uint32_t written1 = 44100 / 588 * 588 + 588;
    source->setGate(44100, [&] { out->Stop(false); });
    ASSERT_EQ(out->Start(), KY_OK);
    waitForWorker(out);
    const uint64_t pause1 = out->Position();
    EXPECT_LE(pause1, written1);
    EXPECT_GE(pause1 + 44100 / 5, written1);
    EXPECT_FALSE(out->AtEnd());
    EXPECT_EQ(notified, 0) << "a requested stop is not the end of the stream";

    // Resumed exactly there (between two sectors of the source), paused again.
    const uint32_t written2 = 2 * 44100 / 588 * 588 + 588;
    source->setGate(2 * 44100, [&] { out->Stop(false); });
    ASSERT_EQ(out->Start(), KY_OK);
    waitForWorker(out);
    const uint64_t pause2 = out->Position();
    EXPECT_LE(pause2, written2);

    // A seek between sectors while stopped, then on to the end.
    const uint32_t target = 2 * 44100 + 123 + 588 * 10;
    ASSERT_EQ(out->Seek(target), KY_OK);
    EXPECT_EQ(out->Position(), target);
    EXPECT_EQ(out->Run(), KY_OK);
    EXPECT_TRUE(out->AtEnd());
    EXPECT_EQ(out->Position(), frames);
    EXPECT_EQ(notified, 1);
    EXPECT_EQ(out->Seek(frames), KYERR_INVALID_PARAMETER);
    EXPECT_EQ(out->SeekSeconds(-1), KY_OK);
    EXPECT_EQ(out->Position(), 0u);
    EXPECT_EQ(out->SeekSeconds(1.00001), KY_OK);
    EXPECT_EQ(out->Position(), 44100u);
    source->DestroyChain();

    // The device played each run up to where it was paused, and dropped what it still held
    // then: the file holds exactly what was heard, seamless across the pause.
    std::vector<float> expected;
    for (auto [from, to] :
         {std::pair<uint64_t, uint64_t>{0, pause1}, {pause1, pause2}, {target, frames}}) {
        const auto part = interleave(signal, uint32_t(from), uint32_t(to));
        expected.insert(expected.end(), part.begin(), part.end());
    }
    const auto got = asFloats(kytest::readText(cfg.floatFile));
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

TEST_F(AudioOutput, SeekWhilePlayingRestartsThere) {
    const auto& cfg = AlsaTestConfig::Get();
    const uint32_t frames = 44100 * 2;
    const auto signal = cdSignal(frames);
    std::filesystem::remove(cfg.floatFile);
    auto* source = new SectorSource(signal, 44100);
    kyAudioOutputFilter* out = chain(source, "dskrfloat");
    ASSERT_TRUE(out);
    source->setDelay(std::chrono::milliseconds(2));
    ASSERT_EQ(out->Start(), KY_OK);
    while (out->Position() < 588 * 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(out->Seek(44100 + 7), KY_OK);
    EXPECT_TRUE(out->IsRunning() || out->AtEnd());
    source->setDelay(std::chrono::milliseconds(0));
    while (out->IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(out->AtEnd());
    EXPECT_EQ(out->Position(), frames);
    source->DestroyChain();
    // Whatever played before the seek, then the rest from exactly the frame asked for.
    const auto got = asFloats(kytest::readText(cfg.floatFile));
    const auto tail = interleave(signal, 44100 + 7, frames);
    ASSERT_GE(got.size(), tail.size());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), got.end() - tail.size()));
    const size_t head = (got.size() - tail.size()) / 2;
    EXPECT_GE(head, 588u * 5);
    EXPECT_TRUE(
        std::equal(got.begin(), got.begin() + head * 2, interleave(signal, 0, head).begin()));
}

namespace {
// A device that never takes data (its descriptor never becomes ready), and one that holds
// a fixed amount unplayed.
class FakeDevice : public kyAudioOutputFilter {
public:
    FakeDevice(bool blocks, int64_t delay)
        : kyAudioOutputFilter("Fake output", 44100, 2), m_blocks(blocks), m_delay(delay) {
        if (pipe(m_pipe) != 0) m_pipe[0] = m_pipe[1] = -1;
        SetRealtime(false);
    }
    ~FakeDevice() override {
        Stop(true);
        close(m_pipe[0]);
        close(m_pipe[1]);
    }
    std::string Description() const override { return "fake"; }
    std::atomic<uint64_t> taken{0};
    std::atomic<bool> failWrites{false};

protected:
    kyError deviceBegin() override { return KY_OK; }
    kyError deviceWrite(const float*, uint32_t frames) override {
        if (failWrites) return KYERR_WRITE_FILE;
        while (m_blocks) {
            pollfd fd{m_pipe[0], POLLIN, 0};
            // A device whose time-out keeps running out, as a stuck one's does.
            if (!waitForDevice(&fd, 1, 1000)) return KYERR_CANCELLED;
        }
        taken += frames;
        return KY_OK;
    }
    int64_t deviceDelay() override { return m_delay; }
    void deviceDrop() override {}

private:
    bool m_blocks;
    int64_t m_delay;
    int m_pipe[2];
};
} // namespace

TEST(AudioOutputFilter, StopReturnsFromADeviceThatBlocks) {
    auto* source = new SectorSource(cdSignal(44100 * 5), 44100);
    auto* out = new FakeDevice(true, 0);
    source->Connect(out);
    ASSERT_EQ(out->Start(), KY_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_TRUE(out->IsRunning());
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(out->Stop(true)) << "not stopped within 2500 ms";
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));
    EXPECT_FALSE(out->IsRunning());
    EXPECT_EQ(out->LastResult(), KY_OK);
    // Destroyed while playing: the destructor waits for the worker first.
    ASSERT_EQ(out->Start(), KY_OK);
    source->DestroyChain();
}

TEST(AudioOutputFilter, PositionNeverRunsAheadOfTheDevice) {
    // The device holds 1000 frames unplayed: the position trails what was written by that,
    // and a stream that ends waits for them (here they never play: it gives up after its
    // margin) before it calls the end.
    auto* source = new SectorSource(cdSignal(588 * 20), 44100);
    auto* out = new FakeDevice(false, 1000);
    source->Connect(out);
    source->setGate(588 * 10, [&] { out->Stop(false); });
    ASSERT_EQ(out->Start(), KY_OK);
    waitForWorker(out);
    EXPECT_EQ(out->taken.load(), 588u * 10);
    EXPECT_EQ(out->Position(), 588u * 10 - 1000);
    source->DestroyChain();
}

TEST(AudioOutputFilter, FailuresReachTheNotification) {
    struct Case {
        bool sourceFails;
        kyError expected;
    };
    for (const Case& c : {Case{true, KYERR_READ_FILE}, Case{false, KYERR_WRITE_FILE}}) {
        auto* source = new SectorSource(cdSignal(588 * 20), 44100);
        auto* out = new FakeDevice(false, 0);
        source->Connect(out);
        if (c.sourceFails)
            source->failAt(588 * 3);
        else
            out->failWrites = true;
        std::atomic<kyError> got{KY_OK};
        out->SetEndNotification([&](kyError e) { got = e; });
        EXPECT_EQ(out->Run(), c.expected);
        EXPECT_EQ(got.load(), c.expected);
        EXPECT_FALSE(out->AtEnd());
        source->DestroyChain();
    }
    // No source: the sequence error, and nothing starts.
    FakeDevice alone(false, 0);
    EXPECT_EQ(alone.Start(), KYERR_SEQUENCE);
}

TEST_F(AudioOutput, RegistryListsTheDefaultDeviceAndChooses) {
    kyAudioDeviceRegistry& registry = kyAudioDeviceRegistry::Instance();
    registry.Rescan();
    ASSERT_GE(registry.OutputCount(), 1u);
    const kyAudioDevice* d = registry.Output(0);
    EXPECT_EQ(d->name, "System default [SHARED]");
    EXPECT_EQ(d->identity, "default");
    EXPECT_FALSE(d->exclusive);
    EXPECT_TRUE(d->bufferSizes.empty());
    ASSERT_EQ(d->configurations.size(), 5u);
    EXPECT_EQ(d->configurations[4].name, "7.1 surround");
    // Every probed rate: the chooser takes the first at or above, else the last.
    struct Case {
        uint32_t wanted, rate;
    };
    for (const Case& c :
         {Case{44100, 44100}, Case{44101, 48000}, Case{1, 8000}, Case{500000, 192000}})
        EXPECT_EQ(registry.chooseRate(0, c.wanted), c.rate) << c.wanted;
    struct Config {
        uint32_t wanted, channels;
    };
    for (const Config& c : {Config{2, 2}, Config{3, 4}, Config{5, 6}, Config{9, 8}, Config{0, 1}})
        EXPECT_EQ(d->configurations[registry.chooseConfiguration(0, c.wanted)].channels,
                  c.channels);
    EXPECT_EQ(registry.chooseRate(registry.OutputCount(), 44100), 0u);
    EXPECT_EQ(registry.chooseConfiguration(registry.OutputCount(), 2), -1);

    kyError e = KY_OK;
    auto out = kyOpenAudioOutput("", 44100, 2, e);
    ASSERT_TRUE(out) << kyErrorText(e);
    EXPECT_EQ(out->Rate(), 44100u);
    EXPECT_EQ(out->Channels(), 2u);
    out = kyOpenAudioOutput("system default [shared]", 22050, 1, e);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->Channels(), 1u);
    EXPECT_FALSE(kyOpenAudioOutput("no such device", 44100, 2, e));
    EXPECT_EQ(e, KYERR_OPEN_FILE);
    EXPECT_FALSE(kyOpenAudioOutput("alsa:dskr_not_defined", 44100, 2, e));
    EXPECT_FALSE(kyOpenAudioOutput("99", 44100, 2, e));
}

TEST(AudioOutputFilter, SampleConversions) {
    const float in[] = {0.0f, 1.0f, -1.0f, 0.5f, -0.25f, 1.5f, 1.0f / 32768.0f};
    struct Case {
        int format;
        std::vector<int32_t> values;
    };
    for (const Case& c : {
             Case{kyAlsaLibrary::kFormatS16, {0, 32767, -32768, 16384, -8192, 32767, 1}},
             Case{kyAlsaLibrary::kFormatS24In4,
                  {0, 8388607, -8388608, 4194304, -2097152, 8388607, 256}},
             Case{kyAlsaLibrary::kFormatS24In3,
                  {0, 8388607, -8388608, 4194304, -2097152, 8388607, 256}},
             Case{kyAlsaLibrary::kFormatS32,
                  {0, 2147483647, INT32_MIN, 1073741824, -536870912, 2147483647, 65536}},
             Case{kyAlsaLibrary::kFormatU8, {128, 255, 0, 192, 96, 255, 128}},
         }) {
        uint8_t out[7 * 4];
        const size_t bytes = kyAudioOutputFilterALSA::ConvertSamples(in, 7, c.format, out);
        for (size_t i = 0; i < 7; ++i) {
            int32_t v = 0;
            if (bytes == 1) {
                v = out[i];
            } else if (bytes == 2) {
                int16_t s;
                std::memcpy(&s, out + 2 * i, 2);
                v = s;
            } else if (bytes == 3) {
                v = int32_t(uint32_t(out[3 * i]) << 8 | uint32_t(out[3 * i + 1]) << 16 |
                            uint32_t(out[3 * i + 2]) << 24) >>
                    8;
            } else {
                std::memcpy(&v, out + 4 * i, 4);
            }
            EXPECT_EQ(v, c.values[i]) << "format " << c.format << " sample " << i;
        }
    }
}

TEST(AudioOutputFilter, RealtimePriorityOrItsFallback) {
    // Here: whatever the system grants, and the thread really runs so.
    std::thread([] {
        const kyThreadPriority p = kyRaiseAudioThreadPriority();
        if (p == kyThreadPriority::Realtime) EXPECT_EQ(sched_getscheduler(0), SCHED_FIFO);
        if (p == kyThreadPriority::Raised) EXPECT_LT(getpriority(PRIO_PROCESS, 0), 0);
    }).join();
    // A process that may not use real-time scheduling but may lower its nice value to -5
    // gets that, and does not ask for real time again.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        kyResetAudioThreadPriorityRefusal();
        rlimit nice{25, 25};
        const bool mayRaise = setrlimit(RLIMIT_NICE, &nice) == 0;
        rlimit none{0, 0};
        setrlimit(RLIMIT_RTPRIO, &none);
        if (getuid() == 0 && setuid(65534) != 0) _exit(3);
        const kyThreadPriority p = kyRaiseAudioThreadPriority();
        if (p == kyThreadPriority::Realtime) _exit(4);
        if (mayRaise && (p != kyThreadPriority::Raised || getpriority(PRIO_PROCESS, 0) != -5))
            _exit(5);
        if (kyRaiseAudioThreadPriority() == kyThreadPriority::Realtime) _exit(6);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
