#include "kestrix/wait_for.h"

#include "kestrix/button.h"
#include "kestrix/digital.h"
#include "kestrix/util.h"

namespace {

constexpr long PollIntervalMs = 10;

template <typename Condition>
void waitUntil(Condition condition)
{
    while (condition() == 0)
        msleep(PollIntervalMs);
}

} // namespace

void wait_for_milliseconds(long msecs)
{
    msleep(msecs);
}

void wait_for_touch(int port)
{
    waitUntil([port] { return digital(port); });
}

void wait_for_a_button(void)
{
    waitUntil(a_button);
}

void wait_for_b_button(void)
{
    waitUntil(b_button);
}

void wait_for_c_button(void)
{
    waitUntil(c_button);
}

void wait_for_x_button(void)
{
    waitUntil(x_button);
}

void wait_for_y_button(void)
{
    waitUntil(y_button);
}

void wait_for_z_button(void)
{
    waitUntil(z_button);
}

void wait_for_side_button(void)
{
    waitUntil(side_button);
}

void wait_for_any_button(void)
{
    waitUntil(any_button);
}

void wait_for_a_button_clicked(void)
{
    waitUntil(a_button_clicked);
}

void wait_for_b_button_clicked(void)
{
    waitUntil(b_button_clicked);
}

void wait_for_c_button_clicked(void)
{
    waitUntil(c_button_clicked);
}

void wait_for_x_button_clicked(void)
{
    waitUntil(x_button_clicked);
}

void wait_for_y_button_clicked(void)
{
    waitUntil(y_button_clicked);
}

void wait_for_z_button_clicked(void)
{
    waitUntil(z_button_clicked);
}

void wait_for_side_button_clicked(void)
{
    waitUntil(side_button_clicked);
}
