# The About box, a library of its own so that the program and its tests link it.
add_library(panel_about STATIC ${CMAKE_CURRENT_LIST_DIR}/about_dialog.cpp)
target_include_directories(panel_about PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(panel_about PUBLIC bracefmt trellum)
