# The digital, analog and servo C interface used from a strict C99 program
# linked against the shared library, with the fake coprocessor linked in
# front of it at the system-call boundary.
kestrix_add_c99(io_c_interface ${CMAKE_CURRENT_SOURCE_DIR}/io_c_interface.c)
add_test(NAME IoCInterface.WorksFromAC99ProgramThroughTheSharedLibrary COMMAND io_c_interface)
set_tests_properties(IoCInterface.WorksFromAC99ProgramThroughTheSharedLibrary PROPERTIES TIMEOUT 60)

# The port objects from a C++ program linked the same way.
add_executable(io_objects ${CMAKE_CURRENT_SOURCE_DIR}/io_objects.cpp)
target_link_libraries(io_objects PRIVATE kestrix kestrix_fake)
add_test(NAME IoObjects.WorkThroughTheSharedLibrary COMMAND io_objects)
set_tests_properties(IoObjects.WorkThroughTheSharedLibrary PROPERTIES TIMEOUT 60)
