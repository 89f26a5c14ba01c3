#include "kestrix/motors.h"

#include "kestrix/util.h"

#include "private/kestrix_p.h"
#include "private/motors_p.h"
#include "private/registers_p.h"

#include <limits>

using Private::Motor;

namespace {

constexpr long PollIntervalMs = 2;

// |value| without the overflow of -INT_MIN, cut to `limit`.
unsigned int magnitude(int value, unsigned int limit)
{
    const unsigned int m = value < 0 ? 0u - static_cast<unsigned int>(value) : static_cast<unsigned int>(value);
    return m > limit ? limit : m;
}

} // namespace

void motor(int port, int percent)
{
    Motor::instance().setControlMode(port, Motor::Pwm);
    // Cut before narrowing to the driver's 16-bit duty, so that a magnitude
    // of 65536 does not wrap to a duty of 0.
    const unsigned int duty = magnitude(percent, std::numeric_limits<unsigned short>::max());
    Motor::instance().setPwm(port, static_cast<unsigned short>(duty));
    const Motor::Direction direction = percent > 0 ? Motor::Forward : percent < 0 ? Motor::Backward : Motor::Off;
    Motor::instance().setPwmDirection(port, direction);
}

void fd(int port)
{
    motor(port, 100);
}

void bk(int port)
{
    motor(port, -100);
}

int freeze(int port)
{
    Motor::instance().setPwm(port, 100);
    Motor::instance().setPwmDirection(port, Motor::Brake);
    return 0;
}

void off(int port)
{
    Motor::instance().stop(port);
}

void alloff(void)
{
    for (int port = 0; port < Private::Registers::MotorCount; ++port)
        off(port);
}

void ao(void)
{
    alloff();
}

int setpwm(int port, int duty)
{
    // A negative duty would wrap to a huge unsigned one, i.e. full power.
    const unsigned int percent = duty < 0 ? 0u : magnitude(duty, std::numeric_limits<unsigned short>::max());
    Motor::instance().setPwm(port, static_cast<unsigned short>(percent));
    return -1;
}

int getpwm(int)
{
    return -1;
}

int move_at_velocity(int port, int velocity)
{
    // The velocity register's address is not range-checked by the driver:
    // port 4 would land on motor 0's duty, port -1 on the status and servo
    // enable registers.
    if (!Motor::isValidPort(port))
        return -1;
    Motor::instance().setControlMode(port, Motor::PidVelocity);
    Motor::instance().setPidVelocity(port, velocity);
    return 0;
}

int mav(int port, int velocity)
{
    return move_at_velocity(port, velocity);
}

int move_to_position(int port, int speed, int goal)
{
    if (!Motor::isValidPort(port))
        return -1;
    const int counter = Motor::instance().backEMF(port);
    // |speed| of 32768 has no positive 16-bit form and would reverse the move.
    const int absolute = static_cast<int>(magnitude(speed, std::numeric_limits<short>::max()));
    const int velocity = counter > goal ? -absolute : absolute;
    // Always in this order: mode, goal, velocity.
    Motor::instance().setControlMode(port, Motor::PidPosition);
    Motor::instance().setPidGoalPos(port, goal);
    Motor::instance().setPidVelocity(port, velocity);
    return 0;
}

int mtp(int port, int speed, int goal)
{
    return move_to_position(port, speed, goal);
}

int move_relative_position(int port, int speed, int distance)
{
    if (!Motor::isValidPort(port))
        return -1;
    // Counter arithmetic wraps at 32 bits like the counter itself.
    const unsigned int goal = static_cast<unsigned int>(Motor::instance().backEMF(port)) + static_cast<unsigned int>(distance);
    move_to_position(port, speed, static_cast<int>(goal));
    return 0;
}

int mrp(int port, int speed, int distance)
{
    return move_relative_position(port, speed, distance);
}

int get_motor_done(int port)
{
    if (!Motor::isValidPort(port))
        return -1;
    msleep(PollIntervalMs);
    return Motor::instance().isPidActive(port) ? 0 : 1;
}

void block_motor_done(int port)
{
    int done = get_motor_done(port);
    while (done == 0) {
        // Without the device (missing from the start or lost since) every
        // register reads 0: no done bit can ever appear.
        if (!Private::Kestrix::instance().isDeviceOpen())
            return;
        msleep(PollIntervalMs);
        done = get_motor_done(port);
    }
}

void bmd(int port)
{
    block_motor_done(port);
}

int get_motor_position_counter(int port)
{
    return Motor::instance().backEMF(port);
}

int gmpc(int port)
{
    return get_motor_position_counter(port);
}

void clear_motor_position_counter(int port)
{
    Motor::instance().clearBemf(port);
}

void cmpc(int port)
{
    clear_motor_position_counter(port);
}

void set_pid_gains(int port, short p, short i, short d, short pd, short id, short dd)
{
    Motor::instance().setPidGains(port, p, i, d, pd, id, dd);
}

void get_pid_gains(int port, short *p, short *i, short *d, short *pd, short *id, short *dd)
{
    // The driver takes references; a null output must not become one.
    short unused[6] = {};
    Motor::instance().pidGains(port, p ? *p : unused[0], i ? *i : unused[1], d ? *d : unused[2],
                               pd ? *pd : unused[3], id ? *id : unused[4], dd ? *dd : unused[5]);
}
