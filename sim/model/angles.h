// Angles in the simulated world are degrees; the trigonometry wants radians.
#ifndef KESTRIX_SIM_ANGLES_H
#define KESTRIX_SIM_ANGLES_H

namespace kxsim {

constexpr double Pi = 3.14159265358979323846;

} // namespace kxsim

#endif
