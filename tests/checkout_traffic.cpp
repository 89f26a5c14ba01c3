// The register traffic of a check-out program, counted exchange by exchange:
// the program's own source is built into this test with its main renamed, so
// it runs against the fake coprocessor with virtual time.
#include "fixture.h"
#include "packets.h"

#include <vector>

extern "C" int servo_sweep_check_main(void);

namespace {

using Write = packets::Op;

std::vector<Write> writesSent()
{
    std::vector<Write> result;
    for (const packets::Op &op : packets::traffic())
        if (op.width != 0)
            result.push_back(op);
    return result;
}

} // namespace

using CheckoutTraffic = VirtualTimeBoard;

TEST_F(CheckoutTraffic, ServoSweepCheckSends120PositionsBetweenFourEnablesAndFourDisables)
{
    spi().setRegister8(59, 0x05); // bits 0-3 do not belong to the servos
    const std::int64_t start = clock().nowUs();
    EXPECT_EQ(servo_sweep_check_main(), 0);
    EXPECT_NEAR((clock().nowUs() - start) / 1e6, 60.0, 0.1);

    const std::vector<Write> writes = writesSent();
    ASSERT_EQ(writes.size(), 4u + 120u + 4u);

    // Enables of servos 0, 1, 2, 3 in turn, the low bits kept.
    unsigned enables = 0x05;
    for (unsigned s = 0; s < 4; ++s) {
        enables |= 1u << (4 + s);
        EXPECT_EQ(writes[s].address, 59u);
        EXPECT_EQ(writes[s].value, enables) << "enable " << s;
    }
    // Disables in the same order at the end.
    for (unsigned s = 0; s < 4; ++s) {
        enables &= ~(1u << (4 + s));
        EXPECT_EQ(writes[124 + s].address, 59u);
        EXPECT_EQ(writes[124 + s].value, enables) << "disable " << s;
    }
    EXPECT_EQ(spi().register8(59), 0x05);

    // Thirty steps of four 16-bit pulse commands, servos in ascending order.
    unsigned pulse[30][4];
    for (unsigned step = 0; step < 30; ++step)
        for (unsigned s = 0; s < 4; ++s) {
            const Write &w = writes[4 + step * 4 + s];
            ASSERT_EQ(w.width, 2u);
            ASSERT_EQ(w.address, 76u + 2 * s) << "step " << step;
            pulse[step][s] = w.value;
        }
    // Servo 0 walks a ramp up (four distinct rising values) and back down,
    // repeating every six steps; servo s is s steps ahead of servo 0.
    EXPECT_LT(pulse[0][0], pulse[1][0]);
    EXPECT_LT(pulse[1][0], pulse[2][0]);
    EXPECT_LT(pulse[2][0], pulse[3][0]);
    EXPECT_EQ(pulse[4][0], pulse[2][0]);
    EXPECT_EQ(pulse[5][0], pulse[1][0]);
    for (unsigned step = 6; step < 30; ++step)
        EXPECT_EQ(pulse[step][0], pulse[step - 6][0]) << "step " << step;
    for (unsigned step = 0; step + 3 < 30; ++step)
        for (unsigned s = 1; s < 4; ++s)
            EXPECT_EQ(pulse[step][s], pulse[step + s][0]) << "step " << step << " servo " << s;
}
