# Node creation, the driver channel and node removal against the test driver and the COM port
# database and device installer doubles, below the COM surface.
set(clientlib_dir ${CMAKE_SOURCE_DIR}/clientlib)
wharf_add_test(device_nodes_tests
  SOURCES
    ${WHARF_TEST_DIR}/device_nodes_tests.cpp
    ${clientlib_dir}/create_port_device.cpp
    ${clientlib_dir}/remove_device_node.cpp
    ${clientlib_dir}/comdb.cpp
    ${clientlib_dir}/system_library.cpp
    ${clientlib_dir}/driver_buffers.cpp
    ${clientlib_dir}/driver_exchange.cpp
  LIBS wharfcore_com_ports corun setupapi cfgmgr32 msports advapi32
  OVERRIDES "msports,newdev=n,b"
  FIXTURES port_doubles
  LOCKS port_devices
  TIMEOUT 60)
target_include_directories(device_nodes_tests PRIVATE ${clientlib_dir} ${clientlib_dir}/include)
wharf_port_doubles(device_nodes_tests)
