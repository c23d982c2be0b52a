# Frame, connection and IServer proxy against a scripted transport.
wharf_add_test(arpc_tests
  SOURCES ${WHARF_TEST_DIR}/message_tests.cpp ${WHARF_TEST_DIR}/connection_tests.cpp
          ${WHARF_TEST_DIR}/iserver_proxy_tests.cpp ${CMAKE_SOURCE_DIR}/tests/corun/allocation_probe.cpp
  LIBS arpc)
target_include_directories(arpc_tests PRIVATE ${CMAKE_SOURCE_DIR}/clientlib/include)
