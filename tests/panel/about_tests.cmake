if(NOT TARGET panel_about)
  include(${CMAKE_SOURCE_DIR}/panel/about.cmake)
endif()
wharf_add_test(about_tests SOURCES ${WHARF_TEST_DIR}/about_tests.cpp LIBS panel_about)
