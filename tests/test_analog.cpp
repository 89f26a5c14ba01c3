#include "capture.h"
#include "io_traffic.h"

#include "private/analog_p.h"
#include "kestrix/analog.h"
#include "kestrix/analog.hpp"

#include <cerrno>
#include <thread>

using iotest::read;
using iotest::traffic;
using iotest::Traffic;
using iotest::write8;

namespace {
constexpr int PullupRegister = 21;

int valueRegister(int port)
{
    return 9 + 2 * port;
}
} // namespace

using AnalogPorts = iotest::IoBoard;

TEST_F(AnalogPorts, EachPortReadsItsOwnRegisterUnchanged)
{
    for (int port = 0; port < 6; ++port)
        spi().setRegister16(valueRegister(port), static_cast<std::uint16_t>(0x0100 * (port + 1) + port));
    spi().setRegister16(valueRegister(5), 0xFFFF); // no sign, no shift

    const Private::Analog &analog = Private::Analog::instance();
    EXPECT_EQ(analog.value(0), 0x0100);
    EXPECT_EQ(analog.value(1), 0x0201);
    EXPECT_EQ(analog.value(4), 0x0504);
    EXPECT_EQ(analog.value(5), 0xFFFF);
    EXPECT_EQ(traffic(), (Traffic{read(), read(), read(), read()}));
}

TEST_F(AnalogPorts, ValueRegisterAddressWrapsAndStopsAtTheReadWindow)
{
    spi().setRegister16(1, 0xBEEF);
    spi().setRegister16(84, 0x1234);
    const Private::Analog &analog = Private::Analog::instance();

    // Port 37 is register 83..84, still readable (its low byte is 84's high byte).
    EXPECT_EQ(analog.value(37), 0x0012);
    // Port 124: 9 + 248 wraps to register 1.
    EXPECT_EQ(analog.value(124), 0xBEEF);
    EXPECT_EQ(spi().exchangeCount(), 2u);

    spi().clearExchanges();
    // Port 38 is register 85..86, whose low byte lies beyond the snapshot.
    EXPECT_EQ(analog.value(38), 0);
    EXPECT_EQ(analog.value(100), 0);
    EXPECT_EQ(Analog(38).value(), 0);
    EXPECT_EQ(spi().exchangeCount(), 0u);
}

TEST_F(AnalogPorts, ReadingsScaleTheTwelveBitResult)
{
    struct Case
    {
        unsigned short raw;
        int at12, at10, at8;
    };
    const Case cases[] = {{4095, 4095, 1023, 255}, {4, 4, 1, 0}, {0x0ABC, 0x0ABC, 0x02AF, 0x00AB}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "raw " << c.raw);
        spi().setRegister16(valueRegister(3), c.raw);
        EXPECT_EQ(analog(3), c.at12);
        EXPECT_EQ(analog12(3), c.at12);
        EXPECT_EQ(analog10(3), c.at10);
        EXPECT_EQ(analog8(3), c.at8);
        EXPECT_EQ(analog_et(3), c.at12);
    }
}

TEST_F(AnalogPorts, ReadingSwitchesThePullupOnEveryTime)
{
    spi().setRegister8(PullupRegister, 0x04); // port 2's pull-up is on already
    spi().setRegister16(valueRegister(2), 1234);

    EXPECT_EQ(analog(2), 1234);

    EXPECT_EQ(traffic(), (Traffic{read(), write8(PullupRegister, 0x04), read()}));
}

TEST_F(AnalogPorts, EverySizeOfReadingLeavesThePullupOn)
{
    for (auto reading : {analog, analog8, analog10, analog12}) {
        spi().reset();
        spi().setRegister8(PullupRegister, 0xC0);

        reading(1);

        EXPECT_EQ(traffic(), (Traffic{read(), write8(PullupRegister, 0xC2), read()}));
    }
}

TEST_F(AnalogPorts, ReadingWithoutPullupClearsTheBitAndAPlainReadingSetsItAgain)
{
    spi().setRegister8(PullupRegister, 0xFF);

    analog_et(2);
    EXPECT_EQ(spi().register8(PullupRegister), 0xFB);
    EXPECT_EQ(get_analog_pullup(2), 0);
    EXPECT_EQ(get_analog_pullup(3), 1);

    spi().clearExchanges();
    analog(2);
    EXPECT_EQ(traffic(), (Traffic{read(), write8(PullupRegister, 0xFF), read()}));
}

