// The drone client's pure parts, on bytes and strings: navdata decoding, AT
// command text, and the pieces of the version fetch that read replies.
#include "private/ardrone_commands_p.h"
#include "private/ardrone_navdata_p.h"
#include "private/ardrone_version_p.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace At = Private::AtCommands;
namespace Navdata = Private::Navdata;
namespace Version = Private::DroneVersion;

namespace {

// Little-endian writer, kept apart from the fake drone's so that a mistake
// in one is not repeated by the other.
struct Bytes
{
    std::vector<unsigned char> data;

    Bytes &u32(std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            data.push_back(static_cast<unsigned char>(v >> (8 * i)));
        return *this;
    }
    Bytes &u16(std::uint16_t v)
    {
        data.push_back(static_cast<unsigned char>(v));
        data.push_back(static_cast<unsigned char>(v >> 8));
        return *this;
    }
    Bytes &f32(float v)
    {
        std::uint32_t bits;
        std::memcpy(&bits, &v, 4);
        return u32(bits);
    }
    std::uint32_t sum() const
    {
        std::uint32_t total = 0;
        for (unsigned char byte : data)
            total += byte;
        return total;
    }
    // Closes the packet with the checksum option holding `checksum`.
    std::vector<unsigned char> closed(std::uint32_t checksum) const
    {
        Bytes copy = *this;
        copy.u16(0xFFFF).u16(8).u32(checksum);
        return copy.data;
    }
};

Bytes header(std::uint32_t state, std::uint32_t sequence)
{
    Bytes b;
    b.u32(0x55667788u).u32(state).u32(sequence).u32(1);
    return b;
}

// A demo option (tag 0, 148 bytes as the drone sends it) between a vision
// option (tag 16) and the checksum. 29940 is the byte sum of the 236 bytes
// before the checksum, worked out apart from the code under test.
Bytes realPacket(float pitchMilli = -1500.0f, std::uint32_t battery = 73)
{
    Bytes b = header(0x41, 0x12345);
    b.u16(0).u16(148).u32(0x40000).u32(battery).f32(pitchMilli).f32(2250.0f).f32(-90000.0f).u32(1234);
    b.f32(100.5f).f32(-20.25f).f32(3.0f);
    for (int i = 0; i < 148 - 4 - 36; ++i)
        b.data.push_back(static_cast<unsigned char>(i * 7));
    b.u16(16).u16(72);
    for (int i = 0; i < 68; ++i)
        b.data.push_back(static_cast<unsigned char>(0xA0 + i));
    return b;
}

bool decodes(const std::vector<unsigned char> &bytes, Navdata::Packet *out = nullptr)
{
    Navdata::Packet packet;
    const bool ok = Navdata::decode(bytes.data(), bytes.size(), packet);
    if (out != nullptr)
        *out = packet;
    return ok;
}

// ------------------------------------------------------------------ navdata

TEST(Navdata, ARealPacketWithSeveralOptionsDecodesInLibraryUnits)
{
    const Bytes body = realPacket();
    ASSERT_EQ(body.data.size(), 236u);
    Navdata::Packet packet;
    ASSERT_TRUE(decodes(body.closed(29940), &packet));

    EXPECT_EQ(packet.state, 0x41u);
    EXPECT_EQ(packet.sequence, 0x12345u);
    ASSERT_TRUE(packet.hasDemo);
    EXPECT_EQ(packet.demo.batteryLevel, 73);
    EXPECT_FLOAT_EQ(packet.demo.pitch, -1.5f);
    EXPECT_FLOAT_EQ(packet.demo.roll, 2.25f);
    EXPECT_FLOAT_EQ(packet.demo.yaw, -90.0f);
    EXPECT_FLOAT_EQ(packet.demo.altitude, 1.234f);
    EXPECT_FLOAT_EQ(packet.demo.xVelocity, 0.1005f);
    EXPECT_FLOAT_EQ(packet.demo.yVelocity, -0.02025f);
    EXPECT_FLOAT_EQ(packet.demo.zVelocity, 0.003f);
    EXPECT_EQ(packet.demo.x, 0.0f);

    // Off by one either way, or any byte before it changed: dropped.
    EXPECT_FALSE(decodes(body.closed(29939)));
    EXPECT_FALSE(decodes(body.closed(29941)));
    std::vector<unsigned char> changed = body.closed(29940);
    changed[200] ^= 0x10;
    EXPECT_FALSE(decodes(changed));
}

TEST(Navdata, BrokenFramingIsDropped)
{
    const std::vector<unsigned char> good = realPacket().closed(29940);
    struct Case
    {
        const char *what;
        std::vector<unsigned char> bytes;
    };
    std::vector<Case> cases;
    cases.push_back({"empty", {}});
    cases.push_back({"header only, no checksum", header(0, 1).data});
    std::vector<unsigned char> wrongHeader = good;
    wrongHeader[3] = 0x56;
    cases.push_back({"wrong header", wrongHeader});
    cases.push_back({"cut inside the checksum", std::vector<unsigned char>(good.begin(), good.end() - 1)});
    Bytes overrun = header(0, 1);
    overrun.u16(0).u16(200).u32(0);
    cases.push_back({"option runs past the end", overrun.closed(overrun.sum())});
    Bytes tiny = header(0, 1);
    tiny.u16(7).u16(2);
    cases.push_back({"option shorter than its own header", tiny.closed(tiny.sum())});
    Bytes longSum = header(0, 1);
    longSum.u16(0xFFFF).u16(12).u32(longSum.sum()).u32(0);
    cases.push_back({"checksum option of the wrong size", longSum.data});

    for (const Case &c : cases)
        EXPECT_FALSE(decodes(c.bytes)) << c.what;
}

TEST(Navdata, HeaderOnlyPacketCarriesTheStateButNoReadings)
{
    // What the drone sends before demo navdata is switched on.
    const Bytes b = header(1u << 11, 9);
    Navdata::Packet packet;
    ASSERT_TRUE(decodes(b.closed(b.sum()), &packet));
    EXPECT_EQ(packet.state, 1u << 11);
    EXPECT_FALSE(packet.hasDemo);
}

TEST(Navdata, NonFiniteReadingsSpoilTheWholePacket)
{
    for (float poison : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()}) {
        const Bytes b = realPacket(poison);
        EXPECT_FALSE(decodes(b.closed(b.sum()))) << poison;
    }
}

