#include "platform/twolame_library.h"
#include "platform/library_loader.h"

const kyTwolameLibrary* kyTwolameLibrary::Get() {
    static const kyTwolameLibrary* table = []() -> const kyTwolameLibrary* {
        static kyTwolameLibrary t;
        const kyLibrary* lib = kyLibrary::Load({"libtwolame.so.0"});
        bool ok = kyResolve(lib, "twolame_init", t.init);
        ok = kyResolve(lib, "twolame_close", t.close) && ok;
        ok = kyResolve(lib, "twolame_set_in_samplerate", t.setInSamplerate) && ok;
        ok = kyResolve(lib, "twolame_set_out_samplerate", t.setOutSamplerate) && ok;
        ok = kyResolve(lib, "twolame_set_num_channels", t.setNumChannels) && ok;
        ok = kyResolve(lib, "twolame_set_mode", t.setMode) && ok;
        ok = kyResolve(lib, "twolame_set_version", t.setVersion) && ok;
        ok = kyResolve(lib, "twolame_set_bitrate", t.setBitrate) && ok;
        ok = kyResolve(lib, "twolame_set_energy_levels", t.setEnergyLevels) && ok;
        ok = kyResolve(lib, "twolame_set_verbosity", t.setVerbosity) && ok;
        ok = kyResolve(lib, "twolame_init_params", t.initParams) && ok;
        ok = kyResolve(lib, "twolame_encode_buffer_float32", t.encodeBufferFloat32) && ok;
        ok = kyResolve(lib, "twolame_encode_flush", t.encodeFlush) && ok;
        ok = kyResolve(lib, "get_twolame_version", t.version) && ok;
        return ok ? &t : nullptr;
    }();
    return table;
}
