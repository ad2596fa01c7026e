
# Loudness analyzers: libebur128 is the BS.1770 analyzer test's independent peer; the
# core never links it.
find_library(EBUR128_LIBRARY ebur128)
if(EBUR128_LIBRARY AND TARGET itu_bs1770_analyzer_test)
  target_link_libraries(itu_bs1770_analyzer_test PRIVATE ${EBUR128_LIBRARY})
  target_compile_definitions(itu_bs1770_analyzer_test PRIVATE DSKR_HAVE_EBUR128=1)
endif()
if(EBUR128_LIBRARY AND TARGET normalize_filter_test)
  target_link_libraries(normalize_filter_test PRIVATE ${EBUR128_LIBRARY})
  target_compile_definitions(normalize_filter_test PRIVATE DSKR_HAVE_EBUR128=1)
endif()

# The command-line tests run the built dskr-cli, read its option table, check its manual
# page and completion, and install it into a scratch prefix.
foreach(cli_test dskr_cli_test dskr_cli_convert_many_test dskr_cli_lookup_test dskr_cli_codecs_test dskr_cli_musicbrainz_test dskr_cli_cue_test dskr_cli_accuraterip_test dskr_cli_play_test
        cli_table_test)
  if(TARGET ${cli_test})
    add_dependencies(${cli_test} dskr-cli dskr-cli-docs-files)
    target_link_libraries(${cli_test} PRIVATE dskr_cli_lib)
    target_compile_definitions(${cli_test} PRIVATE DSKR_CMAKE_COMMAND="${CMAKE_COMMAND}")
  endif()
endforeach()

# A stand-in for the Monkey's Audio library, which no distribution packages: the tests
# point the loader at its folder (DSKR_LIBRARY_PATH) to drive the writer and reader.
add_library(fake_mac SHARED ${CMAKE_CURRENT_SOURCE_DIR}/fake_mac/fake_mac.cpp)
set_target_properties(fake_mac PROPERTIES OUTPUT_NAME MAC PREFIX lib SUFFIX .so
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/fake-mac)
foreach(t ape_test dskr_cli_codecs_test)
  if(TARGET ${t})
    add_dependencies(${t} fake_mac)
    target_compile_definitions(${t} PRIVATE DSKR_FAKE_MAC_DIR="${CMAKE_BINARY_DIR}/tests/fake-mac")
  endif()
endforeach()
