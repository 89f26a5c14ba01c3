/* The retired infrared calls, which only say that they are retired. */
#include <stdio.h>

#include <kestrix/ir.h>

int main(void)
{
    puts("Testing deprecated IR functions... don't expect much...");
    ir_read();
    ir_write();
    return 0;
}
