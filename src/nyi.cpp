#include "kestrix/nyi.h"

#include <iostream>

void nyi(const char *name)
{
    // Streaming a null char pointer would set badbit on std::cout and
    // silence every later line of the program.
    std::cout << "Warning: " << (name != nullptr ? name : "(null)") << " not yet implemented."
              << std::endl;
}
