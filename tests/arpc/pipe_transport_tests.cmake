# The pipe transport, client and server halves, against plain pipes on this machine.
wharf_add_test(pipe_transport_tests
  SOURCES ${WHARF_TEST_DIR}/pipe_transport_tests.cpp
  LIBS arpc)
target_include_directories(pipe_transport_tests PRIVATE ${CMAKE_SOURCE_DIR}/clientlib/include)
