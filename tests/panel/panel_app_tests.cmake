# wharfpanel.exe driven from outside: started as a process, its windows read and pressed. Every
# test that starts the program holds panel_program (one program at a time owns the reply
# mailslot) and desktop_input (its windows take the display's focus).
# A copy of the program that asks 127.0.0.1, at a port of this build folder's own (suites of other
# builds run beside), for updates: a test listens there and never answers, so the update check
# waits until the program closes.
if(NOT COMMAND wharf_panel_update_library)
  include(${CMAKE_SOURCE_DIR}/panel/update.cmake)
endif()
wharf_fixed_local_port(silent_update_port "silent update host")
wharf_panel_update_library(panel_update_silent "127.0.0.1:${silent_update_port}")
wharf_panel_program(wharfpanel_silent_update panel_update_silent)
# It also counts the datagrams its listener reads (reply_read_counter.cpp).
target_sources(wharfpanel_silent_update PRIVATE ${WHARF_TEST_DIR}/reply_read_counter.cpp)
target_include_directories(wharfpanel_silent_update PRIVATE ${CMAKE_SOURCE_DIR}/tests)
# A copy of the program whose About box cannot be made: the About command's handler throws, so
# that the tests see what the program does with an exception that leaves a window handler.
wharf_panel_program(wharfpanel_about_fault panel_update)
target_sources(wharfpanel_about_fault PRIVATE ${WHARF_TEST_DIR}/about_dialog_fault.cpp)
target_include_directories(wharfpanel_about_fault PRIVATE ${CMAKE_SOURCE_DIR}/tests)

wharf_add_test(panel_app_tests
  SOURCES ${WHARF_TEST_DIR}/panel_app_tests.cpp
  LIBS ole32 oleaut32 uuid advapi32 user32 comctl32 ws2_32
  LOCKS com_registration service_pipe panel_program desktop_input
  TIMEOUT 60)
target_include_directories(panel_app_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/clientlib ${CMAKE_SOURCE_DIR}/tests/doubles)
target_compile_definitions(panel_app_tests PRIVATE WHARFCORE_DLL="$<TARGET_FILE:wharfcore>"
  WHARFPANEL_EXE="$<TARGET_FILE:wharfpanel>" WHARFPANEL_SILENT_UPDATE_EXE="$<TARGET_FILE:wharfpanel_silent_update>"
  WHARFPANEL_ABOUT_FAULT_EXE="$<TARGET_FILE:wharfpanel_about_fault>"
  SILENT_UPDATE_PORT=${silent_update_port})
add_dependencies(panel_app_tests wharfcore wharfpanel wharfpanel_silent_update wharfpanel_about_fault wharf_sim_server picker_double)

# Connect and Delete need the port doubles: the library loads msports.dll and newdev.dll from the
# system folder only, where the port_doubles set-up put the doubles (taken there through the
# override). These tests register and start copies placed in the doubles' folder.
set(WHARF_PANEL_TEST_COPY ${WHARF_DOUBLES_DIR}/wharfpanel.exe)
set(WHARF_CORE_TEST_COPY ${WHARF_DOUBLES_DIR}/wharfcore.dll)
add_custom_command(OUTPUT ${WHARF_PANEL_TEST_COPY} ${WHARF_CORE_TEST_COPY}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:wharfpanel> ${WHARF_PANEL_TEST_COPY}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:wharfcore> ${WHARF_CORE_TEST_COPY}
  DEPENDS wharfpanel wharfcore
  VERBATIM)
add_custom_target(wharfpanel_test_copy DEPENDS ${WHARF_PANEL_TEST_COPY} ${WHARF_CORE_TEST_COPY})
wharf_add_test(panel_connect_tests
  SOURCES ${WHARF_TEST_DIR}/panel_connect_tests.cpp
  LIBS panel_core setupapi ole32 oleaut32 uuid advapi32 user32 comctl32
  OVERRIDES "msports,newdev=n,b"
  FIXTURES port_doubles
  LOCKS com_registration service_pipe panel_program port_devices desktop_input
  TIMEOUT 120)
wharf_port_doubles(panel_connect_tests)
target_include_directories(panel_connect_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/clientlib)
target_compile_definitions(panel_connect_tests PRIVATE WHARFCORE_DLL="${WHARF_CORE_TEST_COPY}"
  WHARFPANEL_EXE="$<TARGET_FILE:wharfpanel>" WHARFPANEL_TEST_COPY="${WHARF_PANEL_TEST_COPY}")
add_dependencies(panel_connect_tests wharfcore wharfpanel_test_copy wharf_sim_server wharfpanel_string_fault)

# The program whose own string allocations fail after the port name's, so that a step of Connect
# after createPort fails; beside the test copy, for the same doubles.
wharf_panel_program(wharfpanel_string_fault panel_update)
target_sources(wharfpanel_string_fault PRIVATE ${WHARF_TEST_DIR}/string_allocation_fault.cpp)
target_include_directories(wharfpanel_string_fault PRIVATE ${CMAKE_SOURCE_DIR}/tests)
set_target_properties(wharfpanel_string_fault PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${WHARF_DOUBLES_DIR})
target_compile_definitions(panel_connect_tests PRIVATE
  WHARFPANEL_STRING_FAULT="$<TARGET_FILE:wharfpanel_string_fault>")
