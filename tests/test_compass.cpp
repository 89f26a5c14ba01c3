#include "fixture.h"

#include "private/compass_p.h"
#include "kestrix/compass.h"

#include <cmath>

namespace {

constexpr double Pi = 3.14159265358979323846;
// Headings after calibration agree with the true heading within this many
// degrees (the synthetic readings carry about 1 % of noise).
constexpr double Tolerance = 2.0;

// The field the magnetometer of a robot with its own magnetism sees: a
// horizontal field of 400 counts, stretched by 1.5 along 30 degrees and
// squeezed to 0.8 across it, then shifted by (120, -80).
struct Distortion
{
    double offsetX = 120, offsetY = -80, z = -310;
    double axis = 30 * Pi / 180, along = 1.5, across = 0.8, field = 400;

    void reading(double headingDegrees, double noise, double &x, double &y) const
    {
        const double h = headingDegrees * Pi / 180;
        const double fx = field * std::cos(h), fy = field * std::sin(h);
        const double c = std::cos(axis), s = std::sin(axis);
        const double u = (c * fx + s * fy) * along, v = (-s * fx + c * fy) * across;
        x = offsetX + c * u - s * v + noise;
        y = offsetY + s * u + c * v - noise;
    }
};

void setField(kxsim::RegisterFile &registers, double x, double y, double z)
{
    registers.set16(22, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(x))));
    registers.set16(24, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(y))));
    registers.set16(26, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(z))));
}

// A robot turning counter-clockwise at one turn per `turnSeconds` of the
// fake clock, seen through `distortion`, with a little deterministic noise.
class TurningRobot : public kxsim::Behaviour
{
public:
    TurningRobot(const Distortion &distortion, double turnSeconds, double noise)
        : m_distortion(distortion), m_turnSeconds(turnSeconds), m_noise(noise)
    {
    }

    void advance(kxsim::RegisterFile &registers) override
    {
        const double t = kxsim::Clock::instance().nowUs() / 1e6;
        const double heading = std::fmod(t / m_turnSeconds * 360.0, 360.0);
        m_seed = m_seed * 1103515245u + 12345u;
        const double noise = ((m_seed >> 16) % 2001 / 1000.0 - 1.0) * m_noise;
        double x, y;
        m_distortion.reading(heading, noise, x, y);
        setField(registers, x, y, m_distortion.z + noise);
    }

private:
    Distortion m_distortion;
    double m_turnSeconds;
    double m_noise;
    unsigned m_seed = 1;
};

double angleError(double a, double b)
{
    double d = std::fmod(std::fabs(a - b), 360.0);
    return d > 180 ? 360 - d : d;
}

class CompassTest : public VirtualTimeBoard
{
protected:
    void SetUp() override
    {
        VirtualTimeBoard::SetUp();
        Compass::instance().setParams(Compass::Params());
    }
    void TearDown() override
    {
        spi().setBehaviour(nullptr);
        VirtualTimeBoard::TearDown();
    }

    float headingFor(const Distortion &d, double trueHeading)
    {
        double x, y;
        d.reading(trueHeading, 0, x, y);
        spi().setRegister16(22, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(x))));
        spi().setRegister16(24, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(y))));
        return get_compass_angle();
    }
};

} // namespace

TEST_F(CompassTest, UncalibratedHeadingIsTheAngleFromPlusXTowardsPlusY)
{
    const struct { short x, y; float degrees; } cases[] = {
        {100, 0, 0}, {100, 100, 45}, {0, 100, 90}, {-100, 0, 180}, {0, -100, 270}, {100, -1, 359.427f},
    };
    for (const auto &c : cases) {
        spi().setRegister16(22, static_cast<std::uint16_t>(c.x));
        spi().setRegister16(24, static_cast<std::uint16_t>(c.y));
        const float angle = get_compass_angle();
        EXPECT_NEAR(angle, c.degrees, 0.01) << c.x << "," << c.y;
        EXPECT_GE(angle, 0.0f);
        EXPECT_LT(angle, 360.0f);
    }
}

