#include "platform/alsa_library.h"
#include "platform/library_loader.h"

namespace {
// ALSA prints every failed probe ("cannot find card") on stderr; failures reach the user
// through our own messages instead.
void quiet(const char*, int, const char*, int, const char*, ...) {}

const kyResolvedTable<kyAlsaLibrary>& table() {
    static const kyResolvedTable<kyAlsaLibrary> r = [] {
        kyResolvedTable<kyAlsaLibrary> r;
        kyAlsaLibrary& t = r.table;
        kyEntryPoints get("libasound.so.2");
        get("snd_pcm_open", t.open);
        get("snd_pcm_close", t.close);
        get("snd_pcm_set_params", t.setParams);
        get("snd_pcm_get_params", t.getParams);
        get("snd_pcm_writei", t.writei);
        get("snd_pcm_prepare", t.prepare);
        get("snd_pcm_start", t.start);
        get("snd_pcm_drop", t.drop);
        get("snd_pcm_state", t.state);
        get("snd_pcm_recover", t.recover);
        get("snd_pcm_delay", t.delay);
        get("snd_pcm_poll_descriptors_count", t.pollCount);
        get("snd_pcm_poll_descriptors", t.pollDescriptors);
        get("snd_pcm_poll_descriptors_revents", t.pollRevents);
        get("snd_pcm_hw_params_malloc", t.hwParamsMalloc);
        get("snd_pcm_hw_params_free", t.hwParamsFree);
        get("snd_pcm_hw_params_any", t.hwParamsAny);
        get("snd_pcm_hw_params_test_rate", t.hwParamsTestRate);
        get("snd_pcm_hw_params_test_channels", t.hwParamsTestChannels);
        get("snd_pcm_hw_params_test_format", t.hwParamsTestFormat);
        get("snd_device_name_hint", t.nameHint);
        get("snd_device_name_get_hint", t.nameGetHint);
        get("snd_device_name_free_hint", t.nameFreeHint);
        get("snd_strerror", t.strerror);
        get("snd_lib_error_set_handler", t.setErrorHandler);
        r.missing = get.missing();
        if (r.missing.empty()) t.setErrorHandler(quiet);
        return r;
    }();
    return r;
}
} // namespace

const kyAlsaLibrary* kyAlsaLibrary::Get() {
    return table().get();
}

const std::string& kyAlsaLibrary::Missing() {
    return table().missing;
}
