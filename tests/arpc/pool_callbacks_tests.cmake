# Pool callbacks of a DLL (corun hops, arpc I/O completions) keep that DLL loaded while they run:
# pool_module.dll, beside the test program, is loaded and dropped under a running callback.
add_library(pool_module SHARED ${WHARF_TEST_DIR}/pool_module.cpp)
set_target_properties(pool_module PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
target_link_libraries(pool_module PRIVATE arpc corun)
wharf_add_test(pool_callbacks_tests
  SOURCES ${WHARF_TEST_DIR}/pool_callbacks_tests.cpp
  LIBS kernel32)
add_dependencies(pool_callbacks_tests pool_module)
