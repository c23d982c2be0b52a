if(NOT TARGET panel_richtext)
  include(${CMAKE_SOURCE_DIR}/panel/richtext.cmake)
endif()
wharf_add_test(richtext_tests
  SOURCES ${WHARF_TEST_DIR}/richtext_tests.cpp
  LIBS panel_richtext)
