# Rules of the device code that need no device: COM numbers, the free-number choice, the
# driver's buffer layout and the threads nobody waits for.
set(clientlib_dir ${CMAKE_SOURCE_DIR}/clientlib)
wharf_add_test(device_rules_tests
  SOURCES
    ${WHARF_TEST_DIR}/com_number_tests.cpp
    ${WHARF_TEST_DIR}/driver_buffers_tests.cpp
    ${WHARF_TEST_DIR}/detached_thread_tests.cpp
    ${clientlib_dir}/free_com_number.cpp
    ${clientlib_dir}/driver_buffers.cpp
    ${clientlib_dir}/port_number_argument.cpp
  LIBS wharfcore_com_ports corun setupapi oleaut32)
target_include_directories(device_rules_tests PRIVATE ${clientlib_dir} ${clientlib_dir}/include)
