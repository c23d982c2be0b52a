# The About box, a library of its own so that the program and its tests link it.
if(NOT TARGET panel_richtext)
  include(${CMAKE_CURRENT_LIST_DIR}/richtext.cmake)
endif()
add_library(panel_about STATIC ${CMAKE_CURRENT_LIST_DIR}/about_dialog.cpp ${CMAKE_CURRENT_LIST_DIR}/about_view.cpp)
target_include_directories(panel_about PUBLIC ${CMAKE_CURRENT_LIST_DIR} PRIVATE ${CMAKE_SOURCE_DIR}/clientlib/include)
target_link_libraries(panel_about PUBLIC panel_richtext bracefmt trellum wl corun
  d2d1 dwrite windowscodecs ole32 shell32 user32 gdi32 advapi32)
