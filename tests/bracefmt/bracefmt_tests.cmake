wharf_add_test(bracefmt_tests
  SOURCES
    ${WHARF_TEST_DIR}/format_tests.cpp
    ${WHARF_TEST_DIR}/parse_tests.cpp
  LIBS bracefmt)
