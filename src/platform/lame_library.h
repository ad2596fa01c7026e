#pragma once
// libmp3lame, loaded at run time: the entry points the MPEG layer III encoder uses.
#include <lame/lame.h>

struct kyLameLibrary {
    decltype(&lame_init) init;
    decltype(&lame_close) close;
    decltype(&lame_set_in_samplerate) setInSamplerate;
    decltype(&lame_set_out_samplerate) setOutSamplerate;
    decltype(&lame_set_num_channels) setNumChannels;
    decltype(&lame_set_mode) setMode;
    decltype(&lame_set_brate) setBrate;
    decltype(&lame_set_quality) setQuality;
    decltype(&lame_set_VBR) setVbr;
    decltype(&lame_set_VBR_q) setVbrQ;
    decltype(&lame_set_VBR_mean_bitrate_kbps) setVbrMeanBitrate;
    decltype(&lame_set_VBR_min_bitrate_kbps) setVbrMinBitrate;
    decltype(&lame_set_VBR_max_bitrate_kbps) setVbrMaxBitrate;
    decltype(&lame_set_bWriteVbrTag) setWriteVbrTag;
    decltype(&lame_set_write_id3tag_automatic) setWriteId3tagAutomatic;
    decltype(&lame_set_disable_reservoir) setDisableReservoir;
    decltype(&lame_set_errorf) setErrorf;
    decltype(&lame_set_debugf) setDebugf;
    decltype(&lame_set_msgf) setMsgf;
    decltype(&lame_init_params) initParams;
    decltype(&lame_encode_buffer_ieee_float) encodeBufferIeeeFloat;
    decltype(&lame_encode_flush) encodeFlush;
    decltype(&lame_get_lametag_frame) getLametagFrame;
    decltype(&lame_get_encoder_delay) getEncoderDelay;
    decltype(&get_lame_version) version;

    // The table, resolved once per process; null when the library or an entry point is missing.
    static const kyLameLibrary* Get();
};
