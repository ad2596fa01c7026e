#pragma once
// libpulse-simple, loaded at run time: the blocking playback stream of the sound-card
// output. The few types and constants are declared here, so the build needs no PulseAudio
// headers.
#include <cstdint>
#include <string>

struct kyPulseSimple; // pa_simple

struct kyPulseSampleSpec { // pa_sample_spec
    int format;
    uint32_t rate;
    uint8_t channels;
};

struct kyPulseBufferAttr { // pa_buffer_attr; (uint32_t)-1 leaves a field to the server
    uint32_t maxlength, tlength, prebuf, minreq, fragsize;
};

struct kyPulseLibrary {
    static constexpr int kStreamPlayback = 1;
    static constexpr int kSampleFloat32LE = 5;

    kyPulseSimple* (*create)(const char* server, const char* name, int dir, const char* dev,
                             const char* streamName, const kyPulseSampleSpec*, const void* map,
                             const kyPulseBufferAttr*, int* error);
    void (*free)(kyPulseSimple*);
    int (*write)(kyPulseSimple*, const void*, size_t, int* error);
    uint64_t (*latency)(kyPulseSimple*, int* error);
    int (*flush)(kyPulseSimple*, int* error);
    const char* (*strerror)(int); // from libpulse.so.0

    static const kyPulseLibrary* Get();
    static const std::string& Missing();
};
