#include "private/button_p.h"

#include <cstring>

namespace Private {

void Button::setText(const ::Button::Type::Id &, const char *)
{
}

bool Button::isTextDirty(const ::Button::Type::Id &) const
{
    return true;
}

const char *Button::text(const ::Button::Type::Id &) const
{
    return "";
}

void Button::setPressed(const ::Button::Type::Id &, bool)
{
}

bool Button::isPressed(const ::Button::Type::Id &) const
{
    return true;
}

void Button::resetButtons()
{
    static const char *const labels[SlotCount] = {"A", "B", "C", "X", "Y", "Z"};
    for (std::size_t i = 0; i < SlotCount; ++i)
        std::strncpy(m_text[i], labels[i], SlotSize);
}

void Button::setExtraShown(bool)
{
}

bool Button::isExtraShown() const
{
    return true;
}

Button &Button::instance()
{
    static Button s_instance;
    return s_instance;
}

int Button::buttonOffset(const ::Button::Type::Id &id) const
{
    return static_cast<int>(id);
}

bool Button::buttonRegs(unsigned short &, unsigned short &, ::Button::Type::Id) const
{
    return false;
}

Button::Button()
{
    resetButtons();
}

} // namespace Private
