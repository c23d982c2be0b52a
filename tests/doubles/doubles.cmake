# Test doubles of what lies outside the system: the virtual port driver (wharfdrv.sys and
# its INF), the COM port database (msports.dll) and the device installer (newdev.dll), plus
# the ctest fixture "port_doubles" that readies the prefix. See README.md.

set(WHARF_DOUBLES_DIR ${CMAKE_BINARY_DIR}/tests)
set(WHARF_DRIVER_DIR ${WHARF_DOUBLES_DIR}/wharfdrv)

# The driver is a kernel-mode image: no C runtime, native subsystem, ntoskrnl imports.
add_custom_command(
  OUTPUT ${WHARF_DRIVER_DIR}/wharfdrv.sys
  COMMAND ${CMAKE_COMMAND} -E make_directory ${WHARF_DRIVER_DIR}
  COMMAND ${CMAKE_C_COMPILER} -O2 -Wall -ffreestanding -fno-stack-protector -mno-stack-arg-probe
          -I/usr/x86_64-w64-mingw32/include/ddk -c ${WHARF_TEST_DIR}/wharfdrv/wharfdrv.c
          -o ${WHARF_DRIVER_DIR}/wharfdrv.obj
  COMMAND ${CMAKE_C_COMPILER} -shared -nostdlib -Wl,--subsystem,native -Wl,--entry,DriverEntry
          -Wl,--image-base,0x140000000 ${WHARF_DRIVER_DIR}/wharfdrv.obj -lntoskrnl -lhal
          -o ${WHARF_DRIVER_DIR}/wharfdrv.sys
  DEPENDS ${WHARF_TEST_DIR}/wharfdrv/wharfdrv.c ${WHARF_TEST_DIR}/wharfdrv/wharfdrv_controls.h
  COMMENT "Building the test driver wharfdrv.sys"
  VERBATIM)
add_custom_command(
  OUTPUT ${WHARF_DRIVER_DIR}/wharfdrv.inf
  COMMAND ${CMAKE_COMMAND} -E make_directory ${WHARF_DRIVER_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy ${WHARF_TEST_DIR}/wharfdrv/wharfdrv.inf ${WHARF_DRIVER_DIR}/wharfdrv.inf
  DEPENDS ${WHARF_TEST_DIR}/wharfdrv/wharfdrv.inf
  VERBATIM)
add_custom_target(wharf_test_driver ALL
  DEPENDS ${WHARF_DRIVER_DIR}/wharfdrv.sys ${WHARF_DRIVER_DIR}/wharfdrv.inf)

# DLL doubles: target names differ from the system libraries' so that linking "msports" or
# "newdev" anywhere still means the system's import library.
foreach(dll msports newdev)
  set(src)
  if(dll STREQUAL "msports")
    set(src ${WHARF_TEST_DIR}/msports/comdb.cpp)
  else()
    set(src ${WHARF_TEST_DIR}/newdev/install_device.cpp)
  endif()
  add_library(double_${dll} SHARED ${src} ${WHARF_TEST_DIR}/${dll}/${dll}.def)
  set_target_properties(double_${dll} PROPERTIES
    OUTPUT_NAME ${dll}
    RUNTIME_OUTPUT_DIRECTORY ${WHARF_DOUBLES_DIR}
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/doubles-implibs)
endforeach()
target_link_libraries(double_newdev PRIVATE setupapi)

# Tool of the fixture: readies the prefix before, and removes leftover nodes after, the
# tests that need the doubles.
add_executable(port_doubles_setup ${WHARF_TEST_DIR}/setup/port_doubles_setup.cpp)
target_link_options(port_doubles_setup PRIVATE -municode)
target_link_libraries(port_doubles_setup PRIVATE setupapi advapi32)
add_dependencies(port_doubles_setup wharf_test_driver)
add_test(NAME port_doubles_setup COMMAND port_doubles_setup)
add_test(NAME port_doubles_cleanup COMMAND port_doubles_setup --cleanup)
set_tests_properties(port_doubles_setup PROPERTIES
  FIXTURES_SETUP port_doubles RESOURCE_LOCK port_devices TIMEOUT 60)
set_tests_properties(port_doubles_cleanup PROPERTIES
  FIXTURES_CLEANUP port_doubles RESOURCE_LOCK port_devices TIMEOUT 60)

# wharf_port_doubles(<test target>): puts msports.dll and newdev.dll beside the test program,
# builds the driver package and the set-up tool first, and gives the program the doubles'
# headers (support/doubles_knobs.h, wharfdrv/wharfdrv_controls.h). Register the tests with
#   OVERRIDES "msports,newdev=n,b" FIXTURES port_doubles LOCKS port_devices
function(wharf_port_doubles target)
  add_dependencies(${target} double_msports double_newdev wharf_test_driver port_doubles_setup)
  target_include_directories(${target} PRIVATE ${WHARF_DOUBLES_SOURCE_DIR})
endfunction()
set(WHARF_DOUBLES_SOURCE_DIR ${WHARF_TEST_DIR} CACHE INTERNAL "")
