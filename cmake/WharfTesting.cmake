# wharf_add_test(<name> SOURCES ... [LIBS ...] [OVERRIDES "dll,dll=n,b"] [LOCKS lock...]
#                [ENVIRONMENT VAR=value...] [FIXTURES fixture...] [TIMEOUT seconds]
#                [WORKING_DIRECTORY dir] [WHOLE])
# Builds a GoogleTest program and registers its cases with ctest; every case runs under Wine
# through the build's emulator wrapper. LOCKS serialises tests that share machine-wide state
# of the prefix (COM registration, drivers). WHOLE registers the program as one ctest test.
# TIMEOUT (each case's, default WHARF_TEST_TIMEOUT) is about five to ten times what the
# program's slowest case takes when the whole suite runs: a case that hangs then costs the run
# little, and a loaded machine still has room.
include(GoogleTest)

# For cases of a second or two; a program with slower cases names its own TIMEOUT.
set(WHARF_TEST_TIMEOUT 60)

function(wharf_add_test name)
  cmake_parse_arguments(T "WHOLE" "TIMEOUT;WORKING_DIRECTORY" "SOURCES;LIBS;OVERRIDES;LOCKS;ENVIRONMENT;FIXTURES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT ${WHARF_TEST_TIMEOUT})
  endif()
  if(NOT T_WORKING_DIRECTORY)
    set(T_WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  set(env ${T_ENVIRONMENT})
  if(T_OVERRIDES)
    list(APPEND env "WHARF_DLLOVERRIDES=${T_OVERRIDES}")
  endif()
  # Properties whose values are lists (several locks, several variables) are set by name with
  # each value quoted whole: passed through a list of name-value pairs, a list value would be
  # read as further pairs.
  if(T_WHOLE)
    add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${T_WORKING_DIRECTORY})
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
    foreach(pair "ENVIRONMENT;env" "RESOURCE_LOCK;T_LOCKS" "FIXTURES_REQUIRED;T_FIXTURES")
      list(GET pair 0 property)
      list(GET pair 1 variable)
      if(${variable})
        set_tests_properties(${name} PROPERTIES ${property} "${${variable}}")
      endif()
    endforeach()
    return()
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    # The first listing of a run also boots the prefix; a listing that fails ends ctest at once.
    DISCOVERY_TIMEOUT 120
    WORKING_DIRECTORY ${T_WORKING_DIRECTORY}
    PROPERTIES TIMEOUT ${T_TIMEOUT})
  # The cases exist only once ctest has listed them: a file that ctest reads after the
  # discovery's own sets the remaining properties on them.
  set(props "")
  foreach(pair "ENVIRONMENT;env" "RESOURCE_LOCK;T_LOCKS" "FIXTURES_REQUIRED;T_FIXTURES")
    list(GET pair 0 property)
    list(GET pair 1 variable)
    if(${variable})
      string(APPEND props " ${property} [==[${${variable}}]==]")
    endif()
  endforeach()
  if(props)
    set(file ${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake)
    file(WRITE ${file} "if(NOT \"\${${name}_TESTS}\" STREQUAL \"\")\n"
                       "  set_tests_properties(\${${name}_TESTS} PROPERTIES${props})\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
  endif()
endfunction()

# A loopback port for a test server whose address is built into a test copy of the program, so
# that the server cannot pick one when it starts. It lies below the range the system takes ports
# for outgoing connections from, so no connection can hold it; suites of other builds on the same
# machine (other clones, other worktrees) run at the same time, so each build folder (and each
# purpose, named by salt) takes its own.
function(wharf_fixed_local_port out salt)
  set(ephemeral_low 32768)
  if(EXISTS /proc/sys/net/ipv4/ip_local_port_range)
    file(READ /proc/sys/net/ipv4/ip_local_port_range port_range)
    string(REGEX MATCH "^[0-9]+" ephemeral_low "${port_range}")
  endif()
  if(NOT ephemeral_low OR ephemeral_low LESS 12000)
    set(ephemeral_low 32768)
  endif()
  math(EXPR port_span "${ephemeral_low} - 10000")
  if(port_span GREATER 10000)
    set(port_span 10000)
  endif()
  string(MD5 hash "${salt} ${CMAKE_BINARY_DIR}")
  string(SUBSTRING "${hash}" 0 4 digits)
  math(EXPR port "${ephemeral_low} - 1 - 0x${digits} % ${port_span}")
  set(${out} ${port} PARENT_SCOPE)
endfunction()