TEST_F(CompassTest, CalibrationWhileTurningCorrectsADistortedField)
{
    const Distortion distortion;
    // Before calibration the stretched, shifted field is off by tens of degrees.
    double worstBefore = 0;
    for (int h = 0; h < 360; h += 15)
        worstBefore = std::max(worstBefore, angleError(headingFor(distortion, h), h));
    EXPECT_GT(worstBefore, 20.0);

    TurningRobot robot(distortion, 4.0, 4.0);
    spi().setBehaviour(&robot);
    spi().clearExchanges();
    clock().reset();
    EXPECT_EQ(calibrate_compass(), 0);
    spi().setBehaviour(nullptr);

    // Paced by msleep only; the other sleeps are the link's 50 us per exchange.
    std::size_t pauses = 0;
    for (std::uint64_t us : clock().sleeps())
        pauses += us == KESTRIX_COMPASS_CALIBRATION_PERIOD_MS * 1000u ? 1 : us == 50u ? 0 : 1000;
    EXPECT_EQ(pauses, std::size_t(KESTRIX_COMPASS_CALIBRATION_SAMPLES));
    EXPECT_EQ(spi().exchangeCount(), 3u * KESTRIX_COMPASS_CALIBRATION_SAMPLES);

    const Compass::Params p = Compass::instance().params();
    EXPECT_NEAR(p.meanX, 120, 3);
    EXPECT_NEAR(p.meanY, -80, 3);
    EXPECT_NEAR(p.meanZ, -310, 1);
    EXPECT_NEAR(std::fabs(p.w1 * std::cos(Pi / 6) + p.w2 * std::sin(Pi / 6)), 1.0, 0.01);
    EXPECT_NEAR(p.divE1 / p.divE2, 1.5 / 0.8, 0.05);

    for (int h = 0; h < 360; h += 15)
        EXPECT_LE(angleError(headingFor(distortion, h), h), Tolerance) << "true heading " << h;
}

TEST_F(CompassTest, CalibrationWithoutTurningFailsAndKeepsTheParameters)
{
    set_compass_params(5, 6, 7, 0, 1, 2, 1);
    const Compass::Params before = Compass::instance().params();

    // Standing still: noise around one reading.
    TurningRobot still(Distortion(), 1e12, 6.0);
    spi().setBehaviour(&still);
    EXPECT_EQ(calibrate_compass(), -1);
    spi().setBehaviour(nullptr);

    // Turning only a quarter of a circle.
    TurningRobot quarter(Distortion(), 40.0, 1.0);
    spi().setBehaviour(&quarter);
    EXPECT_EQ(calibrate_compass(), -1);
    spi().setBehaviour(nullptr);

    // No magnetometer at all: every reading 0.
    EXPECT_EQ(calibrate_compass(), -1);

    const Compass::Params after = Compass::instance().params();
    EXPECT_EQ(after.meanX, before.meanX);
    EXPECT_EQ(after.w2, before.w2);
    EXPECT_EQ(after.divE1, before.divE1);
}

TEST_F(CompassTest, FixedParametersRemoveOffsetAndRescaleAlongTheGivenAxis)
{
    // Major axis along +Y (given with length 3), twice as long as the minor.
    set_compass_params(10, 20, 0, 0, 3, 2, 1);
    spi().setRegister16(22, 10);
    spi().setRegister16(24, 220);
    EXPECT_NEAR(get_compass_angle(), 90, 0.01);
    spi().setRegister16(22, 110);
    spi().setRegister16(24, 220);
    EXPECT_NEAR(get_compass_angle(), 45, 0.01);
    spi().setRegister16(22, static_cast<std::uint16_t>(-90));
    spi().setRegister16(24, static_cast<std::uint16_t>(-180));
    EXPECT_NEAR(get_compass_angle(), 225, 0.01);
}

TEST_F(CompassTest, UnusableParametersFallBackToNoCorrection)
{
    set_compass_params(NAN, 0, 0, 0, 0, 0, -1);
    const Compass::Params p = Compass::instance().params();
    EXPECT_EQ(p.meanX, 0);
    EXPECT_EQ(p.w1, 1);
    EXPECT_EQ(p.w2, 0);
    EXPECT_EQ(p.divE1, 1);
    EXPECT_EQ(p.divE2, 1);
    spi().setRegister16(22, 0);
    spi().setRegister16(24, 50);
    EXPECT_NEAR(get_compass_angle(), 90, 0.01);
}
