#pragma once
// libtwolame, loaded at run time: the entry points the MPEG layer II encoder uses.
#include <twolame.h>

struct kyTwolameLibrary {
    decltype(&twolame_init) init;
    decltype(&twolame_close) close;
    decltype(&twolame_set_in_samplerate) setInSamplerate;
    decltype(&twolame_set_out_samplerate) setOutSamplerate;
    decltype(&twolame_set_num_channels) setNumChannels;
    decltype(&twolame_set_mode) setMode;
    decltype(&twolame_set_version) setVersion;
    decltype(&twolame_set_bitrate) setBitrate;
    decltype(&twolame_set_energy_levels) setEnergyLevels;
    decltype(&twolame_set_verbosity) setVerbosity;
    decltype(&twolame_init_params) initParams;
    decltype(&twolame_encode_buffer_float32) encodeBufferFloat32;
    decltype(&twolame_encode_flush) encodeFlush;
    decltype(&get_twolame_version) version;

    // The table, resolved once per process; null when the library or an entry point is missing.
    static const kyTwolameLibrary* Get();
};
