#include "buttons_fixture.h"

#include "private/button_p.h"
#include "kestrix/button.h"

#include <cstring>
#include <string>
#include <vector>

#include <linux/input.h>

namespace {

using ButtonIds = std::vector<Button::Type::Id>;
const ButtonIds allIds = {Button::Type::A, Button::Type::B, Button::Type::C, Button::Type::X,
                          Button::Type::Y, Button::Type::Z, Button::Type::Side};

// A button that records the order of the calls isClicked() makes.
class ScriptedButton : public AbstractButton
{
public:
    explicit ScriptedButton(bool pressed) : m_pressed(pressed) {}
    bool readPressed() const override
    {
        m_calls += 'r';
        return m_pressed;
    }
    void clickFollowUp() const override { m_calls += 'f'; }

    bool m_pressed;
    mutable std::string m_calls;
};

struct ButtonFunctions
{
    const char *name;
    int key;
    int (*pressed)();
    int (*clicked)();
};

const std::vector<ButtonFunctions> buttonFunctions = {
    {"a", KEY_A, a_button, a_button_clicked},       {"b", KEY_B, b_button, b_button_clicked},
    {"c", KEY_C, c_button, c_button_clicked},       {"x", KEY_X, x_button, x_button_clicked},
    {"y", KEY_Y, y_button, y_button_clicked},       {"z", KEY_Z, z_button, z_button_clicked},
    {"side", KEY_ESC, side_button, side_button_clicked},
};

} // namespace

// --- the button state store -------------------------------------------------

TEST(ButtonStore, SlotsHoldTheSixLettersPaddedWithZeros)
{
    const Private::Button &store = Private::Button::instance();
    const char letters[] = "ABCXYZ";
    for (std::size_t i = 0; i < Private::Button::SlotCount; ++i) {
        char expected[Private::Button::SlotSize] = {};
        expected[0] = letters[i];
        EXPECT_EQ(std::memcmp(store.slot(i), expected, sizeof expected), 0) << "slot " << i;
    }
    EXPECT_EQ(&Private::Button::instance(), &store);
}

TEST(ButtonStore, AnswersAreFixedAndNothingIsKept)
{
    Private::Button &store = Private::Button::instance();
    for (Button::Type::Id id : allIds) {
        store.setText(id, "changed");
        EXPECT_STREQ(store.text(id), "");
        EXPECT_TRUE(store.isTextDirty(id));
        store.setPressed(id, false);
        EXPECT_TRUE(store.isPressed(id));
        EXPECT_EQ(store.buttonOffset(id), static_cast<int>(id));

        unsigned short first = 0x1234;
        unsigned short second = 0xBEEF;
        EXPECT_FALSE(store.buttonRegs(first, second, id));
        EXPECT_EQ(first, 0x1234);
        EXPECT_EQ(second, 0xBEEF);
    }
    // The empty text is a constant of its own, not a slot.
    for (std::size_t i = 0; i < Private::Button::SlotCount; ++i)
        EXPECT_NE(store.text(Button::Type::A), store.slot(i));
    EXPECT_STREQ(store.slot(0), "A");

    store.setExtraShown(false);
    EXPECT_TRUE(store.isExtraShown());
    const Button::Type::Id four = static_cast<Button::Type::Id>(4);
    EXPECT_EQ(store.buttonOffset(four), 4);
}

// --- the inline members of every button -------------------------------------

TEST(AbstractButtonMembers, ClickedReadsOnceThenFollowsUpOnceEitherWay)
{
    for (bool pressed : {true, false}) {
        ScriptedButton button(pressed);
        EXPECT_EQ(button.isClicked(), pressed);
        EXPECT_EQ(button.m_calls, "rf") << "pressed " << pressed;

        button.m_calls.clear();
        EXPECT_EQ(button.isPressed(), pressed);
        EXPECT_EQ(button.isNotPressed(), !pressed);
        EXPECT_EQ(button.m_calls, "rr");
    }
}

TEST(AbstractButtonMembers, InternalHelpersGiveOneOrZero)
{
    ScriptedButton up(false);
    ScriptedButton down(true);
    EXPECT_EQ(button(&down), 1);
    EXPECT_EQ(button(&up), 0);
    EXPECT_EQ(button_clicked(&down), 1);
    EXPECT_EQ(button_clicked(&up), 0);
    EXPECT_EQ(down.m_calls, "rrf");
}

// --- the C interface --------------------------------------------------------

using ButtonInterface = ButtonBoard;

TEST_F(ButtonInterface, EachFunctionReadsItsOwnKey)
{
    for (const ButtonFunctions &pressedOne : buttonFunctions) {
        input().setKey(pressedOne.key, true);
        for (const ButtonFunctions &f : buttonFunctions)
            EXPECT_EQ(f.pressed(), f.key == pressedOne.key ? 1 : 0)
                << f.name << "_button with " << pressedOne.name << " down";
        input().setKey(pressedOne.key, false);
    }
    EXPECT_EQ(input().openDescriptors(), 1);
}

TEST_F(ButtonInterface, ClickedIsOneForAPressAndReturnsAfterTheRelease)
{
    for (const ButtonFunctions &f : buttonFunctions) {
        input().reset();
        clock().reset();
        // Down for the read and two looks of the follow-up, up at the third.
        input().setKey(f.key, true);
        input().setKeyAfterReads(3, f.key, false);

        EXPECT_EQ(f.clicked(), 1) << f.name;
        EXPECT_EQ(input().keyReads(), 4u) << f.name;
        EXPECT_EQ(clock().sleeps(), (std::vector<std::uint64_t>{10000, 10000})) << f.name;
    }
}

