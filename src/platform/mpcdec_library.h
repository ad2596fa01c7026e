#pragma once
// libmpcdec (Musepack SV7 and SV8 decoding), loaded at run time: the demuxer calls a
// reader uses.
#include <mpc/mpcdec.h>
#include <string>

constexpr const char* KY_MPCDEC_LIBRARY = "libmpcdec.so.6";

struct kyMpcDecoderLibrary {
    decltype(&mpc_demux_init) demuxInit;
    decltype(&mpc_demux_exit) demuxExit;
    decltype(&mpc_demux_get_info) getInfo;
    decltype(&mpc_demux_decode) decode;

    // The table, resolved once per process; null when the library or an entry point is
    // missing (Missing() then says which).
    static const kyMpcDecoderLibrary* Get();
    static const std::string& Missing();
};
