#pragma once
// Ogg Vorbis, loaded at run time. The encoder set spans libvorbis, libvorbisenc and libogg;
// the decoder set is libvorbisfile's. They are resolved separately.
#define OV_EXCLUDE_STATIC_CALLBACKS
#include <ogg/ogg.h>
#include <string>
#include <vorbis/codec.h>
#include <vorbis/vorbisenc.h>
#include <vorbis/vorbisfile.h>

constexpr const char* KY_VORBIS_LIBRARY = "libvorbis.so.0";
constexpr const char* KY_VORBISENC_LIBRARY = "libvorbisenc.so.2";
constexpr const char* KY_OGG_LIBRARY = "libogg.so.0";
constexpr const char* KY_VORBISFILE_LIBRARY = "libvorbisfile.so.3";

struct kyVorbisEncoderLibrary {
    // libvorbis
    decltype(&vorbis_info_init) infoInit;
    decltype(&vorbis_info_clear) infoClear;
    decltype(&vorbis_comment_init) commentInit;
    decltype(&vorbis_comment_add_tag) commentAddTag;
    decltype(&vorbis_comment_clear) commentClear;
    decltype(&vorbis_analysis_init) analysisInit;
    decltype(&vorbis_block_init) blockInit;
    decltype(&vorbis_block_clear) blockClear;
    decltype(&vorbis_dsp_clear) dspClear;
    decltype(&vorbis_analysis_headerout) analysisHeaderout;
    decltype(&vorbis_analysis_buffer) analysisBuffer;
    decltype(&vorbis_analysis_wrote) analysisWrote;
    decltype(&vorbis_analysis_blockout) analysisBlockout;
    decltype(&vorbis_analysis) analysis;
    decltype(&vorbis_bitrate_addblock) bitrateAddblock;
    decltype(&vorbis_bitrate_flushpacket) bitrateFlushpacket;
    // libvorbisenc
    decltype(&vorbis_encode_init) encodeInit;
    // libogg
    decltype(&ogg_stream_init) streamInit;
    decltype(&ogg_stream_clear) streamClear;
    decltype(&ogg_stream_packetin) streamPacketin;
    decltype(&ogg_stream_flush) streamFlush;
    decltype(&ogg_stream_pageout) streamPageout;
    decltype(&ogg_page_eos) pageEos;

    // The table, resolved once per process; null when a library or an entry point is
    // missing (Missing() then says which).
    static const kyVorbisEncoderLibrary* Get();
    static const std::string& Missing();
};

struct kyVorbisDecoderLibrary {
    decltype(&ov_open_callbacks) openCallbacks;
    decltype(&ov_clear) clear;
    decltype(&ov_info) info;
    decltype(&ov_comment) comment;
    decltype(&ov_pcm_total) pcmTotal;
    decltype(&ov_read_float) readFloat;
    decltype(&ov_pcm_seek) pcmSeek;

    static const kyVorbisDecoderLibrary* Get();
    static const std::string& Missing();
};
