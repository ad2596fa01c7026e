#include "platform/pulse_library.h"
#include "platform/library_loader.h"

namespace {
const kyResolvedTable<kyPulseLibrary>& table() {
    static const kyResolvedTable<kyPulseLibrary> r = [] {
        kyResolvedTable<kyPulseLibrary> r;
        kyPulseLibrary& t = r.table;
        kyEntryPoints get("libpulse-simple.so.0");
        get("pa_simple_new", t.create);
        get("pa_simple_free", t.free);
        get("pa_simple_write", t.write);
        get("pa_simple_get_latency", t.latency);
        get("pa_simple_flush", t.flush);
        kyEntryPoints base("libpulse.so.0");
        base("pa_strerror", t.strerror);
        r.missing = get.ok() ? base.missing() : get.missing();
        return r;
    }();
    return r;
}
} // namespace

const kyPulseLibrary* kyPulseLibrary::Get() {
    return table().get();
}

const std::string& kyPulseLibrary::Missing() {
    return table().missing;
}
