# The About box's rich-text markup and layout, a library of its own so it can be tested alone.
add_library(panel_richtext STATIC ${CMAKE_CURRENT_LIST_DIR}/richtext.cpp ${CMAKE_CURRENT_LIST_DIR}/richtext_parse.cpp)
target_include_directories(panel_richtext PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(panel_richtext PUBLIC dwrite)
