#pragma once
// libfaad (FAAD2), loaded at run time: the entry points the AAC decoder uses.
#include <neaacdec.h>

struct kyFaadLibrary {
    decltype(&NeAACDecOpen) open;
    decltype(&NeAACDecClose) close;
    decltype(&NeAACDecGetCurrentConfiguration) getCurrentConfiguration;
    decltype(&NeAACDecSetConfiguration) setConfiguration;
    decltype(&NeAACDecInit) init;
    decltype(&NeAACDecInit2) init2;
    decltype(&NeAACDecDecode) decode;
    decltype(&NeAACDecGetVersion) getVersion;

    // The table, resolved once per process; null when the library or an entry point is missing.
    static const kyFaadLibrary* Get();
};
