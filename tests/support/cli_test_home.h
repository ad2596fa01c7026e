#pragma once
// A home for a dskr-cli test: a fresh temporary folder that XDG_CONFIG_HOME,
// XDG_CACHE_HOME and HOME point into while the test runs (put back afterwards), so that
// settings, kept records and caches are the test's own, and the two-track disc image the
// look-up tests name: tracks at 0 and 300 sectors, lead-out at 600.
#include "support/file_text.h"
#include "support/scoped_env.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace kytest {

class CliTestHome {
public:
    explicit CliTestHome(const std::string& prefix) {
        std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        dir = tmpl;
        std::filesystem::create_directories(dir / "config");
        ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (dir / "cache").c_str(), 1);
        ::setenv("HOME", dir.c_str(), 1);
        // Two 4-second tracks of quiet noise.
        std::string bin(600 * 2352, '\0');
        for (size_t i = 0; i < bin.size(); i += 2) bin[i] = static_cast<char>(i * 7 % 13);
        writeText(dir / "disc.bin", bin);
        cue = dir / "disc.cue";
        writeText(cue, "FILE \"disc.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                       "  TRACK 02 AUDIO\n    INDEX 01 00:04:00\n");
    }
    ~CliTestHome() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    CliTestHome(const CliTestHome&) = delete;
    CliTestHome& operator=(const CliTestHome&) = delete;

    std::filesystem::path dir, cue;

private:
    ScopedEnv m_env{"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "HOME"};
};

} // namespace kytest
