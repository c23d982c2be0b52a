# The Library and Device objects over the test driver and the doubles, called through their
# interfaces in this process.
wharf_add_test(library_tests
  SOURCES ${WHARF_TEST_DIR}/library_tests.cpp ${WHARF_TEST_DIR}/remote_methods_absent.cpp
  LIBS wharfcore_devices msports
  OVERRIDES "msports,newdev=n,b"
  FIXTURES port_doubles
  LOCKS port_devices
  TIMEOUT 150)
wharf_port_doubles(library_tests)
