# GSM 06.10 (libgsm, linked; Debian ships no pkg-config file for it)
find_path(GSM_INCLUDE_DIR gsm.h PATH_SUFFIXES gsm REQUIRED)
find_library(GSM_LIBRARY gsm REQUIRED)
target_include_directories(dskr_core PRIVATE ${GSM_INCLUDE_DIR})
target_link_libraries(dskr_core PUBLIC ${GSM_LIBRARY})

# MPEG audio decoding in the WAV reader (libmpg123, linked)
pkg_check_modules(MPG123 REQUIRED IMPORTED_TARGET libmpg123)
target_link_libraries(dskr_core PUBLIC PkgConfig::MPG123)

# HTTP for the disc databases (libcurl, linked)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
target_link_libraries(dskr_core PUBLIC PkgConfig::CURL)

# JSON answers of the MusicBrainz web service (nlohmann-json, header only)
find_package(nlohmann_json 3 REQUIRED)
target_link_libraries(dskr_core PUBLIC nlohmann_json::nlohmann_json)
