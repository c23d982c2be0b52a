# The connection and proxy end to end against the simulated server.
wharf_add_test(sim_server_tests
  SOURCES ${WHARF_TEST_DIR}/sim_server_tests.cpp
  LIBS arpc)
target_include_directories(sim_server_tests PRIVATE ${CMAKE_SOURCE_DIR}/clientlib/include)
add_dependencies(sim_server_tests wharf_sim_server)
target_include_directories(sim_server_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/doubles)
