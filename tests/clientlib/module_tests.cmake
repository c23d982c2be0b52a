# The COM module of wharfcore: registration, type information, factory, exports, and the
# driver package installer with the DIFxAPI double.
wharf_add_test(module_tests
  SOURCES
    ${WHARF_TEST_DIR}/module_registration_tests.cpp
    ${WHARF_TEST_DIR}/module_factory_tests.cpp
    ${WHARF_TEST_DIR}/auto_install_tests.cpp
    ${CMAKE_SOURCE_DIR}/clientlib/port_description.cpp
  LIBS wharfcore_headers trellum corun ole32 oleaut32 uuid advapi32
  # Wine has a builtin DIFxAPI; the double beside the library copy must win.
  OVERRIDES "difxapi=n,b"
  LOCKS com_registration
  TIMEOUT 60)
target_include_directories(module_tests PRIVATE ${CMAKE_SOURCE_DIR}/clientlib ${WHARF_TEST_DIR})
target_compile_definitions(module_tests PRIVATE
  WHARFCORE_DLL="$<TARGET_FILE:wharfcore>"
  DIFX_FULL_DIR="${CMAKE_BINARY_DIR}/tests/difxapi_full"
  DIFX_PARTIAL_DIR="${CMAKE_BINARY_DIR}/tests/difxapi_without_install")
add_dependencies(module_tests wharfcore difxapi_double_full difxapi_double_without_install)
