wharf_add_test(corun_tests
  SOURCES
    ${WHARF_TEST_DIR}/errors_tests.cpp
    ${WHARF_TEST_DIR}/future_tests.cpp
    ${WHARF_TEST_DIR}/cancellation_tests.cpp
    ${WHARF_TEST_DIR}/sync_tests.cpp
    ${WHARF_TEST_DIR}/ready_or_cancelled_tests.cpp
    ${WHARF_TEST_DIR}/allocation_probe.cpp
  LIBS corun
  TIMEOUT 120)
