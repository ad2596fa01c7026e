# GSM 06.10 (libgsm, linked; Debian ships no pkg-config file for it)
find_path(GSM_INCLUDE_DIR gsm.h PATH_SUFFIXES gsm REQUIRED)
find_library(GSM_LIBRARY gsm REQUIRED)
target_include_directories(dskr_core PRIVATE ${GSM_INCLUDE_DIR})
target_link_libraries(dskr_core PUBLIC ${GSM_LIBRARY})

# Codec libraries loaded at run time (src/platform/*_library.*): only their headers are
# needed to build; the program never links them, so a machine without one still runs.
pkg_check_modules(MPG123 REQUIRED libmpg123)
pkg_check_modules(TWOLAME REQUIRED twolame)
pkg_check_modules(AVCODEC REQUIRED libavcodec libavutil)
find_path(LAME_INCLUDE_DIR lame/lame.h REQUIRED)
find_path(FAAD_INCLUDE_DIR neaacdec.h REQUIRED)
target_include_directories(dskr_core PUBLIC ${MPG123_INCLUDE_DIRS} ${TWOLAME_INCLUDE_DIRS}
  ${AVCODEC_INCLUDE_DIRS} ${LAME_INCLUDE_DIR} ${FAAD_INCLUDE_DIR})

# HTTP for the disc databases (libcurl, linked)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
target_link_libraries(dskr_core PUBLIC PkgConfig::CURL)

# CRC-32 of ripped audio and compressed QuickTime movie headers (zlib, linked)
find_package(ZLIB REQUIRED)
target_link_libraries(dskr_core PUBLIC ZLIB::ZLIB)

# JSON answers of the MusicBrainz web service and disc names given as JSON (nlohmann-json, header only)
find_package(nlohmann_json 3 REQUIRED)
target_link_libraries(dskr_core PUBLIC nlohmann_json::nlohmann_json)
