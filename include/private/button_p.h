#ifndef KESTRIX_PRIVATE_BUTTON_P_H
#define KESTRIX_PRIVATE_BUTTON_P_H

#include "private/buttons_p.h"

#include <cstddef>

namespace Private {

// The button state store. It keeps the six labels of A, B, C, X, Y and Z (in
// that slot order, 16 bytes each, always NUL-terminated) and nothing else:
// every other operation answers with a fixed value and stores nothing.
class Button
{
public:
    static constexpr std::size_t SlotCount = 6;
    static constexpr std::size_t SlotSize = 16;

    // Dropped: no slot changes.
    void setText(const ::Button::Type::Id &id, const char *text);
    // Always true.
    bool isTextDirty(const ::Button::Type::Id &id) const;
    // Always "" (a constant, not a slot).
    const char *text(const ::Button::Type::Id &id) const;
    // Does nothing.
    void setPressed(const ::Button::Type::Id &id, bool pressed);
    // Always true.
    bool isPressed(const ::Button::Type::Id &id) const;
    // Writes "A", "B", "C", "X", "Y", "Z" into the slots, zero-padded to 16.
    void resetButtons();
    // Does nothing.
    void setExtraShown(bool shown);
    // Always true.
    bool isExtraShown() const;

    static Button &instance();

    // The identifier's value, unchanged.
    int buttonOffset(const ::Button::Type::Id &id) const;
    // Always false; neither output is written.
    bool buttonRegs(unsigned short &first, unsigned short &second, ::Button::Type::Id id) const;

    // The raw 16 bytes of slot `index` (0 to 5), for inspection.
    const char *slot(std::size_t index) const { return m_text[index]; }

    Button(const Button &) = delete;
    Button &operator=(const Button &) = delete;

private:
    Button();

    char m_text[SlotCount][SlotSize];
};

} // namespace Private

#endif
