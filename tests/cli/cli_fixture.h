#pragma once
// Running the built dskr-cli as a user would: its own settings folder and home, stdin from
// /dev/null (no terminal), stdout and stderr caught. A run can be sent a signal once it
// writes a file, run as an unprivileged user, run with a small file system
// mounted at a folder of the test (a private mount, gone when the program ends), or with
// a limit on the size of the files it writes.
#include <sys/mount.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <regex>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kytest {

namespace fs = std::filesystem;

inline const std::string kCli = std::string(DSKR_BINARY_DIR) + "/bin/dskr-cli";

struct CliRun {
    int code = -1;
    std::string out, err;
};

// How the child is set up before dskr-cli starts.
struct CliRunSetup {
    int signal = 0; // sent once the batch writes a temporary file under `watch`
    fs::path watch;
    bool asNobody = false; // drop root to uid/gid 65534 (nothing happens when not root)
    fs::path smallDisk;    // mount a tmpfs of `smallDiskBytes` here first
    size_t smallDiskBytes = 256 * 1024;
    // Largest file the program may write (RLIMIT_FSIZE; a write beyond fails with EFBIG
    // instead of a signal). 0: no limit.
    rlim_t fileSizeLimit = 0;
};

// Exit code of a child whose set-up could not be done (the test skips itself).
constexpr int kSetupFailed = 77;

inline std::string slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/dskr-cli-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        // Keep the user's settings out of it: the store lives in the test's own folder.
        fs::create_directories(dir / "config");
        setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        setenv("HOME", dir.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir, ec);
    }

    fs::path storePath() const { return dir / "config/Velmora/DskR 5/settings.reg"; }

    CliRun run(const std::vector<std::string>& args, const CliRunSetup& setup = {}) {
        const fs::path outFile = dir / "stdout.txt", errFile = dir / "stderr.txt";
        std::vector<std::string> all = {kCli};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string mountPoint = setup.smallDisk.string();
        const std::string mountOptions = "size=" + std::to_string(setup.smallDiskBytes);
        CliRun r;
        const pid_t pid = fork();
        if (pid < 0) return r;
        if (pid == 0) {
            // Only system calls from here on.
            int in = ::open("/dev/null", O_RDONLY);
            int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || out < 0 || err < 0) _exit(kSetupFailed);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            if (!mountPoint.empty()) {
                if (unshare(CLONE_NEWNS) != 0 ||
                    mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                    mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, mountOptions.c_str()) != 0)
                    _exit(kSetupFailed);
            }
            if (setup.fileSizeLimit) {
                const rlimit limit{setup.fileSizeLimit, setup.fileSizeLimit};
                if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0)
                    _exit(kSetupFailed);
            }
            if (setup.asNobody && geteuid() == 0) {
                if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
                    _exit(kSetupFailed);
            }
            execv(kCli.c_str(), argv.data());
            _exit(kSetupFailed);
        }
        if (setup.signal) {
            // Wait until the batch writes its temporary file, then send the signal.
            for (int i = 0; i < 600 && pendingFiles(setup.watch).empty(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            kill(pid, setup.signal);
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = slurp(outFile);
        r.err = slurp(errFile);
        return r;
    }

    // The temporary files of runs under `top`.
    static std::vector<fs::path> pendingFiles(const fs::path& top) {
        std::vector<fs::path> found;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(top, ec); !ec && it != fs::end(it);
             it.increment(ec)) {
            static const std::regex ours(R"(\.dskr-[0-9]+-[A-Za-z0-9]{6}\.part)");
            if (std::regex_match(it->path().filename().string(), ours)) found.push_back(it->path());
        }
        return found;
    }

    // The sample bytes of a PCM WAV file's "data" chunk.
    static std::vector<uint8_t> wavData(const fs::path& p) {
        std::string s = slurp(p);
        for (size_t pos = 12; pos + 8 <= s.size();) {
            uint32_t size;
            std::memcpy(&size, &s[pos + 4], 4);
            if (s.compare(pos, 4, "data") == 0)
                return std::vector<uint8_t>(s.begin() + pos + 8,
                                            s.begin() + std::min<size_t>(s.size(), pos + 8 + size));
            pos += 8 + size + (size & 1);
        }
        return {};
    }

    // A small disc image of three 4-second tracks of noise at a quarter of full scale, the
    // second starting with a second of silence: quick to rip, and every processing stage
    // changes it. Returns the CUE sheet; `tracks` gets each track's bytes.
    fs::path smallDisc(std::vector<std::vector<uint8_t>>& tracks) const {
        constexpr size_t kTrackBytes = 4 * 75 * 2352, kSilence = 44100 * 4;
        tracks.assign(3, std::vector<uint8_t>(kTrackBytes));
        uint32_t state = 12345;
        std::string bin;
        for (size_t t = 0; t < 3; ++t) {
            for (size_t i = 0; i < kTrackBytes; i += 2) {
                state = state * 1664525u + 1013904223u;
                const int16_t sample = (t == 1 && i < kSilence)
                                           ? 0
                                           : static_cast<int16_t>(int32_t(state >> 16) % 8192);
                tracks[t][i] = static_cast<uint8_t>(sample & 0xff);
                tracks[t][i + 1] = static_cast<uint8_t>((sample >> 8) & 0xff);
            }
            bin.append(tracks[t].begin(), tracks[t].end());
        }
        std::ofstream(dir / "small.bin", std::ios::binary) << bin;
        const fs::path cue = dir / "small.cue";
        std::ofstream(cue) << "FILE \"small.bin\" BINARY\n"
                              "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                              "  TRACK 02 AUDIO\n    INDEX 01 00:04:00\n"
                              "  TRACK 03 AUDIO\n    INDEX 01 00:08:00\n";
        return cue;
    }

    // Every .wav file below `root`, sorted.
    static std::vector<fs::path> wavFiles(const fs::path& root) {
        std::vector<fs::path> files;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
             it.increment(ec))
            if (it->is_regular_file() && it->path().extension() == ".wav")
                files.push_back(it->path());
        std::sort(files.begin(), files.end());
        return files;
    }

    fs::path dir;
};

} // namespace kytest
