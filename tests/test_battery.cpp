#include "private/battery_p.h"
#include "kestrix/battery.h"

#include "fakes/fake_battery.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A throw-away sysfs tree: <root>/class/power_supply/<name>/{type,...}, the
// supplies being symbolic links into <root>/devices as on a real system. The
// fake power-supply folder serves it as /sys/class/power_supply.
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
        std::ofstream(path(name, attribute)) << value << '\n';
    }

    std::string path(const std::string &name, const std::string &attribute) const
    {
        return m_root + "/devices/" + name + "/" + attribute;
    }

    const std::string &root() const { return m_root; }

private:
    std::string m_root;
};

class BatteryMonitor : public ::testing::Test
{
protected:
    void SetUp() override { kxsim::FakeBattery::instance().serveAsIs(sysfs.root() + "/class/power_supply"); }
    void TearDown() override { kxsim::FakeBattery::instance().disable(); }

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

    kxsim::FakeBattery::instance().serveAsIs(sysfs.root() + "/no-such-folder");
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

TEST_F(BatteryMonitor, OnlyAWholeDecimalCountOfMicrovoltsInRangeIsAVoltage)
{
    sysfs.addSupply("BAT0", "Battery");
    for (const char *good : {"0", "7200000", "100000000"}) {
        sysfs.set("BAT0", "voltage_now", good);
        EXPECT_FLOAT_EQ(power_level(), std::strtof(good, nullptr) / 1e6f) << good;
    }
    std::ofstream(sysfs.path("BAT0", "voltage_now")) << "7400000"; // no newline
    EXPECT_FLOAT_EQ(power_level(), 7.4f);

    for (const char *bad : {"7200000abc", "-7200000", "+7200000", "12\n34", " 7200000", "7200000 ",
                            "7.2", "0x6DDD00", "100000001", "99999999999999999999", ""}) {
        sysfs.set("BAT0", "voltage_now", bad);
        EXPECT_TRUE(std::isnan(power_level())) << '"' << bad << '"';
    }
    // A whole number, but not the whole file.
    std::ofstream(sysfs.path("BAT0", "voltage_now")) << "7200000\n\n";
    EXPECT_TRUE(std::isnan(power_level()));
}

TEST_F(BatteryMonitor, AFifoInThePowerSupplyFolderNeitherBlocksNorCounts)
{
    sysfs.addSupply("BAT0", "Battery");
    sysfs.set("BAT0", "status", "Charging");
    const std::string fifo = sysfs.path("BAT0", "voltage_now");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    std::promise<float> level;
    std::future<float> read = level.get_future();
    std::thread reader([&level] { level.set_value(power_level()); });
    const bool returned = read.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    if (!returned) {
        // Let the blocked open go so that the test can end.
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            ::close(writer);
    }
    reader.join();
    EXPECT_TRUE(returned) << "power_level() blocked on a FIFO";
    EXPECT_TRUE(std::isnan(read.get()));

    // A FIFO as the type of the only supply: no battery at all.
    ASSERT_EQ(::unlink(fifo.c_str()), 0);
    sysfs.set("BAT0", "voltage_now", "7400000");
    const std::string type = sysfs.path("BAT0", "type");
    ASSERT_EQ(::unlink(type.c_str()), 0);
    ASSERT_EQ(::mkfifo(type.c_str(), 0600), 0);
    std::promise<int> charging;
    std::future<int> answer = charging.get_future();
    std::thread asker([&charging] { charging.set_value(battery_charging()); });
    const bool answered = answer.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    if (!answered) {
        const int writer = ::open(type.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            ::close(writer);
    }
    asker.join();
    EXPECT_TRUE(answered) << "battery_charging() blocked on a FIFO";
    EXPECT_EQ(answer.get(), 0);
}
