
# Loudness benchmark: libebur128 runs beside our BS.1770 analyzer.
find_library(EBUR128_LIBRARY ebur128)
if(EBUR128_LIBRARY AND TARGET loudness_bench)
  target_link_libraries(loudness_bench PRIVATE ${EBUR128_LIBRARY})
  target_compile_definitions(loudness_bench PRIVATE DSKR_HAVE_EBUR128=1)
endif()

# The command-line benchmark runs the built dskr-cli.
if(TARGET cli_rip_bench)
  target_compile_definitions(cli_rip_bench PRIVATE DSKR_BINARY_DIR="${CMAKE_BINARY_DIR}")
  add_dependencies(cli_rip_bench dskr-cli)
endif()

# The lossless rip benchmark runs the built dskr-cli beside flac and wavpack.
if(TARGET lossless_rip_bench)
  target_compile_definitions(lossless_rip_bench PRIVATE DSKR_BINARY_DIR="${CMAKE_BINARY_DIR}")
  add_dependencies(lossless_rip_bench dskr-cli)
endif()

# The Shorten and Musepack benchmark runs the built dskr-cli beside flac and mpcenc.
if(TARGET shn_mpc_bench)
  target_compile_definitions(shn_mpc_bench PRIVATE DSKR_BINARY_DIR="${CMAKE_BINARY_DIR}")
  add_dependencies(shn_mpc_bench dskr-cli)
endif()

# The verified burst benchmark serves the AccurateRip record from the tests' local HTTP
# server; without the tests it is not built.
if(TARGET verified_burst_bench)
  if(TARGET dskr_test_support)
    target_link_libraries(verified_burst_bench PRIVATE dskr_test_support)
  else()
    set_target_properties(verified_burst_bench PROPERTIES EXCLUDE_FROM_ALL ON)
  endif()
endif()
