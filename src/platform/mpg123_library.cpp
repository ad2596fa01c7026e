#include "platform/mpg123_library.h"
#include "platform/components.h"
#include "platform/library_loader.h"

namespace {
// Versions from 1.32 on tell their own; older ones are named by the file they were loaded
// from.
std::optional<std::string> mpg123Version() {
    const kyLibrary* lib = kyLibrary::Load({"libmpg123.so.0"});
    if (!lib) return std::nullopt;
    using DistVersion = const char* (*)(unsigned int*, unsigned int*, unsigned int*);
    if (auto dist = reinterpret_cast<DistVersion>(lib->Symbol("mpg123_distversion")))
        if (const char* text = dist(nullptr, nullptr, nullptr))
            return std::string(text) + " (" + lib->FileName() + ")";
    return lib->FileName();
}
const kyComponentRegistration registration{{"libmpg123", "MPEG audio decoding", mpg123Version}};
} // namespace

const kyMpg123Library* kyMpg123Library::Get() {
    static const kyMpg123Library* table = []() -> const kyMpg123Library* {
        static kyMpg123Library t;
        const kyLibrary* lib = kyLibrary::Load({"libmpg123.so.0"});
        bool ok = kyResolve(lib, "mpg123_init", t.init);
        ok = kyResolve(lib, "mpg123_new", t.create) && ok;
        ok = kyResolve(lib, "mpg123_delete", t.destroy) && ok;
        ok = kyResolve(lib, "mpg123_param", t.param) && ok;
        ok = kyResolve(lib, "mpg123_format_none", t.formatNone) && ok;
        ok = kyResolve(lib, "mpg123_rates", t.rates) && ok;
        ok = kyResolve(lib, "mpg123_format", t.format) && ok;
        ok = kyResolve(lib, "mpg123_open_feed", t.openFeed) && ok;
        ok = kyResolve(lib, "mpg123_feed", t.feed) && ok;
        ok = kyResolve(lib, "mpg123_read", t.read) && ok;
        ok = kyResolve(lib, "mpg123_getformat", t.getFormat) && ok;
        if (!ok || t.init() != MPG123_OK) return nullptr;
        return &t;
    }();
    return table;
}
