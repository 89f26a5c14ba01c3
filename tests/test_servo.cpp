#include "capture.h"
#include "io_traffic.h"

#include "kestrix/servo.h"
#include "kestrix/servo.hpp"
#include "private/servo_p.h"

#include <cerrno>
#include <thread>

using iotest::read;
using iotest::traffic;
using iotest::Traffic;
using iotest::write16;
using iotest::write8;

namespace {
constexpr int EnableRegister = 59;

int pulseRegister(int port)
{
    return 76 + 2 * port;
}
} // namespace

using Servos = iotest::IoBoard;

TEST_F(Servos, PositionsBecomePulseCommandsAndReadBackTruncated)
{
    struct Row
    {
        unsigned short position;
        unsigned short pulse;
        unsigned short readBack;
    };
    const Row table[] = {
        {0, 600, 0},         {1, 601, 0},         {2, 603, 1},        {341, 1200, 341},
        {511, 1499, 510},    {512, 1500, 511},    {682, 1800, 682},   {1022, 2398, 1021},
        {1023, 2400, 1023},  {1024, 2400, 1023},  {65535, 2400, 1023},
    };
    Private::Servo &servo = Private::Servo::instance();
    for (const Row &row : table) {
        SCOPED_TRACE(testing::Message() << "position " << row.position);
        spi().reset();

        EXPECT_TRUE(servo.setPosition(1, row.position));
        EXPECT_EQ(servo.position(1), row.readBack);

        EXPECT_EQ(traffic(), (Traffic{write16(pulseRegister(1), row.pulse), read()}));
    }
}

TEST_F(Servos, EveryPositionReadsBackAsSetOrOneLess)
{
    Private::Servo &servo = Private::Servo::instance();
    clock().setMode(kxsim::Clock::Mode::Virtual);
    spi().setRecording(false);
    for (unsigned int position = 0; position <= 1023; ++position) {
        servo.setPosition(0, static_cast<unsigned short>(position));
        const unsigned int back = servo.position(0);
        const bool exact = position == 0 || position == 341 || position == 682 || position == 1023;
        ASSERT_EQ(back, exact ? position : position - 1) << "position " << position;
    }
}

TEST_F(Servos, EachPortHasItsOwnPulseRegister)
{
    Private::Servo &servo = Private::Servo::instance();

    servo.setPosition(0, 0);
    servo.setPosition(1, 341);
    servo.setPosition(2, 682);
    servo.setPosition(3, 1023);
    servo.setPosition(3, 5000);

    EXPECT_EQ(traffic(), (Traffic{write16(76, 600), write16(78, 1200), write16(80, 1800), write16(82, 2400),
                                  write16(82, 2400)}));
    EXPECT_EQ(get_servo_position(2), 682);
}

TEST_F(Servos, PulseCommandsOutsideTheTravelReadAsItsEnds)
{
    struct Case
    {
        unsigned short pulse;
        int position;
    };
    const Case cases[] = {{0, 0}, {599, 0}, {600, 0}, {1500, 511}, {2400, 1023}, {2401, 1023}, {65535, 1023}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "pulse " << c.pulse);
        spi().setRegister16(pulseRegister(3), c.pulse);
        EXPECT_EQ(get_servo_position(3), c.position);
    }
}

TEST_F(Servos, CPositionsAreTakenModulo65536BeforeClamping)
{
    set_servo_position(0, -1);
    EXPECT_EQ(spi().register16(pulseRegister(0)), 2400);

    set_servo_position(0, 65536);
    EXPECT_EQ(spi().register16(pulseRegister(0)), 600);

    set_servo_position(0, 65536 + 512);
    EXPECT_EQ(spi().register16(pulseRegister(0)), 1500);

    set_servo_position(0, -65536 + 341);
    EXPECT_EQ(spi().register16(pulseRegister(0)), 1200);
}

TEST_F(Servos, PortsOutsideZeroToThreeAreRefusedWithoutAnExchange)
{
    spi().setRegister8(EnableRegister, 0xFF);
    Private::Servo &servo = Private::Servo::instance();

    for (int port : {4, -1, 7, 256, -2147483647 - 1}) {
        SCOPED_TRACE(testing::Message() << "port " << port);
        EXPECT_FALSE(servo.setPosition(port, 100));
        EXPECT_EQ(servo.position(port), 65535);
        EXPECT_FALSE(servo.isEnabled(port));
        servo.setEnabled(port, false);

        set_servo_position(port, 100);
        EXPECT_EQ(get_servo_position(port), 65535);
        EXPECT_EQ(get_servo_enabled(port), 0);
        set_servo_enabled(port, 0);
        enable_servo(port);
        disable_servo(port);

        const Servo object(port);
        Servo mutableObject(port);
        EXPECT_FALSE(mutableObject.setPosition(100));
        EXPECT_EQ(object.position(), 65535u);
        EXPECT_FALSE(object.isEnabled());
        mutableObject.disable();
    }
    EXPECT_EQ(spi().exchangeCount(), 0u);
}

TEST_F(Servos, EnableWritesOnlyWhenThePortsBitChanges)
{
    struct Case
    {
        unsigned char before;
        int port;
        bool enabled;
        Traffic expected;
    };
    const Case cases[] = {
        {0x00, 0, true, {read(), write8(EnableRegister, 0x10)}},
        {0x10, 3, true, {read(), write8(EnableRegister, 0x90)}},
        {0x10, 0, true, {read()}},
        {0x0F, 1, true, {read(), write8(EnableRegister, 0x2F)}}, // the low nibble passes through
        {0xFF, 2, false, {read(), write8(EnableRegister, 0xBF)}},
        {0xEF, 0, false, {read()}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "port " << c.port << " enabled " << c.enabled << " over 0x" << std::hex
                                        << int(c.before));
        spi().reset();
        spi().setRegister8(EnableRegister, c.before);

        Private::Servo::instance().setEnabled(c.port, c.enabled);

        EXPECT_EQ(traffic(), c.expected);
    }
}

