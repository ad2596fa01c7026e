#include "platform/lame_library.h"
#include "platform/library_loader.h"

const kyLameLibrary* kyLameLibrary::Get() {
    static const kyLameLibrary* table = []() -> const kyLameLibrary* {
        static kyLameLibrary t;
        const kyLibrary* lib = kyLibrary::Load({"libmp3lame.so.0"});
        bool ok = kyResolve(lib, "lame_init", t.init);
        ok = kyResolve(lib, "lame_close", t.close) && ok;
        ok = kyResolve(lib, "lame_set_in_samplerate", t.setInSamplerate) && ok;
        ok = kyResolve(lib, "lame_set_out_samplerate", t.setOutSamplerate) && ok;
        ok = kyResolve(lib, "lame_set_num_channels", t.setNumChannels) && ok;
        ok = kyResolve(lib, "lame_set_mode", t.setMode) && ok;
        ok = kyResolve(lib, "lame_set_brate", t.setBrate) && ok;
        ok = kyResolve(lib, "lame_set_quality", t.setQuality) && ok;
        ok = kyResolve(lib, "lame_set_VBR", t.setVbr) && ok;
        ok = kyResolve(lib, "lame_set_VBR_q", t.setVbrQ) && ok;
        ok = kyResolve(lib, "lame_set_VBR_mean_bitrate_kbps", t.setVbrMeanBitrate) && ok;
        ok = kyResolve(lib, "lame_set_VBR_min_bitrate_kbps", t.setVbrMinBitrate) && ok;
        ok = kyResolve(lib, "lame_set_VBR_max_bitrate_kbps", t.setVbrMaxBitrate) && ok;
        ok = kyResolve(lib, "lame_set_bWriteVbrTag", t.setWriteVbrTag) && ok;
        ok = kyResolve(lib, "lame_set_write_id3tag_automatic", t.setWriteId3tagAutomatic) && ok;
        ok = kyResolve(lib, "lame_set_disable_reservoir", t.setDisableReservoir) && ok;
        ok = kyResolve(lib, "lame_set_errorf", t.setErrorf) && ok;
        ok = kyResolve(lib, "lame_set_debugf", t.setDebugf) && ok;
        ok = kyResolve(lib, "lame_set_msgf", t.setMsgf) && ok;
        ok = kyResolve(lib, "lame_init_params", t.initParams) && ok;
        ok = kyResolve(lib, "lame_encode_buffer_ieee_float", t.encodeBufferIeeeFloat) && ok;
        ok = kyResolve(lib, "lame_encode_flush", t.encodeFlush) && ok;
        ok = kyResolve(lib, "lame_get_lametag_frame", t.getLametagFrame) && ok;
        ok = kyResolve(lib, "lame_get_encoder_delay", t.getEncoderDelay) && ok;
        ok = kyResolve(lib, "get_lame_version", t.version) && ok;
        return ok ? &t : nullptr;
    }();
    return table;
}
