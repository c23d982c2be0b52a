# wharf_add_test(<name> SOURCES ... [LIBS ...] [OVERRIDES "dll,dll=n,b"] [LOCKS lock...]
#                [ENVIRONMENT VAR=value...] [FIXTURES fixture...] [TIMEOUT seconds]
#                [WORKING_DIRECTORY dir] [WHOLE])
# Builds a GoogleTest program and registers its cases with ctest; every case runs under Wine
# through the build's emulator wrapper. LOCKS serialises tests that share machine-wide state
# of the prefix (COM registration, drivers). WHOLE registers the program as one ctest test.
include(GoogleTest)

function(wharf_add_test name)
  cmake_parse_arguments(T "WHOLE" "TIMEOUT;WORKING_DIRECTORY" "SOURCES;LIBS;OVERRIDES;LOCKS;ENVIRONMENT;FIXTURES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  if(NOT T_WORKING_DIRECTORY)
    set(T_WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  set(env ${T_ENVIRONMENT})
  if(T_OVERRIDES)
    list(APPEND env "WHARF_DLLOVERRIDES=${T_OVERRIDES}")
  endif()
  set(props TIMEOUT ${T_TIMEOUT})
  if(env)
    list(APPEND props ENVIRONMENT "${env}")
  endif()
  if(T_LOCKS)
    list(APPEND props RESOURCE_LOCK "${T_LOCKS}")
  endif()
  if(T_FIXTURES)
    list(APPEND props FIXTURES_REQUIRED "${T_FIXTURES}")
  endif()
  if(T_WHOLE)
    add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${T_WORKING_DIRECTORY})
    set_tests_properties(${name} PROPERTIES ${props})
  else()
    gtest_discover_tests(${name}
      DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 120
      WORKING_DIRECTORY ${T_WORKING_DIRECTORY}
      PROPERTIES ${props})
  endif()
endfunction()
