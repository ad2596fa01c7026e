#pragma once
// libwavpack, loaded at run time: the packing calls a writer uses and the unpacking calls a
// reader uses, resolved separately.
#include <string>
#include <wavpack/wavpack.h>

constexpr const char* KY_WAVPACK_LIBRARY = "libwavpack.so.1";

struct kyWavPackEncoderLibrary {
    decltype(&WavpackOpenFileOutput) openFileOutput;
    decltype(&WavpackSetConfiguration64) setConfiguration;
    decltype(&WavpackPackInit) packInit;
    decltype(&WavpackPackSamples) packSamples;
    decltype(&WavpackFlushSamples) flushSamples;
    decltype(&WavpackUpdateNumSamples) updateNumSamples;
    decltype(&WavpackGetErrorMessage) getErrorMessage;
    decltype(&WavpackCloseFile) closeFile;

    // The table, resolved once per process; null when the library or an entry point is
    // missing (Missing() then says which).
    static const kyWavPackEncoderLibrary* Get();
    static const std::string& Missing();
};

struct kyWavPackDecoderLibrary {
    decltype(&WavpackOpenFileInputEx64) openFileInput;
    decltype(&WavpackGetMode) getMode;
    decltype(&WavpackGetNumChannels) getNumChannels;
    decltype(&WavpackGetSampleRate) getSampleRate;
    decltype(&WavpackGetBitsPerSample) getBitsPerSample;
    decltype(&WavpackGetBytesPerSample) getBytesPerSample;
    decltype(&WavpackGetNumSamples64) getNumSamples;
    decltype(&WavpackGetChannelMask) getChannelMask;
    decltype(&WavpackGetNumErrors) getNumErrors;
    decltype(&WavpackUnpackSamples) unpackSamples;
    decltype(&WavpackSeekSample64) seekSample;
    decltype(&WavpackCloseFile) closeFile;

    static const kyWavPackDecoderLibrary* Get();
    static const std::string& Missing();
};
