#include "private/buttons_p.h"

#include "private/input_keys_p.h"
#include "kestrix/util.h"

#include <atomic>

namespace {

// How often clickFollowUp() looks whether the button was let go.
constexpr long ReleasePollMs = 10;

std::atomic<bool> s_extraShown{false};

// What this thread's last read of a button gave, so that the follow-up of a
// click knows what isClicked() kept. Per thread: the emergency-stop watcher
// reads the side button while a program asks whether it was clicked.
thread_local const StateButton *t_lastRead = nullptr;
thread_local bool t_lastReadPressed = false;

} // namespace

AbstractButton::~AbstractButton() = default;

StateButton::StateButton(Button::Type::Id id)
    : m_id(id)
{
}

bool StateButton::readPressed() const
{
    const bool pressed = Private::InputKeys::instance().isDown(Private::InputKeys::keyOf(m_id));
    t_lastRead = this;
    t_lastReadPressed = pressed;
    return pressed;
}

void StateButton::clickFollowUp() const
{
    // A press that comes after isClicked() read the button released is the
    // next call's click: waiting here for its release would swallow it.
    if (t_lastRead == this && !t_lastReadPressed) {
        readPressed();
        return;
    }
    while (readPressed())
        msleep(ReleasePollMs);
}

IdButton::IdButton(Button::Type::Id id, const char *defaultText)
    : StateButton(id), m_text(defaultText != nullptr ? defaultText : "")
{
}

void IdButton::setText(const char *text)
{
    std::lock_guard<std::mutex> guard(m_textLock);
    m_text = text != nullptr ? text : "";
}

std::string IdButton::text() const
{
    std::lock_guard<std::mutex> guard(m_textLock);
    return m_text;
}

namespace Button {
IdButton A(Type::A, "A");
IdButton B(Type::B, "B");
IdButton C(Type::C, "C");
IdButton X(Type::X, "X");
IdButton Y(Type::Y, "Y");
IdButton Z(Type::Z, "Z");
StateButton Side(Type::Side);
AbstractButton *const all[7] = {&A, &B, &C, &X, &Y, &Z, &Side};
} // namespace Button

void ExtraButtons::setShown(bool shown)
{
    s_extraShown.store(shown, std::memory_order_release);
}

bool ExtraButtons::isShown()
{
    return s_extraShown.load(std::memory_order_acquire);
}
