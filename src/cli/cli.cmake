# The command line: dskr-cli links only the core. Its commands and option table are a
# library of their own, which the documentation generator (and the tests) link too.
include(GNUInstallDirs)

file(GLOB DSKR_CLI_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
list(REMOVE_ITEM DSKR_CLI_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/cli_main.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/cli_docs_main.cpp)
add_library(dskr_cli_lib STATIC ${DSKR_CLI_SOURCES})
target_link_libraries(dskr_cli_lib PUBLIC dskr_core)
target_compile_definitions(dskr_cli_lib PRIVATE DSKR_VERSION="${PROJECT_VERSION}")

add_executable(dskr-cli ${CMAKE_CURRENT_SOURCE_DIR}/cli_main.cpp)
target_link_libraries(dskr-cli PRIVATE dskr_cli_lib)

# The manual page and the bash completion, made from the option table at build time.
add_executable(dskr-cli-docs ${CMAKE_CURRENT_SOURCE_DIR}/cli_docs_main.cpp)
target_link_libraries(dskr-cli-docs PRIVATE dskr_cli_lib)
set(DSKR_CLI_DOCS_DIR ${CMAKE_BINARY_DIR}/share)
add_custom_command(
  OUTPUT ${DSKR_CLI_DOCS_DIR}/dskr-cli.1 ${DSKR_CLI_DOCS_DIR}/dskr-cli.bash
  COMMAND ${CMAKE_COMMAND} -E make_directory ${DSKR_CLI_DOCS_DIR}
  COMMAND dskr-cli-docs ${DSKR_CLI_DOCS_DIR}
  DEPENDS dskr-cli-docs
  COMMENT "Writing the manual page and bash completion of dskr-cli")
add_custom_target(dskr-cli-docs-files ALL
  DEPENDS ${DSKR_CLI_DOCS_DIR}/dskr-cli.1 ${DSKR_CLI_DOCS_DIR}/dskr-cli.bash)

install(TARGETS dskr-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${DSKR_CLI_DOCS_DIR}/dskr-cli.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${DSKR_CLI_DOCS_DIR}/dskr-cli.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME dskr-cli)
