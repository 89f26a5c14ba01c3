#include "capture.h"
#include "fixture.h"
#include "fresh_process.h"
#include "packets.h"

#include "kestrix/motors.h"
#include "private/kestrix_p.h"
#include "private/motors_p.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <thread>
#include <vector>

#include <unistd.h>

using Private::Motor;

namespace {

using packets::Op;
using packets::R;
using packets::traffic;
using packets::W16;
using packets::W32;
using packets::W8;
using Ops = std::vector<Op>;

} // namespace

using MotorDriver = VirtualTimeBoard;
using MotorInterface = VirtualTimeBoard;

TEST_F(MotorDriver, DirectionChangeSetsPwmModeAndKeepsTheOtherMotorsFields)
{
    spi().setRegister8(56, 0xFF);
    spi().setRegister8(57, 0xFF);
    Motor::instance().setPwmDirection(3, Motor::Forward);
    EXPECT_EQ(traffic(), (Ops{R, W8(56, 0x3F), R, W8(57, 0xBF)}));
    EXPECT_EQ(Motor::instance().pwmDirection(3), Motor::Forward);
    EXPECT_EQ(Motor::instance().controlMode(3), Motor::Pwm);
    EXPECT_EQ(Motor::instance().controlMode(2), Motor::PidPosition);
}

// The four motors' modes share one register: a mode written over the zeros
// of a failed read would switch the other three to Pwm.
TEST_F(MotorDriver, FailedReadOfAModeUpdateSendsNoWrite)
{
    spi().setRegister8(56, 0x55);
    spi().injectIoctlFailure(EIO, false);

    Capture err(2);
    Motor::instance().setControlMode(2, Motor::PidPosition);
    err.text();

    EXPECT_EQ(traffic(), (Ops{R}));
    EXPECT_EQ(spi().register8(56), 0x55);
}

TEST_F(MotorDriver, GuardedOperationsIgnoreAPortOutsideZeroToThree)
{
    spi().setRegister8(56, 0xFF);
    spi().setRegister8(57, 0xFF);
    spi().setRegister32(40, 1234);
    spi().setRegister32(52, 1234);
    spi().setRegister16(68, 400);
    for (int port : {-1, 4, 5, INT_MIN, INT_MAX}) {
        Motor &m = Motor::instance();
        EXPECT_EQ(m.controlMode(port), 0) << port;
        EXPECT_EQ(m.pwmDirection(port), 0) << port;
        EXPECT_EQ(m.backEMF(port), 0) << port;
        EXPECT_EQ(m.pwm(port), 0) << port;
        m.setPwm(port, 50);
        m.setControlMode(port, Motor::PidVelocity);
        m.setPwmDirection(port, Motor::Brake);
        m.stop(port);
        m.clearBemf(port);
        m.setPidGains(port, 1, 2, 3, 4, 5, 6);
    }
    EXPECT_EQ(spi().exchangeCount(), 0u);
}

TEST_F(MotorDriver, DutyIsFourTimesThePercentCutAtFullDuty)
{
    spi().setRegister8(56, 0xFF);
    Motor::instance().setPwm(0, 25);
    EXPECT_EQ(traffic(), (Ops{R, W8(56, 0xFC), W16(68, 100)}));
    for (unsigned short percent : {100, 101, 16384, 65535}) {
        spi().setRegister16(70, 0);
        Motor::instance().setPwm(1, percent);
        EXPECT_EQ(spi().register16(70), 400) << percent;
    }
    EXPECT_EQ(Motor::instance().pwm(1), 400);
}

TEST_F(MotorDriver, PidVelocityReadsBackSigned)
{
    for (int velocity : {-500, -1, -32768, 32767, 0}) {
        Motor::instance().setPidVelocity(2, velocity);
        EXPECT_EQ(spi().register16(64), static_cast<std::uint16_t>(velocity));
        EXPECT_EQ(Motor::instance().pidVelocity(2), velocity);
    }
}

// Motor 3's D divisor (132-133) and motor 0's goal (133-136) share byte 133;
// the library leaves it to whichever write comes later.
TEST_F(MotorDriver, LaterWriteOwnsTheSharedByte133)
{
    Motor::instance().setPidGoalPos(0, 0x11223344);
    Motor::instance().setPidGains(3, 0, 0, 0, 0, 0, 0x5566);
    EXPECT_EQ(spi().register16(132), 0x5566);
    EXPECT_EQ(spi().register32(133), 0x66223344u);

    Motor::instance().setPidGoalPos(0, 0x11223344);
    EXPECT_EQ(spi().register16(132), 0x5511);
    EXPECT_EQ(spi().register32(133), 0x11223344u);
}

