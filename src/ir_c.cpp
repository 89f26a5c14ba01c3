#include "kestrix/ir.h"

#include "private/ir_p.h"

void ir_read(void)
{
    Ir::read();
}

void ir_write(void)
{
    Ir::write();
}
