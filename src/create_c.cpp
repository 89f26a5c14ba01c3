#include "kestrix/create.h"

#include "private/create_p.h"

using Private::Create;

int create_connect(void)
{
    return Create::instance().connect() ? 0 : -1;
}

void create_disconnect(void)
{
    Create::instance().disconnect();
}

void create_start(void)
{
    Create::instance().start();
}

void create_stop(void)
{
    Create::instance().stop();
}

void create_spin_CW(int speed)
{
    Create::instance().drive(speed, -1);
}

void create_spin_CCW(int speed)
{
    Create::instance().drive(speed, 1);
}

int get_create_distance(void)
{
    return Create::instance().totalDistance();
}

int get_create_total_angle(void)
{
    return Create::instance().totalAngle();
}
