#include "fixture.h"

#include "kestrix_p.h"

using Private::Kestrix;

using Transport = FakeBoard;

TEST_F(Transport, ReadSendsAnEmptyBatchAndReturnsTheSnapshot)
{
    spi().setRegister16(22, 0x1234);
    const unsigned short value = Kestrix::instance().readRegister16b(22);

    ASSERT_EQ(spi().exchangeCount(), 1u);
    const kxsim::Packet out = spi().exchanges().at(0).out;
    EXPECT_EQ(out[0], 0x4A);
    EXPECT_EQ(out[1], 0x02);
    EXPECT_EQ(out[3], 0);
    for (std::size_t i = 4; i < 85; ++i)
        EXPECT_EQ(out[i], 0) << "byte " << i;
    EXPECT_EQ(out[85], 0x53);
    EXPECT_EQ(value, 0x1234);
}