TEST(Navdata, BatteryIsClampedToAPercentage)
{
    const std::pair<std::uint32_t, int> cases[] = {{0, 0}, {100, 100}, {101, 100}, {0x7FFFFFFF, 100},
                                                   {0x80000000u, 0}, {0xFFFFFFFFu, 0}};
    for (const auto &c : cases) {
        const Bytes b = realPacket(0.0f, c.first);
        Navdata::Packet packet;
        ASSERT_TRUE(decodes(b.closed(b.sum()), &packet));
        EXPECT_EQ(packet.demo.batteryLevel, c.second) << c.first;
    }
}

TEST(Navdata, UpdateIntegratesTheNewVelocities)
{
    NavigationData now;
    now.x = 1.0f;
    NavigationData demo;
    demo.batteryLevel = 40;
    demo.xVelocity = 2.0f;
    demo.yVelocity = -1.0f;
    Navdata::update(now, demo, 0.25f);
    EXPECT_EQ(now.batteryLevel, 40);
    EXPECT_FLOAT_EQ(now.x, 1.5f);
    EXPECT_FLOAT_EQ(now.y, -0.25f);
    Navdata::update(now, demo, 0.0f);
    EXPECT_FLOAT_EQ(now.x, 1.5f);
}

// ----------------------------------------------------------------- commands

