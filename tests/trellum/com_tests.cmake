wharf_add_test(com_tests
  SOURCES ${WHARF_TEST_DIR}/com_js_array_tests.cpp ${WHARF_TEST_DIR}/com_value_tests.cpp
  LIBS trellum)
