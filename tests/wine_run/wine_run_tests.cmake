# The test runner itself (cmake/wine-run.sh.in, the emulator of every test): a crash fails its
# test at once, and a test ended at its timeout still shows its output and leaves no files.
add_executable(wine_run_probe ${WHARF_TEST_DIR}/probe.cpp)
foreach(check crash hang)
  set(name WineRun.CrashEndsTheProgramAtOnceWithAFailureCode)
  if(check STREQUAL "hang")
    set(name WineRun.OutputOfAProgramThatNeverEndsComesThroughAndNoFileStays)
  endif()
  add_test(NAME ${name}
    COMMAND bash ${WHARF_TEST_DIR}/check_wine_run.sh ${CMAKE_BINARY_DIR}/wine-run.sh
      $<TARGET_FILE:wine_run_probe> ${check})
  set_tests_properties(${name} PROPERTIES TIMEOUT 120)
endforeach()
