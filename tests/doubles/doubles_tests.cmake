# Tests of the doubles themselves; they link the msports double directly and reach the
# newdev double through LoadLibrary, as the library does.
wharf_add_test(doubles_tests
  SOURCES ${WHARF_TEST_DIR}/port_driver_tests.cpp ${WHARF_TEST_DIR}/comdb_tests.cpp
  LIBS double_msports setupapi user32 advapi32
  OVERRIDES "msports,newdev=n,b"
  FIXTURES port_doubles
  LOCKS port_devices)
wharf_port_doubles(doubles_tests)
