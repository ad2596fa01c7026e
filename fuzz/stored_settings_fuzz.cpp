// A settings file anyone can edit, loaded into the settings record: whatever it holds,
// loading never crashes and leaves every setting holding a value it takes.
#include "app/rip_settings.h"
#include "app/settings_table.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path =
        "/tmp/dskr-stored-settings-fuzz-" + std::to_string(::getpid()) + ".reg";
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    RipSettings settings;
    SettingsLoadReport report;
    loadSettings(settings, &report, path);
    for (const kySettingInfo& info : kySettingsTable()) {
        if (!info.valid(settings)) std::abort();
        info.text(settings);
        info.describe(settings);
    }
    std::remove(path.c_str());
    std::remove((path + ".bad").c_str());
    return 0;
}
