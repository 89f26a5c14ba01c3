// The floor of a world as the camera's view asks about it: whether a
// rectangle of floor shows one reflectance all over (CameraScene::floorUniform).
#ifndef KESTRIX_SIM_CAMERA_FLOOR_H
#define KESTRIX_SIM_CAMERA_FLOOR_H

#include "world/world.h"

namespace kxsim {

// True when World::reflectanceAt gives the same value everywhere in
// [x0, x1] x [y0, y1]: every mark covers all of the rectangle or none of it,
// a micrometre to spare. False when unsure (a tape's corner, say).
bool floorUniformOver(const World &world, double x0, double y0, double x1, double y1);

} // namespace kxsim

#endif
