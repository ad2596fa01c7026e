#include "platform/faad_library.h"
#include "platform/library_loader.h"

const kyFaadLibrary* kyFaadLibrary::Get() {
    static const kyFaadLibrary* table = []() -> const kyFaadLibrary* {
        static kyFaadLibrary t;
        const kyLibrary* lib = kyLibrary::Load({"libfaad.so.2"});
        bool ok = kyResolve(lib, "NeAACDecOpen", t.open);
        ok = kyResolve(lib, "NeAACDecClose", t.close) && ok;
        ok = kyResolve(lib, "NeAACDecGetCurrentConfiguration", t.getCurrentConfiguration) && ok;
        ok = kyResolve(lib, "NeAACDecSetConfiguration", t.setConfiguration) && ok;
        ok = kyResolve(lib, "NeAACDecInit", t.init) && ok;
        ok = kyResolve(lib, "NeAACDecInit2", t.init2) && ok;
        ok = kyResolve(lib, "NeAACDecDecode", t.decode) && ok;
        ok = kyResolve(lib, "NeAACDecGetVersion", t.getVersion) && ok;
        return ok ? &t : nullptr;
    }();
    return table;
}