TEST_F(MotorInterface, MotorSetsModeDutyAndDirectionInNineExchanges)
{
    struct Case { int percent; unsigned duty; unsigned direction; };
    // Forward 2, Backward 1, Off 0; 65536 must not wrap to a duty of 0.
    for (Case c : {Case{50, 200, 2}, Case{-50, 200, 1}, Case{0, 0, 0}, Case{150, 400, 2},
                   Case{-65536, 400, 1}, Case{INT_MIN, 400, 1}}) {
        spi().reset();
        spi().setRegister8(56, 0xFF);
        spi().setRegister8(57, 0xFF);
        spi().setRegister16(68, 123);
        motor(0, c.percent);
        EXPECT_EQ(traffic(), (Ops{R, W8(56, 0xFC), R, W8(56, 0xFC), W16(68, c.duty),
                                  R, W8(56, 0xFC), R, W8(57, 0xFC | c.direction)}))
            << "motor(0, " << c.percent << ")";
    }
}

TEST_F(MotorInterface, FdAndBkSendWhatFullPowerSends)
{
    auto trafficOf = [this](const std::function<void()> &call) {
        spi().reset();
        spi().setRegister8(56, 0x5A);
        spi().setRegister8(57, 0xA5);
        call();
        return traffic();
    };
    const Ops forward = trafficOf([] { motor(2, 100); });
    const Ops backward = trafficOf([] { motor(2, -100); });
    EXPECT_EQ(forward.size(), 9u);
    EXPECT_NE(forward, backward);
    EXPECT_EQ(trafficOf([] { fd(2); }), forward);
    EXPECT_EQ(trafficOf([] { bk(2); }), backward);
}

TEST_F(MotorInterface, EveryFunctionIgnoresAPortOutsideZeroToThree)
{
    spi().setRegister32(40, 77);
    short gains[6] = {1, 2, 3, 4, 5, 6};
    for (int port : {4, -1, 7, 9, INT_MIN}) {
        motor(port, 50);
        fd(port);
        bk(port);
        off(port);
        cmpc(port);
        set_pid_gains(port, 1, 2, 3, 4, 5, 6);
        get_pid_gains(port, &gains[0], &gains[1], &gains[2], &gains[3], &gains[4], &gains[5]);
        bmd(port);
        EXPECT_EQ(freeze(port), 0) << port;
        EXPECT_EQ(setpwm(port, 50), -1) << port;
        EXPECT_EQ(mav(port, 500), -1) << port;
        EXPECT_EQ(move_at_velocity(port, 500), -1) << port;
        EXPECT_EQ(mtp(port, 500, 1000), -1) << port;
        EXPECT_EQ(move_to_position(port, 500, 1000), -1) << port;
        EXPECT_EQ(mrp(port, 300, 10), -1) << port;
        EXPECT_EQ(gmpc(port), 0) << port;
        EXPECT_EQ(get_motor_done(port), -1) << port;
    }
    EXPECT_EQ(spi().exchangeCount(), 0u);
    EXPECT_EQ(clock().sleepCount(), 0u);
}

TEST_F(MotorInterface, MoveToPositionTakesTheSignFromTheCounter)
{
    struct Case { int counter; int speed; int velocity; };
    for (Case c : {Case{200, 500, 500}, Case{1500, 500, -500}, Case{1000, 500, 500},
                   Case{200, -500, 500}, Case{1500, -500, -500}, Case{200, -32768, 32767}}) {
        spi().reset();
        spi().setRegister32(44, static_cast<std::uint32_t>(c.counter));
        EXPECT_EQ(mtp(1, c.speed, 1000), 0);
        // Mode, goal, velocity: always in this order.
        EXPECT_EQ(traffic(), (Ops{R, R, W8(56, 0x0C), W32(137, 1000), W16(62, static_cast<std::uint32_t>(c.velocity))}))
            << "counter " << c.counter << ", speed " << c.speed;
    }
}

TEST_F(MotorInterface, RelativeMoveGoesFromTheCurrentCounter)
{
    spi().setRegister32(44, 50);
    EXPECT_EQ(mrp(1, 300, -100), 0);
    EXPECT_EQ(traffic(), (Ops{R, R, R, W8(56, 0x0C), W32(137, static_cast<std::uint32_t>(-50)), W16(62, static_cast<std::uint32_t>(-300))}));
}

TEST_F(MotorInterface, MoveAtVelocitySetsModeThenVelocity)
{
    spi().setRegister8(56, 0xC0);
    EXPECT_EQ(mav(0, 500), 0);
    EXPECT_EQ(move_at_velocity(3, -2), 0);
    EXPECT_EQ(traffic(), (Ops{R, W8(56, 0xC1), W16(60, 500), R, W8(56, 0x41), W16(66, 0xFFFE)}));
}

