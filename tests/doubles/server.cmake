# A stand-in for a server machine's service: answers IServer calls on a named pipe.
add_executable(wharf_sim_server ${WHARF_TEST_DIR}/server/sim_server.cpp)
target_link_libraries(wharf_sim_server PRIVATE arpc)
target_include_directories(wharf_sim_server PRIVATE ${CMAKE_SOURCE_DIR}/clientlib/include)
target_link_options(wharf_sim_server PRIVATE -municode)
