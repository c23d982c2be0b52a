# Script clients (VBScript and JScript under the system's cscript) creating, configuring,
# listing and deleting a port of the test driver. cscript loads wharfcore.dll through COM, with
# its folder first on the search path; a copy of it is registered beside a COM port database
# double that the library must leave alone: it uses the database and device installer doubles
# in the prefix's system folder (port_doubles set-up).
set(WHARF_SCRIPT_CLIENT_DIR ${WHARF_DOUBLES_DIR}/script_client)
add_custom_command(OUTPUT ${WHARF_SCRIPT_CLIENT_DIR}/wharfcore.dll ${WHARF_SCRIPT_CLIENT_DIR}/msports.dll
  COMMAND ${CMAKE_COMMAND} -E make_directory ${WHARF_SCRIPT_CLIENT_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:wharfcore> ${WHARF_SCRIPT_CLIENT_DIR}/wharfcore.dll
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:double_msports> ${WHARF_SCRIPT_CLIENT_DIR}/msports.dll
  DEPENDS wharfcore double_msports
  VERBATIM)
add_custom_target(wharfcore_script_client_copy DEPENDS ${WHARF_SCRIPT_CLIENT_DIR}/wharfcore.dll
  ${WHARF_SCRIPT_CLIENT_DIR}/msports.dll)
wharf_add_test(script_client_tests
  SOURCES ${WHARF_TEST_DIR}/script_client_tests.cpp
    ${CMAKE_SOURCE_DIR}/clientlib/driver_exchange.cpp ${CMAKE_SOURCE_DIR}/clientlib/driver_buffers.cpp
  LIBS corun setupapi msports ole32 oleaut32 advapi32
  OVERRIDES "msports,newdev=n,b"
  FIXTURES port_doubles
  LOCKS com_registration port_devices
  TIMEOUT 60)
wharf_port_doubles(script_client_tests)
target_include_directories(script_client_tests PRIVATE ${WHARF_TEST_DIR} ${CMAKE_SOURCE_DIR}/clientlib
  ${CMAKE_SOURCE_DIR}/clientlib/include)
target_compile_definitions(script_client_tests PRIVATE WHARFCORE_DLL="${WHARF_SCRIPT_CLIENT_DIR}/wharfcore.dll"
  SCRIPT_DIR="${WHARF_TEST_DIR}")
add_dependencies(script_client_tests wharfcore_script_client_copy)
