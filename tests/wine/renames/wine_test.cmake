# Pending renames against Wine: renames_probe.exe (the Windows half, built by
# program.cmake) makes MoveFileExW calls in a prefix; renames_check (the
# native half, linked with the simulated machine) makes the same calls and
# compares what the registry holds and what ReadPendingRenames reads of it.
# Included by wine_tests.cmake, which provides ksv_wine_test.
add_executable(renames_check ${CMAKE_CURRENT_LIST_DIR}/renames_check.cpp)
target_include_directories(renames_check PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(renames_check PRIVATE ksvcore)
if(EXISTS "${KSV_TOOLS}/renames_probe.exe")
    ksv_wine_test(wine.renames renames/renames_test.sh)
    if(TEST wine.renames)
        set_property(TEST wine.renames APPEND PROPERTY ENVIRONMENT
                     "KSV_RENAMES_CHECK=$<TARGET_FILE:renames_check>")
    endif()
else()
    message(STATUS "Wine renames test: not registered, no ${KSV_TOOLS}/renames_probe.exe")
endif()
