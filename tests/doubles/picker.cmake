# A stand-in for the directory object picker, registered by tests and by scripts/run.sh in place
# of Wine's; in the run it asks for the computer's name in a dialog of its own resources.
add_library(picker_double SHARED ${WHARF_TEST_DIR}/picker/picker_double.cpp ${WHARF_TEST_DIR}/picker/picker_double.def
  ${WHARF_TEST_DIR}/picker/picker_double.rc)
set_target_properties(picker_double PROPERTIES
  OUTPUT_NAME picker_double
  RUNTIME_OUTPUT_DIRECTORY ${WHARF_DOUBLES_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/doubles-implibs)
target_include_directories(picker_double PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
target_link_libraries(picker_double PRIVATE ole32 advapi32 user32)
