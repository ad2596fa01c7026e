#pragma once
// libopencore-amrnb (AMR narrow-band speech codec), loaded at run time. The encoder and the
// decoder entry points are resolved separately: a writer asks only for the encoder set.
#include <cstdint>

struct kyAmrNbEncoderLibrary {
    void* (*init)(int dtx);
    // Codes 160 samples at 8000 Hz in `mode` (0-7) into one frame of the storage format
    // (a table-of-contents byte, then the bits); returns its size in bytes.
    int (*encode)(void* state, int mode, const int16_t* speech, uint8_t* out, int forceSpeech);
    void (*exit)(void* state);

    // The table, resolved once per process; null when the library or an entry point is
    // missing.
    static const kyAmrNbEncoderLibrary* Get();
};

struct kyAmrNbDecoderLibrary {
    void* (*init)();
    // Decodes one frame of the storage format into 160 samples.
    void (*decode)(void* state, const uint8_t* in, int16_t* out, int badFrame);
    void (*exit)(void* state);

    static const kyAmrNbDecoderLibrary* Get();
};
