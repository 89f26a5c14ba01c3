#include "capture.h"
#include "io_traffic.h"

#include "private/digital_p.h"
#include "kestrix/digital.h"
#include "kestrix/digital.hpp"

#include <cerrno>
#include <thread>
#include <utility>

using iotest::read;
using iotest::traffic;
using iotest::Traffic;
using iotest::write16;

namespace {
constexpr int LevelRegister = 1;
constexpr int OutputRegister = 3;
constexpr int PullupRegister = 5;
constexpr int DirectionRegister = 7;
} // namespace

using DigitalPins = iotest::IoBoard;

TEST_F(DigitalPins, SetValueRewritesTheOutputRegisterWithOnlyThePinsBitChanged)
{
    struct Case
    {
        unsigned short before;
        unsigned char pin;
        bool on;
        unsigned short after;
    };
    const Case cases[] = {
        {0x0000, 3, true, 0x0008},
        {0x0008, 3, false, 0x0000},
        {0x0008, 3, true, 0x0008}, // already set: still written
        {0xFFFF, 0, false, 0xFFFE},
        {0x0000, 15, true, 0x8000},
        {0x1234, 16, true, 0x1234}, // no such bit: written back unchanged
        {0x1234, 255, false, 0x1234},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "pin " << int(c.pin) << " on " << c.on << " over 0x" << std::hex
                                        << c.before);
        spi().reset();
        spi().setRegister16(OutputRegister, c.before);

        EXPECT_TRUE(Private::Digital::instance().setValue(c.pin, c.on));

        EXPECT_EQ(traffic(), (Traffic{read(), write16(OutputRegister, c.after)}));
        EXPECT_EQ(spi().register16(OutputRegister), c.after);
    }
}

// A failed read gives zeros, not the register: writing one bit back onto
// them would clear every other pin's output, pull-up or direction.
TEST_F(DigitalPins, FailedReadOfAnUpdateSendsNoWrite)
{
    const std::pair<int, void (*)(int, int)> setters[] = {
        {OutputRegister, set_digital_value},
        {PullupRegister, set_digital_pullup},
        {DirectionRegister, set_digital_output},
    };
    for (const auto &setter : setters) {
        SCOPED_TRACE(testing::Message() << "register " << setter.first);
        spi().reset();
        spi().setRegister16(setter.first, 0xFFF0);
        spi().injectIoctlFailure(EIO, false);

        Capture err(2);
        setter.second(3, 1);

        EXPECT_EQ(traffic(), (Traffic{read()}));
        EXPECT_EQ(spi().register16(setter.first), 0xFFF0);
        EXPECT_NE(err.text(), "") << "the failed exchange is still reported";
    }
}

TEST_F(DigitalPins, EachSetterChangesItsOwnRegister)
{
    spi().setRegister16(OutputRegister, 0x0100);
    spi().setRegister16(PullupRegister, 0x0200);
    spi().setRegister16(DirectionRegister, 0x0400);

    set_digital_value(0, 1);
    set_digital_pullup(1, 7);
    set_digital_output(2, 5); // any non-zero value makes an output

    EXPECT_EQ(spi().register16(OutputRegister), 0x0101);
    EXPECT_EQ(spi().register16(PullupRegister), 0x0202);
    EXPECT_EQ(spi().register16(DirectionRegister), 0x0404);
    EXPECT_EQ(get_digital_output(2), 1);
    EXPECT_EQ(get_digital_pullup(1), 1);

    set_digital_value(8, 0);
    set_digital_pullup(9, 0);
    set_digital_output(10, 0);

    EXPECT_EQ(spi().register16(OutputRegister), 0x0001);
    EXPECT_EQ(spi().register16(PullupRegister), 0x0002);
    EXPECT_EQ(spi().register16(DirectionRegister), 0x0004);
    EXPECT_EQ(get_digital_output(10), 0);
    EXPECT_EQ(get_digital_pullup(9), 0);
}

TEST_F(DigitalPins, EachGetterReadsItsOwnRegisterAndBit)
{
    // A different single pin set in each register.
    spi().setRegister16(LevelRegister, 0x8000);
    spi().setRegister16(PullupRegister, 0x0020);
    spi().setRegister16(DirectionRegister, 0x0040);
    const Private::Digital &digital = Private::Digital::instance();

    for (unsigned char pin = 0; pin < 16; ++pin) {
        SCOPED_TRACE(testing::Message() << "pin " << int(pin));
        EXPECT_EQ(digital.value(pin), pin == 15);
        EXPECT_EQ(digital.pullup(pin), pin == 5);
        EXPECT_EQ(digital.direction(pin), pin == 6 ? Private::Digital::Output : Private::Digital::Input);
    }
    EXPECT_EQ(spi().exchangeCount(), 48u);
}

