# The update check of wharfpanel end to end: a copy of the program that asks a local HTTPS
# server (a ctest fixture on the host, with a certificate made for the run) instead of the
# maker's host. Needs the program's build function of panel/CMakeLists.txt.
if(NOT COMMAND wharf_panel_program)
  return()
endif()
if(NOT COMMAND wharf_panel_update_library)
  include(${CMAKE_SOURCE_DIR}/panel/update.cmake)
endif()
# The HTTPS port is built into the test copy of the program, so the server cannot pick it when it
# starts. It lies below the range the system takes ports for outgoing connections from, so no
# connection can hold it; suites of other builds on the same machine (other clones, other
# worktrees) run at the same time, so each build folder takes its own. The plain HTTP port is
# picked by the system when the server starts and read by the tests from the server's folder.
set(ephemeral_low 32768)
if(EXISTS /proc/sys/net/ipv4/ip_local_port_range)
  file(READ /proc/sys/net/ipv4/ip_local_port_range port_range)
  string(REGEX MATCH "^[0-9]+" ephemeral_low "${port_range}")
endif()
if(NOT ephemeral_low OR ephemeral_low LESS 12000)
  set(ephemeral_low 32768)
endif()
math(EXPR port_span "${ephemeral_low} - 10000")
if(port_span GREATER 10000)
  set(port_span 10000)
endif()
string(MD5 build_folder_hash "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${build_folder_hash}" 0 4 port_digits)
math(EXPR update_server_port "${ephemeral_low} - 1 - 0x${port_digits} % ${port_span}")
set(update_server_dir ${CMAKE_CURRENT_BINARY_DIR}/update_server)
wharf_panel_update_library(panel_update_local "127.0.0.1:${update_server_port}")
wharf_panel_program(wharfpanel_update_test panel_update_local)

add_test(NAME update_server_start
  COMMAND sh ${WHARF_TEST_DIR}/update_server.sh start ${update_server_dir} ${update_server_port}
    $<TARGET_FILE:update_installer_stub>)
set_tests_properties(update_server_start PROPERTIES FIXTURES_SETUP update_server RESOURCE_LOCK update_server)
add_test(NAME update_server_stop COMMAND sh ${WHARF_TEST_DIR}/update_server.sh stop ${update_server_dir})
set_tests_properties(update_server_stop PROPERTIES FIXTURES_CLEANUP update_server RESOURCE_LOCK update_server)

wharf_add_test(update_app_tests
  SOURCES ${WHARF_TEST_DIR}/update_app_tests.cpp
  LIBS ole32 oleaut32 uuid advapi32 user32 crypt32 windowscodecs
  LOCKS com_registration update_server panel_program desktop_input
  FIXTURES update_server
  TIMEOUT 150)
target_include_directories(update_app_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/clientlib)
target_compile_definitions(update_app_tests PRIVATE WHARFCORE_DLL="$<TARGET_FILE:wharfcore>"
  WHARFPANEL_EXE="$<TARGET_FILE:wharfpanel_update_test>" UPDATE_SERVER_DIR="${update_server_dir}"
  UPDATE_SERVER_PORT=${update_server_port})
add_dependencies(update_app_tests wharfcore wharfpanel_update_test update_installer_stub)
