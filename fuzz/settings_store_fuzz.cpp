// The settings file and the user-dirs file are text anyone can edit: parsing must never
// crash, and whatever parses must come back unchanged from its own serialisation.
#include "platform/music_folder.h"
#include "platform/settings_store.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    kyParseUserDirsMusic(text, "/home/fuzz");

    kySettingsStore store;
    if (!store.parse(text)) return 0;
    const std::string once = store.serialize();
    kySettingsStore again;
    if (!again.parse(once) || again.serialize() != once) std::abort();
    for (const char* name : {"szOutDir", "aiName", "iSpeed"}) {
        store.rawBytes(name, true);
        store.rawBytes(name, false);
    }
    return 0;
}
