#include "private/battery_p.h"
#include "kestrix/battery.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// A throw-away sysfs tree: <root>/class/power_supply/<name>/{type,...}, the
// supplies being symbolic links into <root>/devices as on a real system.
class FakeSysfs
{
public:
    FakeSysfs()
    {
        char pattern[] = "/tmp/kestrix-sysfs-XXXXXX";
        m_root = ::mkdtemp(pattern);
        ::mkdir((m_root + "/class").c_str(), 0755);
        ::mkdir((m_root + "/class/power_supply").c_str(), 0755);
        ::mkdir((m_root + "/devices").c_str(), 0755);
    }

    ~FakeSysfs() { std::system(("rm -rf '" + m_root + "'").c_str()); }

    void addSupply(const std::string &name, const std::string &type)
    {
        const std::string device = m_root + "/devices/" + name;
        ::mkdir(device.c_str(), 0755);
        if (::symlink(device.c_str(), (m_root + "/class/power_supply/" + name).c_str()) != 0)
            ADD_FAILURE() << "symlink";
        set(name, "type", type);
    }

    void set(const std::string &name, const std::string &attribute, const std::string &value)
    {
        std::ofstream(m_root + "/devices/" + name + "/" + attribute) << value << '\n';
    }

    const std::string &root() const { return m_root; }

private:
    std::string m_root;
};

class BatteryMonitor : public ::testing::Test
{
protected:
    void SetUp() override { Battery::setSysfsRoot(sysfs.root()); }
    void TearDown() override { Battery::setSysfsRoot("/sys"); }

    FakeSysfs sysfs;
};

} // namespace

TEST_F(BatteryMonitor, LevelIsTheVoltageOfTheFirstBatteryInVolts)
{
    // Created out of name order: the directory order must not decide.
    sysfs.addSupply("BAT1", "Battery");
    sysfs.set("BAT1", "voltage_now", "12000000");
    sysfs.addSupply("AC", "Mains");
    sysfs.set("AC", "voltage_now", "5000000");
    sysfs.addSupply("BAT0", "Battery");
    sysfs.set("BAT0", "voltage_now", "7400000");
    sysfs.set("BAT0", "status", "Discharging");
    sysfs.set("BAT1", "status", "Charging");

    EXPECT_FLOAT_EQ(Battery::powerLevel(), 7.4f);
    EXPECT_FLOAT_EQ(power_level(), 7.4f);
    EXPECT_FALSE(Battery::isCharging());
    EXPECT_EQ(battery_charging(), 0);
}

TEST_F(BatteryMonitor, ChargingFollowsTheStatusOnEveryCall)
{
    sysfs.addSupply("battery", "Battery");
    sysfs.set("battery", "voltage_now", "6950123");
    sysfs.set("battery", "status", "Charging");
    EXPECT_EQ(battery_charging(), 1);

    sysfs.set("battery", "status", "Not charging");
    EXPECT_EQ(battery_charging(), 0);
    sysfs.set("battery", "status", "Full");
    EXPECT_EQ(battery_charging(), 0);

    sysfs.set("battery", "voltage_now", "8100000");
    EXPECT_FLOAT_EQ(power_level(), 8.1f);
}

TEST_F(BatteryMonitor, WithoutABatteryTheLevelIsNaNAndNothingCharges)
{
    sysfs.addSupply("AC", "Mains");
    sysfs.set("AC", "voltage_now", "5000000");
    sysfs.set("AC", "status", "Charging");
    sysfs.addSupply("usb", "USB");

    EXPECT_TRUE(std::isnan(power_level()));
    EXPECT_EQ(battery_charging(), 0);

    Battery::setSysfsRoot(sysfs.root() + "/no-such-folder");
    EXPECT_TRUE(std::isnan(power_level()));
    EXPECT_EQ(battery_charging(), 0);
}

TEST_F(BatteryMonitor, UnreadableVoltageIsNaN)
{
    sysfs.addSupply("BAT0", "Battery");
    EXPECT_TRUE(std::isnan(power_level())); // no voltage_now
    sysfs.set("BAT0", "voltage_now", "unknown");
    EXPECT_TRUE(std::isnan(power_level()));
}
