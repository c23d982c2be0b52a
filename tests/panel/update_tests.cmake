if(NOT TARGET panel_update)
  include(${CMAKE_SOURCE_DIR}/panel/update.cmake)
endif()
wharf_add_test(update_tests SOURCES ${WHARF_TEST_DIR}/update_tests.cpp LIBS panel_update)
