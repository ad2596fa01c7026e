#pragma once
// ALSA devices for tests, defined in a configuration of the test's own (ALSA_CONFIG_PATH,
// set once per process before ALSA is first used): PCMs that write what they are given to
// files, over ALSA's "null" device.
//   dskrfloat  a file of the samples exactly as written (any format)
//   dskrs16    ALSA converts to 16-bit, then a file
//   default    the same as dskrs16, so the registry's shared entry has a device
#include "support/file_text.h"
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace kytest {

struct AlsaTestConfig {
    std::filesystem::path dir, floatFile, s16File;

    static const AlsaTestConfig& Get() {
        static const AlsaTestConfig config;
        return config;
    }
    static bool available() { return std::filesystem::exists("/usr/share/alsa/alsa.conf"); }

    ~AlsaTestConfig() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

private:
    AlsaTestConfig() {
        std::string tmpl = "/tmp/dskr-alsa-XXXXXX";
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        dir = tmpl;
        floatFile = dir / "float.raw";
        s16File = dir / "s16.raw";
        writeText(dir / "asound.conf",
                  "pcm.dskrfloat { type file; slave.pcm \"null\"; file \"" + floatFile.string() +
                      "\"; format \"raw\" }\n"
                      "pcm.dskrs16file { type file; slave.pcm \"null\"; file \"" +
                      s16File.string() +
                      "\"; format \"raw\" }\n"
                      "pcm.dskrs16 { type plug; slave { pcm \"dskrs16file\"; format S16_LE } }\n"
                      "pcm.!default { type plug; slave { pcm \"dskrs16file\"; format S16_LE } }\n");
        ::setenv("ALSA_CONFIG_PATH",
                 ("/usr/share/alsa/alsa.conf:" + (dir / "asound.conf").string()).c_str(), 1);
    }
};

} // namespace kytest