TEST_F(AnalogPorts, SetPullupChangesOnlyThePortsBit)
{
    struct Case
    {
        unsigned char before;
        int port;
        int on;
        unsigned char after;
    };
    const Case cases[] = {
        {0x01, 2, 1, 0x05},
        {0x05, 2, 0, 0x01},
        {0x00, 7, 9, 0x80}, // bits 6 and 7 pass through like any other
        {0x5A, 8, 1, 0x5A}, // no such bit: written back unchanged
        {0x5A, 8 + 256 + 256, 0, 0x5A},
        {0x00, 256 + 3, 1, 0x08}, // the low 8 bits of the number: port 3
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "port " << c.port << " on " << c.on);
        spi().reset();
        spi().setRegister8(PullupRegister, c.before);

        set_analog_pullup(c.port, c.on);

        EXPECT_EQ(traffic(), (Traffic{read(), write8(PullupRegister, c.after)}));
    }
}

// Zeros from a failed read must not become the other ports' pull-ups.
TEST_F(AnalogPorts, FailedReadOfAPullupUpdateSendsNoWrite)
{
    spi().setRegister8(PullupRegister, 0x3E);
    spi().injectIoctlFailure(EIO, false);

    Capture err(2);
    set_analog_pullup(0, 1);
    err.text();

    EXPECT_EQ(traffic(), (Traffic{read()}));
    EXPECT_EQ(spi().register8(PullupRegister), 0x3E);
}

TEST_F(AnalogPorts, PullupReadsTheBitOfItsPort)
{
    spi().setRegister8(PullupRegister, 0xA2);

    EXPECT_EQ(get_analog_pullup(1), 1);
    EXPECT_EQ(get_analog_pullup(0), 0);
    EXPECT_EQ(get_analog_pullup(7), 1);
    EXPECT_EQ(get_analog_pullup(8), 0);
    EXPECT_TRUE(Analog(5).pullup());
    EXPECT_FALSE(Analog10(6).pullup());
    EXPECT_EQ(spi().exchangeCount(), 6u);
}

TEST_F(AnalogPorts, ObjectsReadWithoutTouchingThePullup)
{
    spi().setRegister8(PullupRegister, 0x00);
    spi().setRegister16(valueRegister(1), 3000);

    EXPECT_EQ(Analog(1).value(), 3000);
    EXPECT_EQ(traffic(), (Traffic{read()}));
    EXPECT_EQ(spi().register8(PullupRegister), 0x00);
}

TEST_F(AnalogPorts, ScaledObjectsDispatchThroughTheBase)
{
    spi().setRegister16(valueRegister(0), 4095);
    const Analog8 eight(0);
    const Analog10 ten(0);
    const Analog plain(0);
    const Analog &viaEight = eight;
    const Analog &viaTen = ten;

    EXPECT_EQ(viaEight.value(), 255);
    EXPECT_EQ(viaTen.value(), 1023);
    EXPECT_EQ(plain.value(), 4095);
    EXPECT_EQ(traffic(), (Traffic{read(), read(), read()}));

    // And destroyed through the base.
    std::unique_ptr<Analog> owned(new Analog10(0));
    EXPECT_EQ(owned->value(), 1023);
}

TEST_F(AnalogPorts, PortNumberIsKeptAndCostsNothing)
{
    const Analog10 ten(5);
    const Analog &base = ten;

    EXPECT_EQ(ten.port(), 5);
    EXPECT_EQ(base.port(), 5);
    EXPECT_EQ(Analog8(0).port(), 0);
    EXPECT_EQ(spi().exchangeCount(), 0u);
}

// On the real clock: the pause after every exchange is what gives the other
// thread its chance between a read and its write.
TEST_F(AnalogPorts, ThreadsReadingDifferentPortsKeepEachOthersPullup)
{
    iotest::OwnBitsOnly<8> watch(PullupRegister);
    spi().setBehaviour(&watch);
    spi().setRecording(false);
    constexpr int Readings = 500;

    std::thread withPullup([] {
        iotest::OwnBitsOnly<8>::claim(1u << 1);
        for (int i = 0; i < Readings; ++i)
            analog(1);
    });
    std::thread withoutPullup([] {
        iotest::OwnBitsOnly<8>::claim(1u << 4);
        for (int i = 0; i < Readings; ++i) {
            analog_et(4);
            set_analog_pullup(4, 1);
        }
    });
    withPullup.join();
    withoutPullup.join();

    EXPECT_EQ(spi().register8(PullupRegister), 0x12);
    EXPECT_EQ(watch.writes(), 3 * Readings);
    EXPECT_EQ(watch.foreignWrites(), 0);
}
