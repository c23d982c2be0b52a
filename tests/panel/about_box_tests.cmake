# The About box shown in this process with the program's dialog and logo and a version of its
# own, driven from a second thread. It changes HKCU settings (link colour, https handler) that
# every test of the prefix sees, and reads pixels of the screen.
if(NOT TARGET panel_about)
  include(${CMAKE_SOURCE_DIR}/panel/about.cmake)
endif()
add_executable(about_link_recorder ${WHARF_TEST_DIR}/about_link_recorder.cpp)
target_link_options(about_link_recorder PRIVATE -municode)

# Direct2D draws through Mesa's software renderer here, which at the program's exit joins its
# worker threads and writes its shader cache; on a busy machine that outlasts the moment Wine's
# server gives an ending process before it kills it, and a case that passed fails as killed.
# The renderer runs on the drawing thread alone and keeps no cache for these programs.
wharf_add_test(about_box_tests
  SOURCES ${WHARF_TEST_DIR}/about_box_tests.cpp ${WHARF_TEST_DIR}/about_box_tests.rc
  LIBS panel_about ole32 user32 gdi32 advapi32 windowscodecs
  LOCKS about_registry desktop_input
  ENVIRONMENT LP_NUM_THREADS=0 MESA_SHADER_CACHE_DISABLE=true)
target_include_directories(about_box_tests PRIVATE ${CMAKE_SOURCE_DIR}/panel)
set_source_files_properties(${WHARF_TEST_DIR}/about_box_tests.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_SOURCE_DIR}/panel/about.rc;${CMAKE_SOURCE_DIR}/panel/logo.png")
add_dependencies(about_box_tests about_link_recorder)
target_compile_definitions(about_box_tests PRIVATE "LINK_RECORDER=L\"$<TARGET_FILE_NAME:about_link_recorder>\"")

# The About command of the program itself, driven from outside like panel_app_tests.
wharf_add_test(about_app_tests
  SOURCES ${WHARF_TEST_DIR}/about_app_tests.cpp
  LIBS ole32 oleaut32 uuid advapi32 user32 comctl32 gdi32 windowscodecs
  LOCKS com_registration service_pipe panel_program desktop_input
  TIMEOUT 60)
target_include_directories(about_app_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/clientlib ${CMAKE_SOURCE_DIR}/tests/doubles)
target_compile_definitions(about_app_tests PRIVATE WHARFCORE_DLL="$<TARGET_FILE:wharfcore>"
  WHARFPANEL_EXE="$<TARGET_FILE:wharfpanel>")
add_dependencies(about_app_tests wharfcore wharfpanel)
