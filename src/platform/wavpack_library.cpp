#include "platform/wavpack_library.h"
#include "platform/library_loader.h"

namespace {
const kyResolvedTable<kyWavPackEncoderLibrary>& encoder() {
    static const kyResolvedTable<kyWavPackEncoderLibrary> r = [] {
        kyResolvedTable<kyWavPackEncoderLibrary> r;
        kyWavPackEncoderLibrary& t = r.table;
        kyEntryPoints get(KY_WAVPACK_LIBRARY);
        get("WavpackOpenFileOutput", t.openFileOutput);
        get("WavpackSetConfiguration64", t.setConfiguration);
        get("WavpackPackInit", t.packInit);
        get("WavpackPackSamples", t.packSamples);
        get("WavpackFlushSamples", t.flushSamples);
        get("WavpackUpdateNumSamples", t.updateNumSamples);
        get("WavpackGetErrorMessage", t.getErrorMessage);
        get("WavpackCloseFile", t.closeFile);
        r.missing = get.missing();
        return r;
    }();
    return r;
}

const kyResolvedTable<kyWavPackDecoderLibrary>& decoder() {
    static const kyResolvedTable<kyWavPackDecoderLibrary> r = [] {
        kyResolvedTable<kyWavPackDecoderLibrary> r;
        kyWavPackDecoderLibrary& t = r.table;
        kyEntryPoints get(KY_WAVPACK_LIBRARY);
        get("WavpackOpenFileInputEx64", t.openFileInput);
        get("WavpackGetMode", t.getMode);
        get("WavpackGetNumChannels", t.getNumChannels);
        get("WavpackGetSampleRate", t.getSampleRate);
        get("WavpackGetBitsPerSample", t.getBitsPerSample);
        get("WavpackGetBytesPerSample", t.getBytesPerSample);
        get("WavpackGetNumSamples64", t.getNumSamples);
        get("WavpackGetChannelMask", t.getChannelMask);
        get("WavpackGetNumErrors", t.getNumErrors);
        get("WavpackUnpackSamples", t.unpackSamples);
        get("WavpackSeekSample64", t.seekSample);
        get("WavpackCloseFile", t.closeFile);
        r.missing = get.missing();
        return r;
    }();
    return r;
}
} // namespace

const kyWavPackEncoderLibrary* kyWavPackEncoderLibrary::Get() {
    return encoder().get();
}
const std::string& kyWavPackEncoderLibrary::Missing() {
    return encoder().missing;
}
const kyWavPackDecoderLibrary* kyWavPackDecoderLibrary::Get() {
    return decoder().get();
}
const std::string& kyWavPackDecoderLibrary::Missing() {
    return decoder().missing;
}
