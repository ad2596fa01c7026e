// The PulseAudio output against a sound server of the test's own (a null sink, recorded
// with parec): what was played is what the server got, and a stop in the middle of a long
// stream returns promptly. The ALSA output through ALSA's PulseAudio plugin to the same
// server plays in real time, so a source that stalls makes it underrun: it recovers, and
// the server still gets every sample in order.
#include "platform/alsa_library.h"
#include "platform/pulse_library.h"
#include "playback/audio_output_filter_alsa.h"
#include "playback/audio_output_filter_pulse.h"
#include "support/chain_helpers.h"
#include "support/file_text.h"
#include "support/scoped_env.h"
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;
namespace fs = std::filesystem;

namespace {

pid_t spawn(const std::vector<std::string>& args, const std::string& out = "") {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (!out.empty())
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void finish(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
}

bool onPath(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// A PulseAudio daemon with one float null sink, reached through its own socket.
class PulseServer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!onPath("pulseaudio") || !onPath("parec"))
            GTEST_SKIP() << "pulseaudio or parec is missing (pulseaudio, pulseaudio-utils)";
        if (!kyPulseLibrary::Get()) GTEST_SKIP() << kyPulseLibrary::Missing();
        char tmpl[] = "/tmp/dskr-pulse-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        dir = tmpl;
        fs::create_directories(dir / "home");
        ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
        ::setenv("HOME", (dir / "home").c_str(), 1);
        socket = (dir / "native").string();
        ::setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
        m_daemon =
            spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                   "--use-pid-file=no", "--disable-shm", "-L",
                   "module-null-sink sink_name=dskr format=float32le rate=44100 channels=2", "-L",
                   "module-native-protocol-unix socket=" + socket + " auth-anonymous=1", "-L",
                   "module-always-sink"});
        for (int i = 0; i < 100 && !fs::exists(socket); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (m_daemon <= 0 || !fs::exists(socket)) GTEST_SKIP() << "pulseaudio could not start here";
    }
    void TearDown() override {
        finish(m_daemon);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    fs::path dir;
    std::string socket;

private:
    kytest::ScopedEnv m_env{"XDG_RUNTIME_DIR", "HOME", "PULSE_SERVER"};
    pid_t m_daemon = -1;
};

// 16-bit-exact samples, none of them zero (silence in a recording is then not signal).
std::vector<std::vector<float>> exactSignal(uint32_t frames) {
    auto planes = kytest::sinePlanes(2, frames, 44100, 0.6f);
    for (auto& p : planes)
        for (float& v : p) v = std::round(v * 32768.0f) / 32768.0f + 1.0f / 32768.0f;
    for (auto& p : planes)
        for (float& v : p)
            if (v == 0.0f) v = 2.0f / 32768.0f;
    return planes;
}

// A source that stops delivering for a while before one of its blocks.
class StallingSource : public kytest::MemorySource {
public:
    StallingSource(std::vector<std::vector<float>> planes, uint32_t stallBefore,
                   std::chrono::milliseconds stall)
        : MemorySource(std::move(planes), 44100, 2048), m_before(stallBefore), m_stall(stall) {}
    kyError Process() override {
        if (processCalls() == m_before) std::this_thread::sleep_for(m_stall);
        return MemorySource::Process();
    }

private:
    uint32_t m_before;
    std::chrono::milliseconds m_stall;
};

} // namespace

TEST_F(PulseServer, AlsaUnderrunIsRecoveredAndNothingIsLost) {
    if (!kyAlsaLibrary::Get()) GTEST_SKIP() << kyAlsaLibrary::Missing() << " (libasound2)";
    if (!fs::exists("/usr/share/alsa/alsa.conf")) GTEST_SKIP() << "ALSA's configuration is missing";
    // A file of what the device is given, over ALSA's PulseAudio plugin (libasound2-plugins)
    // to the null sink, which plays in real time and reports underruns.
    const fs::path conf = dir / "asound.conf", file = dir / "played.raw";
    {
        std::ofstream out(conf);
        out << "pcm.dskrpulse { type pulse; device \"dskr\"; handle_underrun true }\n"
               "pcm.dskrunder { type file; slave.pcm \"dskrpulse\"; file \""
            << file.string() << "\"; format \"raw\" }\n";
    }
    kytest::ScopedEnv alsaEnv{"ALSA_CONFIG_PATH"};
    ::setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + conf.string()).c_str(), 1);
    kyError e = KY_OK;
    auto out = kyAudioOutputFilterALSA::Open("dskrunder", 44100, 2, 4410, false, e,
                                             {kyAlsaLibrary::kFormatFloat});
    if (!out) GTEST_SKIP() << "ALSA's PulseAudio plugin cannot play here: " << kyErrorText(e);
    out->SetRealtime(false);

    // 1.2 s with a stall of 0.6 s (six times the device's buffer) after the first 0.28 s.
    const uint32_t frames = 44100 * 12 / 10;
    const auto planes = exactSignal(frames);
    auto* source = new StallingSource(planes, 6, std::chrono::milliseconds(600));
    auto* alsa = out.get();
    source->Connect(out.release());
    EXPECT_EQ(alsa->Run(), KY_OK) << kyErrorText(alsa->LastResult());
    EXPECT_TRUE(alsa->AtEnd());
    EXPECT_EQ(alsa->Position(), frames);
    EXPECT_GE(alsa->Recoveries(), 1u) << "the stall did not make the device underrun";
    source->DestroyChain(); // closes the device, which writes out the file's tail

    const std::string bytes = kytest::readText(file);
    std::vector<float> got(bytes.size() / 4);
    if (!got.empty()) std::memcpy(got.data(), bytes.data(), got.size() * 4);
    ASSERT_EQ(got.size(), size_t(frames) * 2) << "samples lost or added";
    size_t mismatches = 0;
    for (uint32_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < 2; ++c) mismatches += got[2 * i + c] != planes[c][i];
    EXPECT_EQ(mismatches, 0u);
}

