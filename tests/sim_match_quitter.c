/* A robot program of a match that drives ahead for two simulated seconds
 * and then dies at once by SIGKILL, leaving its motors on: the simulator
 * must stop its robot and let the other program go on. */
#include <signal.h>
#include <stdio.h>

#include <kestrix/motors.h>
#include <kestrix/util.h>

int main(void)
{
    motor(0, 60);
    motor(1, 60);
    msleep(2000);
    printf("killed at %.3f s\n", seconds());
    fflush(stdout);
    raise(SIGKILL);
    return 0;
}
