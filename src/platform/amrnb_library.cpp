#include "platform/amrnb_library.h"
#include "platform/library_loader.h"

namespace {
const kyLibrary* library() {
    return kyLibrary::Load({"libopencore-amrnb.so.0"});
}
} // namespace

const kyAmrNbEncoderLibrary* kyAmrNbEncoderLibrary::Get() {
    static const kyAmrNbEncoderLibrary* table = []() -> const kyAmrNbEncoderLibrary* {
        static kyAmrNbEncoderLibrary t;
        const kyLibrary* lib = library();
        bool ok = kyResolve(lib, "Encoder_Interface_init", t.init);
        ok = kyResolve(lib, "Encoder_Interface_Encode", t.encode) && ok;
        ok = kyResolve(lib, "Encoder_Interface_exit", t.exit) && ok;
        return ok ? &t : nullptr;
    }();
    return table;
}

const kyAmrNbDecoderLibrary* kyAmrNbDecoderLibrary::Get() {
    static const kyAmrNbDecoderLibrary* table = []() -> const kyAmrNbDecoderLibrary* {
        static kyAmrNbDecoderLibrary t;
        const kyLibrary* lib = library();
        bool ok = kyResolve(lib, "Decoder_Interface_init", t.init);
        ok = kyResolve(lib, "Decoder_Interface_Decode", t.decode) && ok;
        ok = kyResolve(lib, "Decoder_Interface_exit", t.exit) && ok;
        return ok ? &t : nullptr;
    }();
    return table;
}
