# Fuzz build (clang, libFuzzer): the installer's code and the simulated
# machine instrumented for coverage, one fuzzer per input surface.
set(KSV_FUZZ_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -g)
add_compile_options(${KSV_FUZZ_FLAGS})
add_link_options(-fsanitize=address,undefined)

include(${CMAKE_SOURCE_DIR}/cmake/core_libraries.cmake)

file(GLOB KSV_FUZZERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/*_fuzzer.cpp)
foreach(source ${KSV_FUZZERS})
    get_filename_component(name ${source} NAME_WE)
    add_executable(${name} ${source})
    target_link_libraries(${name} PRIVATE ksvcore)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endforeach()