TEST_F(PulseServer, TheServerGetsWhatWasPlayed) {
    const fs::path recording = dir / "recorded.raw";
    const pid_t parec = spawn({"parec", "--device=dskr.monitor", "--format=float32le",
                               "--rate=44100", "--channels=2", "--raw", "--latency-msec=20"},
                              recording.string());
    ASSERT_GT(parec, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));

    // 0.8 s of distinct, 16-bit-exact samples after a leading non-zero frame.
    const uint32_t frames = 44100 * 8 / 10;
    auto planes = kytest::sinePlanes(2, frames, 44100, 0.6f);
    for (auto& p : planes)
        for (float& v : p) v = std::round(v * 32768.0f) / 32768.0f + 1.0f / 32768.0f;
    kyError e = KY_OK;
    auto out = kyAudioOutputFilterPulse::Open(44100, 2, 0, e);
    ASSERT_TRUE(out) << kyErrorText(e);
    auto* source = new kytest::MemorySource(planes, 44100, 4096);
    source->Connect(out.release());
    auto* sink = static_cast<kyAudioOutputFilter*>(source->downstream());
    EXPECT_EQ(sink->Run(), KY_OK);
    EXPECT_TRUE(sink->AtEnd());
    EXPECT_EQ(sink->Position(), frames);
    source->DestroyChain();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    finish(parec);

    const std::string bytes = kytest::readText(recording);
    std::vector<float> got(bytes.size() / 4);
    if (!got.empty()) std::memcpy(got.data(), bytes.data(), got.size() * 4);
    // The recording starts with silence, and the recorder may have come in late: from the
    // first sound on, it is the played signal, exactly, to its end.
    size_t first = 0;
    while (first < got.size() && got[first] == 0.0f) ++first;
    first &= ~size_t(1);
    ASSERT_LT(first + 8, got.size()) << "nothing recorded";
    uint32_t k = 0;
    while (k + 4 < frames &&
           !(got[first] == planes[0][k] && got[first + 1] == planes[1][k] &&
             got[first + 6] == planes[0][k + 3] && got[first + 7] == planes[1][k + 3]))
        ++k;
    ASSERT_LT(k, frames / 2) << "the recording does not hold the signal";
    ASSERT_GE(got.size() - first, size_t(frames - k) * 2);
    size_t mismatches = 0;
    for (uint32_t i = k; i < frames; ++i)
        for (uint32_t c = 0; c < 2; ++c)
            if (got[first + 2 * (i - k) + c] != planes[c][i]) ++mismatches;
    EXPECT_EQ(mismatches, 0u);
}

TEST_F(PulseServer, StopReturnsPromptly) {
    kyError e = KY_OK;
    auto out = kyAudioOutputFilterPulse::Open(44100, 2, 0, e);
    ASSERT_TRUE(out) << kyErrorText(e);
    auto* source = new kytest::MemorySource(kytest::sinePlanes(2, 44100 * 20, 44100), 44100, 4096);
    kyAudioOutputFilter* sink = out.release();
    source->Connect(sink);
    ASSERT_EQ(sink->Start(), KY_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(sink->IsRunning());
    const uint64_t heard = sink->Position();
    EXPECT_GT(heard, 0u);
    EXPECT_LT(heard, 44100u) << "the position runs ahead of real time";
    EXPECT_TRUE(sink->Stop(true));
    EXPECT_FALSE(sink->AtEnd());
    source->DestroyChain();
}

TEST_F(PulseServer, StopReturnsPromptlyFromAServerThatTakesNothing) {
    if (!onPath("pactl")) GTEST_SKIP() << "pactl is missing (pulseaudio-utils)";
    // A long target length: the server would hold two seconds before a write waits.
    kyError e = KY_OK;
    auto out = kyAudioOutputFilterPulse::Open(44100, 2, 44100 * 2, e);
    ASSERT_TRUE(out) << kyErrorText(e);
    auto* source = new kytest::MemorySource(kytest::sinePlanes(2, 44100 * 30, 44100), 44100, 4096);
    kyAudioOutputFilter* sink = out.release();
    source->Connect(sink);
    // The sink stops taking data: once the stream's buffer is full, a write waits for good.
    ASSERT_EQ(std::system("pactl suspend-sink dskr 1"), 0);
    ASSERT_EQ(sink->Start(), KY_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(sink->IsRunning());
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_TRUE(sink->Stop(true));
    const auto took = std::chrono::steady_clock::now() - asked;
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    EXPECT_FALSE(sink->IsRunning());
    EXPECT_FALSE(sink->AtEnd());
    // It plays again once the sink does.
    ASSERT_EQ(std::system("pactl suspend-sink dskr 0"), 0);
    ASSERT_EQ(sink->Seek(0), KY_OK);
    ASSERT_EQ(sink->Start(), KY_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(sink->IsRunning());
    EXPECT_TRUE(sink->Stop(true));
    source->DestroyChain();
}
