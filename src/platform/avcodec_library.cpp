#include "platform/avcodec_library.h"
#include "platform/library_loader.h"

const kyAvutilLibrary* kyAvutilLibrary::Get() {
    static const kyAvutilLibrary* table = []() -> const kyAvutilLibrary* {
        static kyAvutilLibrary t;
        const kyLibrary* lib = kyLibrary::Load({"libavutil.so.57"});
        bool ok = kyResolve(lib, "av_frame_alloc", t.frameAlloc);
        ok = kyResolve(lib, "av_frame_free", t.frameFree) && ok;
        ok = kyResolve(lib, "av_frame_get_buffer", t.frameGetBuffer) && ok;
        ok = kyResolve(lib, "av_frame_make_writable", t.frameMakeWritable) && ok;
        ok = kyResolve(lib, "av_channel_layout_default", t.channelLayoutDefault) && ok;
        ok = kyResolve(lib, "av_channel_layout_copy", t.channelLayoutCopy) && ok;
        ok = kyResolve(lib, "av_opt_set_int", t.optSetInt) && ok;
        ok = kyResolve(lib, "av_log_set_level", t.logSetLevel) && ok;
        ok = kyResolve(lib, "avutil_version", t.version) && ok;
        if (!ok) return nullptr;
        // The library's messages would land in the middle of our own output.
        t.logSetLevel(AV_LOG_QUIET);
        return &t;
    }();
    return table;
}

const kyAvcodecLibrary* kyAvcodecLibrary::Get() {
    static const kyAvcodecLibrary* table = []() -> const kyAvcodecLibrary* {
        static kyAvcodecLibrary t;
        // libavcodec is useless without its libavutil: both or neither.
        if (!kyAvutilLibrary::Get()) return nullptr;
        const kyLibrary* lib = kyLibrary::Load({"libavcodec.so.59"});
        bool ok = kyResolve(lib, "avcodec_find_encoder_by_name", t.findEncoderByName);
        ok = kyResolve(lib, "avcodec_alloc_context3", t.allocContext) && ok;
        ok = kyResolve(lib, "avcodec_open2", t.open) && ok;
        ok = kyResolve(lib, "avcodec_free_context", t.freeContext) && ok;
        ok = kyResolve(lib, "avcodec_send_frame", t.sendFrame) && ok;
        ok = kyResolve(lib, "avcodec_receive_packet", t.receivePacket) && ok;
        ok = kyResolve(lib, "av_packet_alloc", t.packetAlloc) && ok;
        ok = kyResolve(lib, "av_packet_free", t.packetFree) && ok;
        ok = kyResolve(lib, "av_packet_unref", t.packetUnref) && ok;
        ok = kyResolve(lib, "avcodec_version", t.version) && ok;
        return ok ? &t : nullptr;
    }();
    return table;
}
