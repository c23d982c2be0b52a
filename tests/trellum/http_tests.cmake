# HTTP client against a local Python server started by a ctest fixture on the host.
set(http_server_dir ${CMAKE_CURRENT_BINARY_DIR})
add_test(NAME http_server_start
  COMMAND sh -c "[ -f http_server.pid ] && kill $(cat http_server.pid); rm -f http_server.port http_server.pid; (python3 '${WHARF_TEST_DIR}/http_server.py' http_server.port http_server.pid </dev/null >/dev/null 2>&1 &); i=0; while [ ! -f http_server.port ]; do i=$((i+1)); [ $i -gt 100 ] && exit 1; sleep 0.1; done"
  WORKING_DIRECTORY ${http_server_dir})
set_tests_properties(http_server_start PROPERTIES FIXTURES_SETUP http_server)
add_test(NAME http_server_stop
  COMMAND sh -c "[ -f http_server.pid ] && kill $(cat http_server.pid); rm -f http_server.port http_server.pid"
  WORKING_DIRECTORY ${http_server_dir})
set_tests_properties(http_server_stop PROPERTIES FIXTURES_CLEANUP http_server)

wharf_add_test(http_tests
  SOURCES ${WHARF_TEST_DIR}/http_tests.cpp
  LIBS trellum corun wharf_sysdeps ws2_32
  FIXTURES http_server
  WORKING_DIRECTORY ${http_server_dir})
