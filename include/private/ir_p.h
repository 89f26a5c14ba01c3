#ifndef KESTRIX_PRIVATE_IR_H
#define KESTRIX_PRIVATE_IR_H

// The retired infrared feature: both calls print that it is gone.
namespace Ir {

void read();
void write();

} // namespace Ir

#endif
