#pragma once
// libasound, loaded at run time: the PCM playback and device-hint entry points of the
// sound-card output. The few types and constants are declared here, so the build needs no
// ALSA headers.
#include <cstdint>
#include <string>

struct pollfd;
struct kyAlsaPcm;      // snd_pcm_t
struct kyAlsaHwParams; // snd_pcm_hw_params_t

struct kyAlsaLibrary {
    using sframes = long;
    using uframes = unsigned long;

    static constexpr int kStreamPlayback = 0;
    static constexpr int kNonBlock = 1;
    static constexpr int kAccessRwInterleaved = 3;
    static constexpr int kStatePrepared = 2;
    static constexpr int kFormatU8 = 1;
    static constexpr int kFormatS16 = 2;
    static constexpr int kFormatS24In4 = 6;
    static constexpr int kFormatS32 = 10;
    static constexpr int kFormatFloat = 14;
    static constexpr int kFormatS24In3 = 32;

    int (*open)(kyAlsaPcm**, const char*, int, int);
    int (*close)(kyAlsaPcm*);
    int (*setParams)(kyAlsaPcm*, int format, int access, unsigned channels, unsigned rate,
                     int softResample, unsigned latencyUs);
    int (*getParams)(kyAlsaPcm*, uframes* bufferSize, uframes* periodSize);
    sframes (*writei)(kyAlsaPcm*, const void*, uframes);
    int (*prepare)(kyAlsaPcm*);
    int (*start)(kyAlsaPcm*);
    int (*drop)(kyAlsaPcm*);
    int (*state)(kyAlsaPcm*);
    int (*recover)(kyAlsaPcm*, int err, int silent);
    int (*delay)(kyAlsaPcm*, sframes*);
    int (*pollCount)(kyAlsaPcm*);
    int (*pollDescriptors)(kyAlsaPcm*, pollfd*, unsigned);
    int (*pollRevents)(kyAlsaPcm*, pollfd*, unsigned, unsigned short*);
    int (*hwParamsMalloc)(kyAlsaHwParams**);
    void (*hwParamsFree)(kyAlsaHwParams*);
    int (*hwParamsAny)(kyAlsaPcm*, kyAlsaHwParams*);
    int (*hwParamsTestRate)(kyAlsaPcm*, kyAlsaHwParams*, unsigned, int);
    int (*hwParamsTestChannels)(kyAlsaPcm*, kyAlsaHwParams*, unsigned);
    int (*hwParamsTestFormat)(kyAlsaPcm*, kyAlsaHwParams*, int);
    int (*nameHint)(int card, const char* iface, void*** hints);
    char* (*nameGetHint)(const void* hint, const char* id);
    int (*nameFreeHint)(void** hints);
    const char* (*strerror)(int);
    int (*setErrorHandler)(void (*)(const char*, int, const char*, int, const char*, ...));

    // The table, resolved once per process (ALSA's own messages on stderr silenced); null
    // when the library or an entry point is missing, and Missing() says which.
    static const kyAlsaLibrary* Get();
    static const std::string& Missing();
};
