/* Two threads, each driving one motor on its own schedule.
 *
 * The arm (motor 0) makes one long move of 2000 ticks at 1000 ticks a
 * second and waits for it to finish. Meanwhile the wheel (motor 1) goes by the
 * clock: forward for 1.5 s, a pause of 0.5 s, back for 1.5 s.
 * Each thread prints when it is done, in seconds since the start, so you can
 * check that the two threads really ran side by side: the arm is done after
 * about two seconds, not after the wheel's schedule plus its own move. */
#include <stdio.h>

#include <pthread.h>

#include <kestrix/motors.h>
#include <kestrix/util.h>

static double start;

static void *drive_arm(void *unused)
{
    (void)unused;
    mtp(0, 1000, 2000);
    bmd(0); /* waits here until the move is finished */
    printf("arm done at %.3f s\n", seconds() - start);
    return NULL;
}

static void *drive_wheel(void *unused)
{
    (void)unused;
    mav(1, 500); /* forward */
    msleep(1500);
    off(1);
    msleep(500); /* pause */
    mav(1, -500); /* back */
    msleep(1500);
    off(1);
    printf("wheel done at %.3f s\n", seconds() - start);
    return NULL;
}

int main(void)
{
    pthread_t arm, wheel;

    clear_motor_position_counter(0);
    clear_motor_position_counter(1);
    start = seconds();

    pthread_create(&arm, NULL, drive_arm, NULL);
    pthread_create(&wheel, NULL, drive_wheel, NULL);
    pthread_join(arm, NULL);
    pthread_join(wheel, NULL);

    ao(); /* all motors off */
    return 0;
}
