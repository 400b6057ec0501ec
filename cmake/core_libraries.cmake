# The installer's code as a library, linked against the simulated machine:
# what every native build (tests, fuzzers) runs.
file(GLOB KSV_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/sim/*.cpp)
add_library(ksvsim STATIC ${KSV_SIM_SOURCES})
target_include_directories(ksvsim PUBLIC ${CMAKE_SOURCE_DIR})

add_library(ksvcore STATIC ${KSV_SOURCES})
target_include_directories(ksvcore PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(ksvcore PUBLIC KSV_BUILD=${KSV_BUILD})
target_link_libraries(ksvcore PUBLIC ksvsim)
