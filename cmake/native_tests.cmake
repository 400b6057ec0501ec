# Native build: the installer's code linked against the simulated machine,
# tested with GoogleTest under AddressSanitizer and UndefinedBehaviorSanitizer.
set(KSV_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_compile_options(${KSV_SANITIZE} -g)
add_link_options(${KSV_SANITIZE})

include(${CMAKE_SOURCE_DIR}/cmake/core_libraries.cmake)

find_package(GTest REQUIRED)
enable_testing()
file(GLOB_RECURSE KSV_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*_test.cpp)
list(FILTER KSV_TEST_SOURCES EXCLUDE REGEX "/tests/wine/")
add_executable(ksvtests ${KSV_TEST_SOURCES} ${CMAKE_SOURCE_DIR}/tests/support/test_machine.cpp)
target_include_directories(ksvtests PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(ksvtests PRIVATE ksvcore GTest::gtest GTest::gtest_main)
include(GoogleTest)
gtest_discover_tests(ksvtests DISCOVERY_TIMEOUT 60)

include(${CMAKE_SOURCE_DIR}/tests/layers/layers_test.cmake)
include(${CMAKE_SOURCE_DIR}/tests/wine/wine_tests.cmake OPTIONAL)
include(${CMAKE_SOURCE_DIR}/tests/release/release_tests.cmake)
include(${CMAKE_SOURCE_DIR}/tests/package/package_tests.cmake OPTIONAL)

# The cost of each verb on the simulated machine, as a table (not a test).
add_executable(ksvcost ${CMAKE_SOURCE_DIR}/tests/bench/verb_cost.cpp
                       ${CMAKE_SOURCE_DIR}/tests/support/test_machine.cpp)
target_include_directories(ksvcost PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(ksvcost PRIVATE ksvcore GTest::gtest GTest::gtest_main)
