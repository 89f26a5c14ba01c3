// Every setter in the library that exists for tests alone, with the reason
// it is still needed. Nothing here is exported from libkestrix.so (the
// export check, tests/scripts/exports_check.cmake, fails on any of these
// names), and the simulator uses none of them: it reaches the library only
// through the system calls that its fakes in sim/ stand in for.
//
// Replaced by a fake at the system-call boundary, and therefore gone:
//   the battery's sysfs root      -> sim/fakes/fake_battery (power-supply folder)
//   the buttons' pressed setters  -> sim/fakes/fake_input (input device)
//   the graphics window's frame   -> sim/video/fake_framebuffer (/dev/fb0)
//   the mobile base's device path -> sim/fakes/fake_serial (/dev/ttyUSB0)
//   the camera's config directory -> sim/video/fake_camera_config (/etc/kestrix/camera)
//   the drone's ports              -> sim/fakes/fake_network (connect() to the
//                                     drone's address goes to a fake drone
//                                     on loopback)
//   the drone's disconnect observer -> the land commands the fake drone
//                                     receives
//
// Remaining: none.
//
// Not a hook: Private::Button::setPressed (private/button_p.h) belongs to
// the button store's interface, which stores no pressed state.
#ifndef KESTRIX_PRIVATE_TEST_HOOKS_P_H
#define KESTRIX_PRIVATE_TEST_HOOKS_P_H

#endif
