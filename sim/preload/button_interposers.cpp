// The labels a program sets on its buttons, for the panel: the library's
// own set_X_button_text, interposed at the dynamic linker as the system
// calls are, then passed on unchanged. A program that labels its buttons
// another way (the C++ objects, or the library linked in statically) keeps
// its labels to itself.
#include "fakes/fake_device.h"
#include "preload/simulation.h"

namespace {

template <int Id>
void label(const char *name, const char *text)
{
    using SetText = void (*)(const char *);
    static const SetText s_next = kxsim::nextFunction<SetText>(name);
    kxsim::Simulation::instance().setButtonText(Id, text);
    if (s_next)
        s_next(text);
}

} // namespace

extern "C" {

void set_a_button_text(const char *text) { label<0>("set_a_button_text", text); }
void set_b_button_text(const char *text) { label<1>("set_b_button_text", text); }
void set_c_button_text(const char *text) { label<2>("set_c_button_text", text); }
void set_x_button_text(const char *text) { label<3>("set_x_button_text", text); }
void set_y_button_text(const char *text) { label<4>("set_y_button_text", text); }
void set_z_button_text(const char *text) { label<5>("set_z_button_text", text); }

} // extern "C"