// After a failed read the register is unknown: enabling one servo on top of
// zeros would disable the others, so nothing is written, and a disable that
// meets a failed read is not sent either.
TEST_F(Servos, FailedReadOfAnEnableUpdateSendsNoWrite)
{
    struct Case
    {
        unsigned char before;
        void (*call)(int);
        int port;
    };
    const Case cases[] = {{0x75, enable_servo, 3}, {0xF5, disable_servo, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "port " << c.port << " over 0x" << std::hex << int(c.before));
        spi().reset();
        spi().setRegister8(EnableRegister, c.before);
        spi().injectIoctlFailure(EIO, false);

        Capture err(2);
        c.call(c.port);
        err.text();

        EXPECT_EQ(traffic(), (Traffic{read()}));
        EXPECT_EQ(spi().register8(EnableRegister), c.before);
    }
}

TEST_F(Servos, EnabledReadsThePortsBitAboveTheLowNibble)
{
    spi().setRegister8(EnableRegister, 0x4F);

    EXPECT_EQ(get_servo_enabled(0), 0);
    EXPECT_EQ(get_servo_enabled(1), 0);
    EXPECT_EQ(get_servo_enabled(2), 1);
    EXPECT_EQ(get_servo_enabled(3), 0);
    EXPECT_EQ(spi().exchangeCount(), 4u);
}

TEST_F(Servos, EnablingAllCostsOneReadPerPortAndWritesOnlyChanges)
{
    spi().setRegister8(EnableRegister, 0xF3);
    enable_servos();
    EXPECT_EQ(traffic(), (Traffic{read(), read(), read(), read()}));

    spi().reset();
    spi().setRegister8(EnableRegister, 0x05);
    enable_servos();
    EXPECT_EQ(traffic(), (Traffic{read(), write8(EnableRegister, 0x15), read(), write8(EnableRegister, 0x35),
                                  read(), write8(EnableRegister, 0x75), read(), write8(EnableRegister, 0xF5)}));

    spi().reset();
    spi().setRegister8(EnableRegister, 0xA0);
    disable_servos();
    EXPECT_EQ(traffic(), (Traffic{read(), read(), write8(EnableRegister, 0x80), read(), read(),
                                  write8(EnableRegister, 0x00)}));
}

TEST_F(Servos, EnableAndPositionAreIndependent)
{
    spi().setRegister16(pulseRegister(1), 1500);

    enable_servo(1);
    set_servo_position(2, 0);

    EXPECT_EQ(spi().register8(EnableRegister), 0x20);
    EXPECT_EQ(spi().register16(pulseRegister(1)), 1500);
    EXPECT_EQ(spi().register16(pulseRegister(2)), 600);
}

TEST_F(Servos, ServoObjectTakesPositionsModulo65536)
{
    Servo servo(2);

    EXPECT_TRUE(servo.setPosition(70000)); // 4464, clamped to 1023
    EXPECT_EQ(spi().register16(pulseRegister(2)), 2400);
    EXPECT_EQ(servo.position(), 1023u);

    EXPECT_TRUE(servo.setPosition(65536)); // 0
    EXPECT_EQ(spi().register16(pulseRegister(2)), 600);

    EXPECT_TRUE(servo.setPosition(65536 + 682));
    EXPECT_EQ(spi().register16(pulseRegister(2)), 1800);
    EXPECT_EQ(servo.position(), 682u);
}

TEST_F(Servos, ServoObjectSwitchesItsOwnEnableBit)
{
    spi().setRegister8(EnableRegister, 0x0A);
    Servo servo(2);

    servo.enable();
    EXPECT_TRUE(servo.isEnabled());
    EXPECT_EQ(spi().register8(EnableRegister), 0x4A);

    servo.setEnabled(true); // already on: a read, no write
    servo.disable();
    EXPECT_FALSE(servo.isEnabled());
    EXPECT_EQ(spi().register8(EnableRegister), 0x0A);

    EXPECT_EQ(traffic(), (Traffic{read(), write8(EnableRegister, 0x4A), read(), read(), read(),
                                  write8(EnableRegister, 0x0A), read()}));
}

// On the real clock: the pause after every exchange is what gives the other
// thread its chance between a read and its write.
TEST_F(Servos, ThreadsTogglingDifferentServosLoseNoChange)
{
    iotest::OwnBitsOnly<8> watch(EnableRegister);
    spi().setBehaviour(&watch);
    spi().setRecording(false);
    spi().setRegister8(EnableRegister, 0x85);
    constexpr int Toggles = 1000;

    // Every call flips the servo's bit, so every call writes: on first, off last.
    auto toggle = [](int port) {
        iotest::OwnBitsOnly<8>::claim(1u << (port + 4));
        for (int i = 0; i < Toggles; ++i)
            set_servo_enabled(port, i % 2 == 0);
    };
    std::thread first(toggle, 1);
    std::thread second(toggle, 2);
    first.join();
    second.join();

    EXPECT_EQ(spi().register8(EnableRegister), 0x85);
    EXPECT_EQ(watch.writes(), 2 * Toggles);
    EXPECT_EQ(watch.foreignWrites(), 0);
}
