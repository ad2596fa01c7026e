#pragma once
// libmpg123, loaded at run time: the entry points the MPEG audio decoder uses. The table is
// handed out only once the library's one-time initialisation succeeded.
#include <mpg123.h>

struct kyMpg123Library {
    decltype(&mpg123_init) init;
    decltype(&mpg123_new) create;
    decltype(&mpg123_delete) destroy;
    decltype(&mpg123_param) param;
    decltype(&mpg123_format_none) formatNone;
    decltype(&mpg123_rates) rates;
    decltype(&mpg123_format) format;
    decltype(&mpg123_open_feed) openFeed;
    decltype(&mpg123_feed) feed;
    decltype(&mpg123_read) read;
    decltype(&mpg123_getformat) getFormat;

    // The table, resolved once per process; null when the library or an entry point is missing.
    static const kyMpg123Library* Get();
};
