#include "fixture.h"

#include "private/accel_p.h"
#include "private/gyro_p.h"
#include "kestrix/accel.h"
#include "kestrix/gyro.h"
#include "kestrix/magneto.h"
#include "private/magneto_p.h"

namespace {

struct Axis
{
    const char *name;
    short (*read)();
    std::size_t address;
};

const Axis Axes[] = {
    {"magneto_x", magneto_x, 22}, {"magneto_y", magneto_y, 24}, {"magneto_z", magneto_z, 26},
    {"accel_x", accel_x, 28},     {"accel_y", accel_y, 30},     {"accel_z", accel_z, 32},
    {"gyro_x", gyro_x, 34},       {"gyro_y", gyro_y, 36},       {"gyro_z", gyro_z, 38},
};

} // namespace

using Sensors = VirtualTimeBoard;

TEST_F(Sensors, EveryAxisReadsItsOwnRegisterInOneExchange)
{
    // A distinct value per register, so that an axis reading a neighbour's
    // register shows.
    for (std::size_t address = 20; address < 42; address += 2)
        spi().setRegister16(address, static_cast<std::uint16_t>(1000 + address));

    for (const Axis &axis : Axes) {
        spi().clearExchanges();
        EXPECT_EQ(axis.read(), short(1000 + axis.address)) << axis.name;
        EXPECT_EQ(spi().exchangeCount(), 1u) << axis.name;
    }
}

TEST_F(Sensors, AxesAreSignedSixteenBitValues)
{
    const std::pair<std::uint16_t, short> cases[] = {
        {0x0064, 100}, {0x8000, -32768}, {0xFFFF, -1}, {0xFF38, -200}, {0x7FFF, 32767}};
    for (const auto &c : cases) {
        for (const Axis &axis : Axes)
            spi().setRegister16(axis.address, c.first);
        for (const Axis &axis : Axes)
            EXPECT_EQ(axis.read(), c.second) << axis.name << " with 0x" << std::hex << c.first;
    }
}

TEST_F(Sensors, DriversReadTheSameRegistersAsTheCFunctions)
{
    spi().setRegister16(22, 0xFFFE);
    spi().setRegister16(30, 0x8001);
    spi().setRegister16(38, 0x0123);

    EXPECT_EQ(Private::Magneto::instance().xMagneto(), -2);
    EXPECT_EQ(Private::Accel::instance().yAccel(), -32767);
    EXPECT_EQ(Private::Gyro::instance().zGyro(), 0x0123);
}

TEST_F(Sensors, CalibrationSucceedsAndSendsNothing)
{
    EXPECT_EQ(magneto_calibrate(), 0);
    EXPECT_TRUE(Private::Magneto::instance().calibrate());
    EXPECT_TRUE(Private::Accel::instance().calibrate());
    EXPECT_TRUE(Private::Gyro::instance().calibrate());
    EXPECT_EQ(spi().exchangeCount(), 0u);
}
