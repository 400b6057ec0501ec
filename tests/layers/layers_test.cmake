# Includes go downward only: every include of a product source against the
# table of allowed folder edges in layers.txt.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME layers COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_layers.py
                             ${CMAKE_SOURCE_DIR})
