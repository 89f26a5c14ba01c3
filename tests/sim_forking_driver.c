/* Drives forward for a second, then forks without executing anything: the
 * child turns the robot on the spot for a second and stops it, the parent
 * waits for the child and sleeps a second of its own. Both are the one
 * robot of the run; test_world runs it under kestrix-sim. */
#include <stdio.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <kestrix/motors.h>
#include <kestrix/util.h>

int main(void)
{
    const double start = seconds();
    pid_t child;

    mav(0, 600);
    mav(1, 600);
    msleep(1000);
    child = fork();
    if (child == 0) {
        mav(0, -600);
        mav(1, 600);
        msleep(1000);
        ao();
        printf("child done at %.3f\n", seconds() - start);
        return 0; /* through the exit handlers, as a program ends */
    }
    waitpid(child, NULL, 0);
    msleep(1000);
    printf("parent done at %.3f\n", seconds() - start);
    return 0;
}
