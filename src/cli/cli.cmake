add_executable(dskr-cli
  ${CMAKE_CURRENT_SOURCE_DIR}/cli_main.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/cli_options.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/cli_drive.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/cli_file_info.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/cli_info_commands.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/cli_lookup_commands.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/cli_offset_command.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/cli_play_commands.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/cli_run_commands.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/cli_settings.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/json_writer.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/terminal_frontend.cpp)
target_link_libraries(dskr-cli PRIVATE dskr_core)
