# The library's questions to servers, through COM, against the simulated server on ".".
# Long enough for the case that counts the heap over 2,000 queries beside a busy machine.
wharf_add_test(remote_query_tests
  SOURCES ${WHARF_TEST_DIR}/remote_query_tests.cpp
  LIBS wharfcore_headers trellum corun ole32 oleaut32 uuid advapi32
  LOCKS com_registration service_pipe
  TIMEOUT 120)
target_include_directories(remote_query_tests PRIVATE ${CMAKE_SOURCE_DIR}/clientlib ${WHARF_TEST_DIR} ${CMAKE_SOURCE_DIR}/tests/doubles)
target_compile_definitions(remote_query_tests PRIVATE WHARFCORE_DLL="$<TARGET_FILE:wharfcore>" SCRIPT_DIR="${WHARF_TEST_DIR}")
add_dependencies(remote_query_tests wharfcore wharf_sim_server)
