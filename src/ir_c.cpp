#include "kestrix/ir.h"

#include "ir.h"

void ir_read(void)
{
    Ir::read();
}

void ir_write(void)
{
    Ir::write();
}
