#include "platform/mpcdec_library.h"
#include "platform/library_loader.h"

namespace {
const kyResolvedTable<kyMpcDecoderLibrary>& decoder() {
    static const kyResolvedTable<kyMpcDecoderLibrary> r = [] {
        kyResolvedTable<kyMpcDecoderLibrary> r;
        kyMpcDecoderLibrary& t = r.table;
        kyEntryPoints get(KY_MPCDEC_LIBRARY);
        get("mpc_demux_init", t.demuxInit);
        get("mpc_demux_exit", t.demuxExit);
        get("mpc_demux_get_info", t.getInfo);
        get("mpc_demux_decode", t.decode);
        r.missing = get.missing();
        return r;
    }();
    return r;
}
} // namespace

const kyMpcDecoderLibrary* kyMpcDecoderLibrary::Get() {
    return decoder().get();
}
const std::string& kyMpcDecoderLibrary::Missing() {
    return decoder().missing;
}
