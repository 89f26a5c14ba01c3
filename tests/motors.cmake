# The public motor header must compile as strict C99.
kestrix_add_c99(motors_header_c99 ${CMAKE_CURRENT_SOURCE_DIR}/motors_header.c HEADERS_ONLY)