TEST_F(ButtonInterface, ClickedOfAReleasedButtonIsZeroAndStillFollowsUpOnce)
{
    // One read for the state and exactly one more by the follow-up.
    EXPECT_EQ(x_button_clicked(), 0);
    EXPECT_EQ(input().keyReads(), 2u);
    EXPECT_EQ(clock().sleepCount(), 0u);
}

TEST_F(ButtonInterface, APressArrivingJustAfterAReleasedReadIsTheNextCallsClick)
{
    // Down right after the first read, up again two reads later: the press
    // belongs to the next call, which must see it as a click.
    input().setKeyAfterReads(1, KEY_X, true);
    input().setKeyAfterReads(3, KEY_X, false);
    EXPECT_EQ(x_button_clicked(), 0);
    EXPECT_EQ(x_button_clicked(), 1);
    EXPECT_EQ(x_button_clicked(), 0);
}

TEST_F(ButtonInterface, BlackButtonAgreesWithSideButton)
{
    EXPECT_EQ(black_button(), 0);
    EXPECT_EQ(side_button(), 0);
    input().setKey(KEY_ESC, true);
    EXPECT_EQ(black_button(), 1);
    EXPECT_EQ(side_button(), 1);
}

TEST_F(ButtonInterface, AnyButtonStopsAtTheFirstPressedEntryAndSeesTheSeventh)
{
    EXPECT_EQ(any_button(), 0);
    EXPECT_EQ(input().keyReads(), 7u);

    // B is entry 1: A's key and B's are read, none after them.
    input().setKey(KEY_B, true);
    const std::size_t before = input().keyReads();
    EXPECT_EQ(any_button(), 1);
    EXPECT_EQ(input().keyReads() - before, 2u);
    input().setKey(KEY_B, false);

    ASSERT_EQ(Button::all[6], static_cast<AbstractButton *>(&Button::Side));
    input().setKey(KEY_ESC, true);
    EXPECT_EQ(any_button(), 1);
}

TEST_F(ButtonInterface, ExtraButtonsVisibility)
{
    EXPECT_EQ(get_extra_buttons_visible(), 0);
    set_extra_buttons_visible(5);
    EXPECT_EQ(get_extra_buttons_visible(), 1);
    EXPECT_TRUE(ExtraButtons::isShown());
    extra_buttons_hide();
    EXPECT_EQ(get_extra_buttons_visible(), 0);
    extra_buttons_show();
    EXPECT_EQ(get_extra_buttons_visible(), 1);
    set_extra_buttons_visible(0);
    EXPECT_FALSE(ExtraButtons::isShown());
}

TEST_F(ButtonInterface, LabelsAreCopiedIntoTheirOwnButton)
{
    char text[] = "go";
    set_a_button_text(text);
    text[0] = 'n';
    set_b_button_text("b label");
    set_c_button_text("c label");
    set_x_button_text("x label");
    set_y_button_text("y label");
    set_z_button_text(nullptr);

    EXPECT_EQ(Button::A.text(), "go");
    EXPECT_EQ(Button::B.text(), "b label");
    EXPECT_EQ(Button::C.text(), "c label");
    EXPECT_EQ(Button::X.text(), "x label");
    EXPECT_EQ(Button::Y.text(), "y label");
    EXPECT_EQ(Button::Z.text(), "");
}

// --- the input-event source -------------------------------------------------

using InputSource = ButtonBoard;

TEST_F(InputSource, WithNoDeviceEveryButtonReadsReleasedWithoutBlocking)
{
    input().setPresent(false);
    Private::InputKeys::instance().rescan();
    for (const ButtonFunctions &f : buttonFunctions)
        input().setKey(f.key, true);

    for (const ButtonFunctions &f : buttonFunctions) {
        EXPECT_EQ(f.pressed(), 0) << f.name;
        EXPECT_EQ(f.clicked(), 0) << f.name;
    }
    EXPECT_EQ(any_button(), 0);
    EXPECT_EQ(input().openCount(), 0);
    EXPECT_EQ(clock().sleepCount(), 0u);
}

TEST_F(InputSource, ADeviceWithoutButtonKeysIsNotUsed)
{
    input().setReportedKeys({KEY_VOLUMEUP, KEY_POWER});
    Private::InputKeys::instance().rescan();
    input().setKey(KEY_A, true);

    EXPECT_EQ(a_button(), 0);
    EXPECT_EQ(input().openCount(), 1);
    EXPECT_EQ(input().openDescriptors(), 0);
}

TEST_F(InputSource, AnUnpluggedDeviceReadsReleasedAndIsFoundAgain)
{
    input().setKey(KEY_C, true);
    EXPECT_EQ(c_button(), 1);

    input().setReadError(ENODEV);
    EXPECT_EQ(c_button(), 0);
    EXPECT_EQ(input().openDescriptors(), 0);

    input().setReadError(0);
    EXPECT_EQ(c_button(), 1);
    EXPECT_EQ(input().openDescriptors(), 1);
}

TEST_F(InputSource, TheDeviceIsOpenedOnceForManyReads)
{
    Private::InputKeys::instance().rescan();
    input().setKey(KEY_Y, true);
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(y_button(), 1);
    EXPECT_EQ(input().openCount(), 1);
    EXPECT_EQ(input().openDescriptors(), 1);
}
