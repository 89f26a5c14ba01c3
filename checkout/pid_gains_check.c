/* Reads motor 0's PID gains and prints them once. */
#include <stdio.h>

#include <kestrix/motors.h>

int main(void)
{
    short p = 0, i = 0, d = 0, pd = 0, id = 0, dd = 0;

    get_pid_gains(0, &p, &i, &d, &pd, &id, &dd);
    printf("pid gains channel %d =  P(%d/%d) I(%d/%d) D(%d/%d)\n", 0, p, pd, i, id, d, dd);
    return 0;
}
