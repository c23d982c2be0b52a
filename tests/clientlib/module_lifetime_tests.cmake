# wharfcore.dll as COM clients hold it: which of its objects keep it loaded. A port node of the
# test driver and the simulated server on "." supply a device and a shared port.
wharf_add_test(module_lifetime_tests
  SOURCES ${WHARF_TEST_DIR}/module_lifetime_tests.cpp
  LIBS wharfcore_headers trellum corun setupapi ole32 oleaut32 uuid advapi32
  OVERRIDES "msports,newdev=n,b"
  FIXTURES port_doubles
  LOCKS com_registration service_pipe port_devices
  TIMEOUT 60)
wharf_port_doubles(module_lifetime_tests)
target_include_directories(module_lifetime_tests PRIVATE ${CMAKE_SOURCE_DIR}/clientlib ${WHARF_TEST_DIR})
target_compile_definitions(module_lifetime_tests PRIVATE WHARFCORE_DLL="$<TARGET_FILE:wharfcore>")
add_dependencies(module_lifetime_tests wharfcore wharf_sim_server)
