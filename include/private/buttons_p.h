#ifndef KESTRIX_PRIVATE_BUTTONS_H
#define KESTRIX_PRIVATE_BUTTONS_H

#include <mutex>
#include <string>

// The button interface through which every button is read.
class AbstractButton
{
public:
    virtual ~AbstractButton();

    // The button's current pressed state.
    virtual bool readPressed() const = 0;
    // Called by isClicked() after each read of the pressed state.
    virtual void clickFollowUp() const = 0;

    inline bool isPressed() const { return readPressed(); }
    inline bool isClicked() const
    {
        const bool pressed = isPressed();
        clickFollowUp();
        return pressed;
    }
    inline bool isNotPressed() const { return !isPressed(); }
};

namespace Button {
namespace Type {
// One identifier per button.
enum Id : int { A = 0, B, C, X, Y, Z, Side };
} // namespace Type
} // namespace Button

// A button read from the input source (Linux input events on the
// controller, see Private::InputKeys; the simulator and the tests feed the
// same source at the system-call boundary).
class StateButton : public AbstractButton
{
public:
    explicit StateButton(Button::Type::Id id);

    // Pressed while the button's key is down on the input device.
    bool readPressed() const override;
    // One press makes one click: when isClicked() read the button pressed,
    // waits (polling with msleep) until it is released; after a released
    // read it only looks once, so a press arriving meanwhile is not lost.
    void clickFollowUp() const override;

    Button::Type::Id id() const { return m_id; }

private:
    Button::Type::Id m_id;
};

// A labelled button (A, B, C, X, Y, Z).
class IdButton : public StateButton
{
public:
    IdButton(Button::Type::Id id, const char *defaultText);

    // Keeps its own copy of the label; a null text means the empty label.
    void setText(const char *text);
    std::string text() const;

private:
    mutable std::mutex m_textLock;
    std::string m_text;
};

namespace Button {
extern IdButton A;
extern IdButton B;
extern IdButton C;
extern IdButton X;
extern IdButton Y;
extern IdButton Z;
extern StateButton Side;
// The seven buttons: A, B, C, X, Y, Z, Side.
extern AbstractButton *const all[7];
} // namespace Button

// Whether the extra buttons (X, Y, Z) are shown; hidden at start.
class ExtraButtons
{
public:
    static void setShown(bool shown);
    static bool isShown();
};

// The shared logic of the button C functions: 1 when the button's
// isPressed() (isClicked()) is true, else 0.
int button(AbstractButton *button);
int button_clicked(AbstractButton *button);

#endif
