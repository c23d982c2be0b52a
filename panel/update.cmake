# The update check and upgrade, a library of its own so that the program and its tests link it.
set(WHARF_UPDATE_HOST "updates.velmor-software.example" CACHE STRING "Host asked for newer versions")
add_library(panel_update STATIC ${CMAKE_CURRENT_LIST_DIR}/update_check.cpp)
target_include_directories(panel_update PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_definitions(panel_update PRIVATE "WHARF_UPDATE_HOST=L\"${WHARF_UPDATE_HOST}\"")
target_link_libraries(panel_update PUBLIC corun bracefmt trellum wharf_sysdeps rpcrt4 bcrypt ole32 wininet)