TEST_F(DigitalPins, PinsBeyondTheRegisterReadFalse)
{
    spi().setRegister16(LevelRegister, 0xFFFF);
    spi().setRegister16(PullupRegister, 0xFFFF);
    spi().setRegister16(DirectionRegister, 0xFFFF);
    const Private::Digital &digital = Private::Digital::instance();

    for (unsigned char pin : {16, 31, 32, 64, 255}) {
        SCOPED_TRACE(testing::Message() << "pin " << int(pin));
        EXPECT_FALSE(digital.value(pin));
        EXPECT_FALSE(digital.pullup(pin));
        EXPECT_EQ(digital.direction(pin), Private::Digital::Input);
    }
    EXPECT_TRUE(digital.value(15));
}

TEST_F(DigitalPins, OnlyTheLowEightBitsOfAPortNumberReachThePins)
{
    spi().setRegister16(LevelRegister, 0x0001);

    EXPECT_EQ(get_digital_value(256), 1); // pin 0
    EXPECT_EQ(get_digital_value(257), 0); // pin 1
    EXPECT_EQ(get_digital_value(-256), 1);

    set_digital_value(256 + 4, 1);
    EXPECT_EQ(spi().register16(OutputRegister), 0x0010);
}

TEST_F(DigitalPins, TouchReadingIsTheInvertedLevel)
{
    spi().setRegister16(LevelRegister, 0x0010);

    for (int pin = 0; pin < 16; ++pin) {
        SCOPED_TRACE(testing::Message() << "pin " << pin);
        const int level = get_digital_value(pin);
        EXPECT_EQ(level, pin == 4 ? 1 : 0);
        EXPECT_EQ(digital(pin), 1 - level);
    }
    EXPECT_EQ(digital(16), 1); // a pin without a bit reads level 0
}

TEST_F(DigitalPins, InvalidDirectionAndWiggleSendNothing)
{
    spi().setRegister16(DirectionRegister, 0x00FF);
    Private::Digital &digital = Private::Digital::instance();

    EXPECT_FALSE(digital.setDirection(3, Private::Digital::Invalid));
    EXPECT_FALSE(digital.setDirection(3, static_cast<Private::Digital::Direction>(7)));
    digital.wiggle();

    EXPECT_EQ(spi().exchangeCount(), 0u);
    EXPECT_EQ(spi().register16(DirectionRegister), 0x00FF);
}

TEST_F(DigitalPins, SetDirectionSetsOrClearsTheDirectionBit)
{
    spi().setRegister16(DirectionRegister, 0x00F0);
    Private::Digital &digital = Private::Digital::instance();

    EXPECT_TRUE(digital.setDirection(9, Private::Digital::Output));
    EXPECT_TRUE(digital.setDirection(4, Private::Digital::Input));

    EXPECT_EQ(traffic(), (Traffic{read(), write16(DirectionRegister, 0x02F0), read(),
                                  write16(DirectionRegister, 0x02E0)}));
}

TEST_F(DigitalPins, PinObjectForwardsWithoutInvertingTheLevel)
{
    spi().setRegister16(LevelRegister, 0x0010);
    Digital pin4(4);
    Digital pin5(5);

    EXPECT_TRUE(pin4.value());
    EXPECT_FALSE(pin5.value());
    EXPECT_EQ(pin4.value(), get_digital_value(4) == 1);
    EXPECT_EQ(digital(4), 0);

    EXPECT_TRUE(pin4.setOutput(true));
    EXPECT_TRUE(pin4.isOutput());
    EXPECT_FALSE(pin5.isOutput());
    EXPECT_TRUE(pin4.setOutput(false));
    EXPECT_FALSE(pin4.isOutput());

    EXPECT_TRUE(pin5.setPullup(true));
    EXPECT_TRUE(pin5.pullup());
    EXPECT_FALSE(pin4.pullup());
    EXPECT_TRUE(pin5.setValue(true));

    EXPECT_EQ(spi().register16(DirectionRegister), 0x0000);
    EXPECT_EQ(spi().register16(PullupRegister), 0x0020);
    EXPECT_EQ(spi().register16(OutputRegister), 0x0020);
}

// On the real clock: the pause after every exchange is what gives the other
// thread its chance between a read and its write.
TEST_F(DigitalPins, ThreadsTogglingDifferentPinsLoseNoChange)
{
    iotest::OwnBitsOnly<16> watch(OutputRegister);
    spi().setBehaviour(&watch);
    spi().setRecording(false);
    spi().setRegister16(OutputRegister, 0x8001);
    constexpr int Toggles = 1000;

    // Every call flips the pin's bit: on first, off last.
    auto toggle = [](int pin) {
        iotest::OwnBitsOnly<16>::claim(1u << pin);
        for (int i = 0; i < Toggles; ++i)
            set_digital_value(pin, i % 2 == 0);
    };
    std::thread first(toggle, 2);
    std::thread second(toggle, 11);
    first.join();
    second.join();

    EXPECT_EQ(spi().register16(OutputRegister), 0x8001);
    EXPECT_EQ(watch.writes(), 2 * Toggles);
    EXPECT_EQ(watch.foreignWrites(), 0);
}
