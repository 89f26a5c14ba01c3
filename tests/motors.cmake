# The public motor header must compile as strict C99.
add_library(motors_header_c99 OBJECT ${CMAKE_CURRENT_SOURCE_DIR}/motors_header.c)
target_include_directories(motors_header_c99 PRIVATE ${PROJECT_SOURCE_DIR}/include)
set_target_properties(motors_header_c99 PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
target_compile_options(motors_header_c99 PRIVATE -pedantic-errors -Werror)
