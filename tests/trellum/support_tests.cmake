# Program support utilities: UTF-8, version resource, registry, memory stream, text helpers.
# The test program carries a version resource; the small DLL beside it carries none.
add_library(support_noversion SHARED ${WHARF_TEST_DIR}/support_noversion.cpp)
set_target_properties(support_noversion PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
wharf_add_test(support_tests
  SOURCES ${WHARF_TEST_DIR}/support_text_tests.cpp
          ${WHARF_TEST_DIR}/support_version_tests.cpp
          ${WHARF_TEST_DIR}/support_registry_tests.cpp
          ${WHARF_TEST_DIR}/support_memstream_tests.cpp
          ${WHARF_TEST_DIR}/support_version.rc
  LIBS trellum)
add_dependencies(support_tests support_noversion)
