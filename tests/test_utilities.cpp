#include "private/bits_p.h"
#include "fakes/fake_network.h"
#include "kestrix/ir.h"
#include "kestrix/nyi.h"
#include "private/network_interface_p.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include <net/if.h>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

std::string capturedStdout()
{
    std::fflush(stdout);
    return GetCapturedStdout();
}

} // namespace

// --- nyi and the retired infrared calls -------------------------------------

TEST(Warnings, NyiWritesOneLineWithTheName)
{
    CaptureStdout();
    nyi("foo");
    EXPECT_EQ(capturedStdout(), "Warning: foo not yet implemented.\n");
}

TEST(Warnings, NyiWithoutANameLeavesStandardOutputWorking)
{
    CaptureStdout();
    nyi(nullptr);
    std::cout << "after" << std::endl;
    EXPECT_EQ(capturedStdout(), "Warning: (null) not yet implemented.\nafter\n");
}

TEST(Warnings, InfraredCallsSayTheyAreGone)
{
    CaptureStdout();
    ir_read();
    ir_write();
    EXPECT_EQ(capturedStdout(), "Ir::read() is no longer supported\nIr::write() is no longer supported\n");
}

// --- leading zeros ----------------------------------------------------------

TEST(LeadingZeros, KnownValues)
{
    using Private::Bits::leadingZeros;
    EXPECT_EQ(leadingZeros(0), 32);
    EXPECT_EQ(leadingZeros(1), 31);
    EXPECT_EQ(leadingZeros(2147483648u), 0);
    EXPECT_EQ(leadingZeros(16777215u), 8);
    EXPECT_EQ(leadingZeros(65535), 16);
    EXPECT_EQ(leadingZeros(255), 24);
    EXPECT_EQ(leadingZeros(65536), 15);
    EXPECT_EQ(leadingZeros(0xFFFFFFFFu), 0);
}

TEST(LeadingZeros, EveryBitPositionWithAnyLowerBits)
{
    // The highest set bit alone decides, whatever lies below it: every
    // table entry and every byte boundary is crossed.
    for (unsigned top = 0; top < 32; ++top) {
        const unsigned bit = 1u << top;
        for (unsigned below : {0u, bit - 1, (bit - 1) & 0x55555555u, (bit - 1) & 0x80808080u}) {
            const unsigned value = bit | (below & (bit - 1));
            EXPECT_EQ(Private::Bits::leadingZeros(value), 31 - top) << std::hex << value;
        }
    }
    for (unsigned byte = 1; byte < 256; ++byte) {
        int expected = 8;
        for (unsigned v = byte; v != 0; v >>= 1)
            --expected;
        EXPECT_EQ(Private::Bits::leadingZeros(byte), 24 + expected) << byte;
        EXPECT_EQ(Private::Bits::leadingZeros(byte << 8), 16 + expected) << byte;
    }
}

// --- the network hardware address -------------------------------------------

class MacAddress : public ::testing::Test
{
protected:
    void SetUp() override
    {
        network().reset();
        network().setEnabled(true);
    }
    void TearDown() override { network().reset(); }

    kxsim::FakeNetwork &network() { return kxsim::FakeNetwork::instance(); }

    // Calls macAddress and keeps what it printed.
    std::unique_ptr<char[]> ask()
    {
        CaptureStdout();
        std::unique_ptr<char[]> text(Private::NetworkInterface::macAddress(nullptr));
        m_printed = capturedStdout();
        return text;
    }

    static kxsim::FakeInterface loopback()
    {
        kxsim::FakeInterface lo;
        lo.name = "lo";
        lo.flags = IFF_UP | IFF_LOOPBACK;
        return lo;
    }

    static kxsim::FakeInterface ethernet(const std::string &name, std::array<std::uint8_t, 6> address)
    {
        kxsim::FakeInterface eth;
        eth.name = name;
        eth.flags = IFF_UP | IFF_BROADCAST;
        eth.hardwareAddress = address;
        return eth;
    }

    std::string m_printed;
};