TEST_F(MotorInterface, MotorDoneReadsTheStatusBitAfterTwoMilliseconds)
{
    spi().setRegister8(58, 0x01);
    EXPECT_EQ(get_motor_done(1), 0);
    spi().setRegister8(58, 0x02);
    EXPECT_EQ(get_motor_done(1), 1);
    EXPECT_EQ(spi().exchangeCount(), 2u);
    EXPECT_EQ(clock().sleeps(), (std::vector<std::uint64_t>{2000, 50, 2000, 50}));
}

TEST_F(MotorInterface, BlockMotorDonePollsUntilTheDoneBitAppears)
{
    spi().setRegister8(58, 0x01); // another motor's bit must not end the wait
    spi().afterExchange(5, [](kxsim::RegisterFile &r) { r.set8(58, 0x05); });
    bmd(2);
    EXPECT_EQ(spi().exchangeCount(), 6u);
    std::vector<std::uint64_t> expected{2000, 50};
    for (int poll = 1; poll < 6; ++poll)
        expected.insert(expected.end(), {2000, 2000, 50});
    EXPECT_EQ(clock().sleeps(), expected);
}

// The device is opened once per process, so this runs in a fresh one. An
// endless wait ends in SIGALRM instead of a clean exit.
TEST_F(MotorInterface, BlockMotorDoneReturnsWhenTheDeviceIsMissing)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            kxsim::FakeSpi::instance().setDeviceMissing(true);
            alarm(20);
            block_motor_done(0);
            std::_Exit(Private::Kestrix::instance().isDeviceOpen() ? 3 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

// A coprocessor link that goes away mid-wait can no more report done than a
// missing one: the wait ends, with one line instead of a flood.
TEST_F(MotorInterface, BlockMotorDoneReturnsOnceTheDeviceIsLost)
{
    runInFreshProcess([](Checks &checks) {
        kxsim::FakeSpi &spi = kxsim::FakeSpi::instance();
        kxsim::Clock::instance().setMode(kxsim::Clock::Mode::Virtual);
        spi.loseDevice(ENODEV, 3);
        alarm(20);
        Capture out(1);
        Capture err(2);
        bmd(1);
        const std::string stderrText = err.text();
        checks.expectEq(out.text(), std::string("Device lost: /dev/spidev2.0\n"), "standard output");
        checks.expectEq(stderrText, std::string(), "standard error");
        checks.expectEq(spi.exchangeCount(), 4u, "exchanges");
    });
}

// A program that leaves a thread waiting in bmd when it exits: once the
// library has closed the device at exit the wait can never end in done, so it
// returns (and the thread reads the device state safely while the exit
// handler changes it).
TEST_F(MotorInterface, BlockMotorDoneInAThreadStillWaitingAtExitReturns)
{
    runInFreshProcess([](Checks &checks) {
        static std::atomic<bool> s_returned{false};
        kxsim::Clock::instance().setMode(kxsim::Clock::Mode::Real);
        kxsim::FakeSpi &spi = kxsim::FakeSpi::instance();
        spi.setRecording(false);
        checks.atExit([](Checks &atExit) {
            for (int i = 0; i < 2000 && !s_returned.load(); ++i)
                ::usleep(1000);
            atExit.expect(s_returned.load(), "bmd still waiting after the library shut down");
        });
        Private::Kestrix::instance();
        std::thread([] {
            bmd(0);
            s_returned = true;
        }).detach();
        while (spi.exchangeCount() < 3)
            std::this_thread::yield();
        checks.expect(!s_returned.load(), "bmd returned while the device was there");
    });
}

TEST_F(MotorInterface, FreezeBrakesAtFullDuty)
{
    spi().setRegister8(56, 0xFF);
    EXPECT_EQ(freeze(3), 0);
    EXPECT_EQ(traffic(), (Ops{R, W8(56, 0x3F), W16(74, 400), R, W8(56, 0x3F), R, W8(57, 0xC0)}));
}

TEST_F(MotorInterface, OffAndAlloffCoastAndKeepTheDuty)
{
    spi().setRegister8(56, 0xFF);
    spi().setRegister8(57, 0xFF);
    spi().setRegister16(70, 200);
    off(1);
    EXPECT_EQ(traffic(), (Ops{R, W8(56, 0xF3), R, W8(56, 0xF3), R, W8(57, 0xF3)}));
    EXPECT_EQ(spi().register16(70), 200);

    for (const std::function<void()> &all : {std::function<void()>(alloff), std::function<void()>(ao)}) {
        spi().reset();
        spi().setRegister8(56, 0xFF);
        spi().setRegister8(57, 0xFF);
        all();
        Ops expected;
        for (unsigned left : {0xFCu, 0xF0u, 0xC0u, 0x00u})
            expected.insert(expected.end(), {R, W8(56, left), R, W8(56, left), R, W8(57, left)});
        EXPECT_EQ(traffic(), expected);
    }
}

TEST_F(MotorInterface, PidGainsGoOutNumeratorsFirstAndAreNotReadBack)
{
    set_pid_gains(3, 1, 2, 3, 4, 5, -6);
    EXPECT_EQ(traffic(), (Ops{W16(122, 1), W16(126, 2), W16(130, 3), W16(124, 4), W16(128, 5), W16(132, 0xFFFA)}));

    spi().clearExchanges();
    short g[6] = {0, -7, 8, 9, 10, 11};
    get_pid_gains(3, &g[0], &g[1], &g[2], &g[3], &g[4], &g[5]);
    get_pid_gains(3, nullptr, &g[1], nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(std::vector<short>(g, g + 6), (std::vector<short>{0, -7, 8, 9, 10, 11}));
    EXPECT_EQ(spi().exchangeCount(), 0u);
}

TEST_F(MotorInterface, SetpwmWritesTheDutyAndGetpwmReadsNothing)
{
    spi().setRegister8(56, 0x01);
    EXPECT_EQ(setpwm(0, 30), -1);
    EXPECT_EQ(traffic(), (Ops{R, W8(56, 0x00), W16(68, 120)}));
    // A negative duty is no duty, not a wrapped full one.
    EXPECT_EQ(setpwm(0, -30), -1);
    EXPECT_EQ(spi().register16(68), 0);

    spi().clearExchanges();
    spi().setRegister16(68, 400);
    for (int port : {0, 3, 4})
        EXPECT_EQ(getpwm(port), -1);
    EXPECT_EQ(spi().exchangeCount(), 0u);
}

TEST_F(MotorInterface, PositionCounterIsSignedAndClearsToZero)
{
    spi().setRegister32(44, static_cast<std::uint32_t>(-100));
    EXPECT_EQ(gmpc(1), -100);
    EXPECT_EQ(get_motor_position_counter(1), -100);
    cmpc(2);
    clear_motor_position_counter(3);
    EXPECT_EQ(traffic(), (Ops{R, R, W32(48, 0), W32(52, 0)}));
}

TEST_F(MotorInterface, EachCallCostsItsExchanges)
{
    struct Case { const char *name; std::function<void()> call; std::size_t exchanges; };
    const Case cases[] = {
        {"motor", [] { motor(1, 60); }, 9},
        {"freeze", [] { freeze(1); }, 7},
        {"off", [] { off(1); }, 6},
        {"alloff", [] { alloff(); }, 24},
        {"mtp", [] { mtp(1, 100, 10); }, 5},
        {"mrp", [] { mrp(1, 100, 10); }, 6},
        {"mav", [] { mav(1, 100); }, 3},
        {"set_pid_gains", [] { set_pid_gains(1, 1, 1, 1, 1, 1, 1); }, 6},
        {"setpwm", [] { setpwm(1, 10); }, 3},
        {"get_motor_done", [] { get_motor_done(1); }, 1},
        {"gmpc", [] { gmpc(1); }, 1},
        {"cmpc", [] { cmpc(1); }, 1},
    };
    for (const Case &c : cases) {
        spi().clearExchanges();
        c.call();
        EXPECT_EQ(spi().exchangeCount(), c.exchanges) << c.name;
    }
}

// Both threads change register 56, each for its own motor. Before each switch
// a thread checks that its field still holds what it last set: a change lost
// to the other thread's read-modify-write shows there or in the end state.
// Real time on purpose: the transport's 50 us pause after each exchange is
// the window in which the other thread's exchange would slip in.
using MotorThreads = FakeBoard;
TEST_F(MotorThreads, SwitchingDifferentMotorsKeepsEachOthersModes)
{
    std::atomic<int> lost{0};
    std::atomic<int> ready{0};
    auto drive = [this, &lost, &ready](int port, Motor::ControlMode a, Motor::ControlMode b) {
        ++ready;
        while (ready.load() < 2) {
        }
        Motor::ControlMode last = Motor::Pwm;
        for (int i = 0; i < 1000; ++i) {
            if (((spi().register8(56) >> (2 * port)) & 3) != last)
                ++lost;
            last = (i % 2) ? a : b;
            Motor::instance().setControlMode(port, last);
        }
    };
    std::thread first(drive, 0, Motor::PidVelocity, Motor::PidPosition);
    std::thread second(drive, 2, Motor::PidPosition, Motor::PidVelocity);
    first.join();
    second.join();
    EXPECT_EQ(lost.load(), 0);
    EXPECT_EQ(Motor::instance().controlMode(0), Motor::PidVelocity);
    EXPECT_EQ(Motor::instance().controlMode(2), Motor::PidPosition);
    EXPECT_EQ(spi().register8(56), 0x31);
}
