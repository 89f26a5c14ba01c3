#include "private/ir_p.h"

#include <iostream>

namespace Ir {

void read()
{
    std::cout << "Ir::read() is no longer supported" << std::endl;
}

void write()
{
    std::cout << "Ir::write() is no longer supported" << std::endl;
}

} // namespace Ir
