wharf_add_test(panel_core_tests
  SOURCES ${WHARF_TEST_DIR}/discovery_packet_tests.cpp ${WHARF_TEST_DIR}/com_numbers_tests.cpp
    ${WHARF_TEST_DIR}/system_message_tests.cpp ${WHARF_TEST_DIR}/discovery_queue_tests.cpp
  LIBS panel_core)
