# version.dll and winspool.drv to plant beside the installer (dist/tests/planted/):
# they tell by a marker file whether a program took them from its own folder.
foreach(planted version winspool)
    add_library(planted_${planted} SHARED ${CMAKE_CURRENT_LIST_DIR}/planted.cpp
                ${CMAKE_CURRENT_LIST_DIR}/${planted}.def)
    target_compile_definitions(planted_${planted} PRIVATE UNICODE _UNICODE)
    target_link_options(planted_${planted} PRIVATE -static -static-libgcc -static-libstdc++)
    set_target_properties(planted_${planted} PROPERTIES
        PREFIX ""
        OUTPUT_NAME ${planted}
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_SOURCE_DIR}/dist/tests/planted
        RUNTIME_OUTPUT_DIRECTORY_RELEASE ${CMAKE_SOURCE_DIR}/dist/tests/planted
        ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/planted/${planted}
        ARCHIVE_OUTPUT_DIRECTORY_RELEASE ${CMAKE_BINARY_DIR}/planted/${planted})
endforeach()
set_target_properties(planted_winspool PROPERTIES SUFFIX ".drv")
