# DIFxAPI.dll doubles: a full one, and one without DriverPackageInstallW. Each is built into
# its own folder so that tests can place them beside a copy of wharfcore.dll.
foreach(variant full without_install)
  add_library(difxapi_double_${variant} SHARED ${CMAKE_CURRENT_LIST_DIR}/difxapi/difxapi_double.cpp)
  set_target_properties(difxapi_double_${variant} PROPERTIES
    OUTPUT_NAME DIFxAPI
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/difxapi_${variant}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/difxapi_${variant}
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/difxapi_${variant})
  target_link_libraries(difxapi_double_${variant} PRIVATE advapi32)
endforeach()
target_compile_definitions(difxapi_double_without_install PRIVATE DIFX_DOUBLE_WITHOUT_INSTALL)