TEST(AtCommands, FloatArgumentsAreBitPatternsHeldToTheUnitRange)
{
    const std::pair<float, const char *> cases[] = {
        {0.8f, "1061997773"},   {-0.8f, "-1085485875"},  {0.0f, "0"},
        {-0.0f, "0"},           {1.5f, "1065353216"},    {-7.0f, "-1082130432"},
        {std::numeric_limits<float>::quiet_NaN(), "0"},  {std::numeric_limits<float>::infinity(), "1065353216"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(At::floatArgument(c.first), c.second) << c.first;
}

TEST(AtCommands, EachCommandHasItsExactText)
{
    EXPECT_EQ(At::format(1, "REF", At::ref(At::RefLand)), "AT*REF=1,290717696\r");
    EXPECT_EQ(At::format(2, "REF", At::ref(At::RefTakeoff)), "AT*REF=2,290718208\r");
    EXPECT_EQ(At::format(3, "PCMD", At::hover()), "AT*PCMD=3,0,0,0,0,0\r");
    EXPECT_EQ(At::format(4, "PCMD", At::move(0.8f, -0.8f, 0.0f, 1.5f)),
              "AT*PCMD=4,1,1061997773,-1085485875,0,1065353216\r");
    EXPECT_EQ(At::format(5, "FTRIM", ""), "AT*FTRIM=5,\r");
    EXPECT_EQ(At::format(6, "CONFIG", At::config("general:navdata_demo", "TRUE")),
              "AT*CONFIG=6,\"general:navdata_demo\",\"TRUE\"\r");
    EXPECT_EQ(At::format(4294967295u, "CTRL", At::acknowledge()), "AT*CTRL=4294967295,5,0\r");
}

TEST(AtCommands, SettingsThatWouldBreakTheCommandAreInvalid)
{
    EXPECT_TRUE(At::isValidSsid("kestrix-7"));
    EXPECT_TRUE(At::isValidSsid(std::string(32, 'a').c_str()));
    for (const char *bad : {"", "a\",\"b", "line\rbreak", "tab\there", "del\x7f", "a-name-that-is-longer-than-32-chars"})
        EXPECT_FALSE(At::isValidSsid(bad)) << bad;
    EXPECT_FALSE(At::isValidSsid(nullptr));

    EXPECT_TRUE(At::isValidOwnerAddress("01:23:45:67:89:ab"));
    EXPECT_TRUE(At::isValidOwnerAddress("00:00:00:00:00:00"));
    for (const char *bad : {"01:23:45:67:89", "01:23:45:67:89:zz", "01-23-45-67-89-ab", "01:23:45:67:89:ab:"})
        EXPECT_FALSE(At::isValidOwnerAddress(bad)) << bad;
    EXPECT_FALSE(At::isValidOwnerAddress(nullptr));
}

// ------------------------------------------------------------ version fetch

TEST(VersionReply, MajorNumberIsTheLeadingNumber)
{
    const std::pair<const char *, int> cases[] = {{"2.4.8\n", 2}, {"1.11.5\n", 1}, {"  3.0.0", 3}, {"0.9", 0},
                                                  {"12.1\n", 12}, {"", -1},       {"v2.4", -1},   {"\n", -1},
                                                  {"1234567.0", -1}};
    for (const auto &c : cases)
        EXPECT_EQ(Version::majorNumber(c.first), c.second) << c.first;
}

TEST(VersionReply, PassivePortComesFromTheLastTwoNumbers)
{
    EXPECT_EQ(Version::passivePort("227 Entering Passive Mode (127,0,0,1,19,137)"), 19 * 256 + 137);
    EXPECT_EQ(Version::passivePort("227 ok (192,168,1,1,0,21)."), 21);
    for (const char *bad : {"227 Entering Passive Mode", "227 (1,2,3,4,5)", "227 (1,2,3,4,5,256)",
                            "227 (1,2,3,4,-1,5)", "227 (1,2,3,4,0,0)", "227 (a,b,c,d,e,f)"})
        EXPECT_EQ(Version::passivePort(bad), -1) << bad;
}

} // namespace
