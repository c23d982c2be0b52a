# Tests that show windows, send keyboard input or wait for message boxes share the display's
# focus and input, so they run one at a time (lock "desktop_input").
wharf_add_test(wl_tests
  SOURCES
    ${WHARF_TEST_DIR}/dialog_tests.cpp
    ${WHARF_TEST_DIR}/listview_tests.cpp
    ${WHARF_TEST_DIR}/async_window_tests.cpp
    ${WHARF_TEST_DIR}/report_tests.cpp
    ${WHARF_TEST_DIR}/progress_tests.cpp
    ${WHARF_TEST_DIR}/test_dialog.cpp
    ${WHARF_TEST_DIR}/wl_tests.rc
  LIBS wl wl_resources comctl32
  LOCKS desktop_input
  TIMEOUT 150)
