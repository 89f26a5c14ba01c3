// The simulated mobile base on the line /dev/ttyUSB0 that the fake serial
// adapter (fakes/fake_serial.h) provides under the simulator.
#ifndef KESTRIX_SIM_BASE_LINE_H
#define KESTRIX_SIM_BASE_LINE_H

namespace kxsim {

// Plugs the fake serial adapter (fake_serial.h) in and puts the simulated
// base on its far end. The program's writes to the line are answered before
// the write returns (base_line.cpp interposes write for that), so the
// answer never races the program's clock. Called once by the simulator at
// start.
void plugInBase();

} // namespace kxsim

#endif
