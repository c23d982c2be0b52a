# Mailslot endpoints on this machine, with the thread-pool path where the system binds the
# handle and with the polling reader.
wharf_add_test(mailslot_tests
  SOURCES ${WHARF_TEST_DIR}/mailslot_tests.cpp
  LIBS arpc)
