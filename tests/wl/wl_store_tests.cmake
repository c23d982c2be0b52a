wharf_add_test(wl_store_tests
  SOURCES ${WHARF_TEST_DIR}/store_tests.cpp
  LIBS wl)
