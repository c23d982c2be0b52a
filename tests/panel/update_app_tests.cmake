# The update check of wharfpanel end to end: a copy of the program that asks a local HTTPS
# server (a ctest fixture on the host, with a certificate made for the run) instead of the
# maker's host. Needs the program's build function of panel/CMakeLists.txt.
if(NOT COMMAND wharf_panel_program)
  return()
endif()
if(NOT COMMAND wharf_panel_update_library)
  include(${CMAKE_SOURCE_DIR}/panel/update.cmake)
endif()
# The HTTPS port is built into the test copy of the program. The plain HTTP port is picked by the
# system when the server starts and read by the tests from the server's folder.
wharf_fixed_local_port(update_server_port "update server")
set(update_server_dir ${CMAKE_CURRENT_BINARY_DIR}/update_server)
wharf_panel_update_library(panel_update_local "127.0.0.1:${update_server_port}")
wharf_panel_program(wharfpanel_update_test panel_update_local)
# Its About box cannot be made (the About command throws), so that a test can put the program's
# exception report up while an update check runs.
target_sources(wharfpanel_update_test PRIVATE ${WHARF_TEST_DIR}/about_dialog_fault.cpp)
target_include_directories(wharfpanel_update_test PRIVATE ${CMAKE_SOURCE_DIR}/tests)

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
