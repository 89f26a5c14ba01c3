#include "kestrix/magneto.h"

#include "private/magneto_p.h"

short magneto_x(void)
{
    return Private::Magneto::instance().xMagneto();
}

short magneto_y(void)
{
    return Private::Magneto::instance().yMagneto();
}

short magneto_z(void)
{
    return Private::Magneto::instance().zMagneto();
}

int magneto_calibrate(void)
{
    return Private::Magneto::instance().calibrate() ? 0 : -1;
}
