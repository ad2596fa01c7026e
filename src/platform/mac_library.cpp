#include "platform/mac_library.h"
#include "core/text.h"
#include "platform/library_loader.h"

namespace {
const kyResolvedTable<kyMacEncoderLibrary>& encoder() {
    static const kyResolvedTable<kyMacEncoderLibrary> r = [] {
        kyResolvedTable<kyMacEncoderLibrary> r;
        kyMacEncoderLibrary& t = r.table;
        kyEntryPoints get(KY_MAC_LIBRARY);
        get("c_APECompress_Create", t.create);
        get("c_APECompress_Destroy", t.destroy);
        get("c_APECompress_StartW", t.startW);
        get("c_APECompress_LockBuffer", t.lockBuffer);
        get("c_APECompress_UnlockBuffer", t.unlockBuffer);
        get("c_APECompress_Finish", t.finish);
        r.missing = get.missing();
        return r;
    }();
    return r;
}

const kyResolvedTable<kyMacDecoderLibrary>& decoder() {
    static const kyResolvedTable<kyMacDecoderLibrary> r = [] {
        kyResolvedTable<kyMacDecoderLibrary> r;
        kyMacDecoderLibrary& t = r.table;
        kyEntryPoints get(KY_MAC_LIBRARY);
        get("c_APEDecompress_CreateW", t.createW);
        get("c_APEDecompress_Destroy", t.destroy);
        get("c_APEDecompress_GetData", t.getData);
        get("c_APEDecompress_Seek", t.seek);
        get("c_APEDecompress_GetInfo", t.getInfo);
        r.missing = get.missing();
        return r;
    }();
    return r;
}
} // namespace

const kyMacEncoderLibrary* kyMacEncoderLibrary::Get() {
    return encoder().get();
}
const std::string& kyMacEncoderLibrary::Missing() {
    return encoder().missing;
}
const kyMacDecoderLibrary* kyMacDecoderLibrary::Get() {
    return decoder().get();
}
const std::string& kyMacDecoderLibrary::Missing() {
    return decoder().missing;
}

std::wstring kyMacFileName(const std::string& utf8) {
    const std::u32string code = kyUtf8ToUtf32(utf8);
    return std::wstring(code.begin(), code.end());
}
