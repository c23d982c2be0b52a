# The update check and upgrade, a library of its own so that the program and its tests link it.
# wharf_panel_update_library(<target> <host>) builds it for the given update host.
function(wharf_panel_update_library target host)
  add_library(${target} STATIC ${CMAKE_SOURCE_DIR}/panel/update_check.cpp)
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR}/panel PRIVATE ${CMAKE_SOURCE_DIR}/clientlib/include)
  target_compile_definitions(${target} PRIVATE "WHARF_UPDATE_HOST=L\"${host}\"")
  target_link_libraries(${target} PUBLIC wl corun bracefmt trellum wharf_sysdeps rpcrt4 bcrypt ole32 wininet advapi32)
endfunction()

set(WHARF_UPDATE_HOST "updates.velmor-software.example" CACHE STRING "Host asked for newer versions")
wharf_panel_update_library(panel_update ${WHARF_UPDATE_HOST})
