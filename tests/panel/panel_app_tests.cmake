# wharfpanel.exe driven from outside: started as a process, its windows read and pressed.
wharf_add_test(panel_app_tests
  SOURCES ${WHARF_TEST_DIR}/panel_app_tests.cpp
  LIBS ole32 oleaut32 uuid advapi32 user32 comctl32
  LOCKS com_registration service_pipe
  TIMEOUT 180)
target_include_directories(panel_app_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/clientlib ${CMAKE_SOURCE_DIR}/tests/doubles)
target_compile_definitions(panel_app_tests PRIVATE WHARFCORE_DLL="$<TARGET_FILE:wharfcore>"
  WHARFPANEL_EXE="$<TARGET_FILE:wharfpanel>")
add_dependencies(panel_app_tests wharfcore wharfpanel wharf_sim_server)
