#pragma once
// FFmpeg's libavcodec and libavutil, loaded at run time: the entry points the AAC encoder
// uses (FFmpeg's own AAC encoder). One table per library.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

struct kyAvutilLibrary {
    decltype(&av_frame_alloc) frameAlloc;
    decltype(&av_frame_free) frameFree;
    decltype(&av_frame_get_buffer) frameGetBuffer;
    decltype(&av_frame_make_writable) frameMakeWritable;
    decltype(&av_channel_layout_default) channelLayoutDefault;
    decltype(&av_channel_layout_copy) channelLayoutCopy;
    decltype(&av_opt_set_int) optSetInt;
    decltype(&av_log_set_level) logSetLevel;
    decltype(&avutil_version) version;

    // The table, resolved once per process; null when the library or an entry point is missing.
    static const kyAvutilLibrary* Get();
};

struct kyAvcodecLibrary {
    decltype(&avcodec_find_encoder_by_name) findEncoderByName;
    decltype(&avcodec_alloc_context3) allocContext;
    decltype(&avcodec_open2) open;
    decltype(&avcodec_free_context) freeContext;
    decltype(&avcodec_send_frame) sendFrame;
    decltype(&avcodec_receive_packet) receivePacket;
    decltype(&av_packet_alloc) packetAlloc;
    decltype(&av_packet_free) packetFree;
    decltype(&av_packet_unref) packetUnref;
    decltype(&avcodec_version) version;

    // The table, resolved once per process; null when the library or an entry point is missing.
    static const kyAvcodecLibrary* Get();
};