TEST_F(MacAddress, LoopbackOnlyPrintsItsNameAndGivesNull)
{
    network().setInterfaces({loopback()});
    EXPECT_EQ(ask(), nullptr);
    EXPECT_EQ(m_printed, "ifr_name: lo\n");
    EXPECT_EQ(network().socketsOpened(), 1);
    EXPECT_EQ(network().socketsOpen(), 0);
}

TEST_F(MacAddress, LoopbackThenEthernetGivesTheEthernetAddress)
{
    network().setInterfaces(
        {loopback(), ethernet("eth0", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}), ethernet("wlan0", {1, 2, 3, 4, 5, 6})});
    auto text = ask();
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text.get(), "00:1a:2b:3c:4d:5e");
    // The scan stops at the chosen interface.
    EXPECT_EQ(m_printed, "ifr_name: lo\nifr_name: eth0\n");
    EXPECT_EQ(network().socketsOpen(), 0);
}

TEST_F(MacAddress, HighNibblesAndLowNibblesAreBothWritten)
{
    network().setInterfaces({ethernet("eth0", {0xF0, 0x0F, 0xAB, 0xCD, 0xEF, 0x90})});
    auto text = ask();
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text.get(), "f0:0f:ab:cd:ef:90");
}

TEST_F(MacAddress, InterfacesThatFailARequestAreSkipped)
{
    kxsim::FakeInterface noFlags = ethernet("eth0", {1, 1, 1, 1, 1, 1});
    noFlags.flagsFail = true;
    kxsim::FakeInterface noAddress = ethernet("eth1", {2, 2, 2, 2, 2, 2});
    noAddress.hardwareAddressFails = true;
    network().setInterfaces({noFlags, noAddress, ethernet("eth2", {3, 3, 3, 3, 3, 0x33})});

    auto text = ask();
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text.get(), "03:03:03:03:03:33");
    EXPECT_EQ(m_printed, "ifr_name: eth0\nifr_name: eth1\nifr_name: eth2\n");

    network().setInterfaces({noFlags, noAddress});
    EXPECT_EQ(ask(), nullptr);
    EXPECT_EQ(network().socketsOpen(), 0);
}

TEST_F(MacAddress, FailuresBeforeTheScanGiveNullAndPrintNothing)
{
    network().setInterfaces({ethernet("eth0", {1, 2, 3, 4, 5, 6})});
    network().setListFails(true);
    EXPECT_EQ(ask(), nullptr);
    EXPECT_EQ(m_printed, "");
    EXPECT_EQ(network().socketsOpened(), 1);
    EXPECT_EQ(network().socketsOpen(), 0);

    network().setSocketFails(true);
    EXPECT_EQ(ask(), nullptr);
    EXPECT_EQ(m_printed, "");
    EXPECT_EQ(network().socketsOpened(), 1);
}

TEST_F(MacAddress, AnOverlongListLengthReadsOnlyWhatFitsTheBuffer)
{
    // The kernel claims four kilobytes for a one-kilobyte buffer; only the
    // records that fit are looked at.
    const std::size_t fit = 1024 / sizeof(struct ifreq);
    std::vector<kxsim::FakeInterface> many(fit + 10, loopback());
    network().setInterfaces(many);
    network().setReportedListLength(4096);

    EXPECT_EQ(ask(), nullptr);
    std::string expected;
    for (std::size_t i = 0; i < fit; ++i)
        expected += "ifr_name: lo\n";
    EXPECT_EQ(m_printed, expected);

    network().setReportedListLength(-40);
    EXPECT_EQ(ask(), nullptr);
    EXPECT_EQ(m_printed, "");
}

TEST_F(MacAddress, ANameFillingTheWholeFieldIsCutThere)
{
    network().setInterfaces({ethernet("abcdefghijklmnopqrst", {9, 8, 7, 6, 5, 4})});
    // Sixteen bytes with no terminator: printed up to the field's end; the
    // request goes out with a terminated name the fake does not know.
    EXPECT_EQ(ask(), nullptr);
    EXPECT_EQ(m_printed, "ifr_name: abcdefghijklmnop\n");
}
