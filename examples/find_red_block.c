/* Finds the red block with the camera and stops in front of it.
 *
 * The robot of sim/worlds/arena.json: wheels on motors 0 (left) and 1
 * (right), the front distance sensor on analog 1, a camera whose
 * configuration "1" has red on channel 0. It turns on the spot until the
 * red block is in the middle of the picture, then drives at it, steering
 * to keep it there, and stops when the distance sensor sees it close. */
#include <stdio.h>

#include <kestrix/analog.h>
#include <kestrix/camera.h>
#include <kestrix/motors.h>
#include <kestrix/util.h>

#define LEFT 0
#define RIGHT 1
#define DISTANCE 1
#define RED 0
#define CLOSE 2000 /* the distance sensor's reading about 12 cm from the block */

/* Where the largest red object sits across the picture, or -1 for none. */
static int red_x(void)
{
    int best = -1, area = 0, n;
    camera_update();
    for (n = 0; n < get_object_count(RED); ++n)
        if (get_object_area(RED, n) > area) {
            area = get_object_area(RED, n);
            best = get_object_center_x(RED, n);
        }
    return best;
}

int main(void)
{
    int x, middle, looked = 0;

    if (!camera_open_device_model_at_res(0, 0, 0) || camera_load_config("1") != 1) {
        printf("no camera\n");
        return 1;
    }
    camera_update(); /* the first picture gives the width */
    middle = get_camera_width() / 2;

    /* Turn right until the block is about in the middle. */
    while (((x = red_x()) < 0 || x > middle + 10 || x < middle - 10) && looked++ < 400) {
        mav(LEFT, x < 0 || x > middle ? 150 : -150);
        mav(RIGHT, x < 0 || x > middle ? -150 : 150);
        msleep(30);
    }
    ao();
    if (x < 0) {
        printf("no red block in sight\n");
        return 1;
    }
    printf("red block ahead\n");

    /* Drive at it, steering by where it sits in the picture. */
    while (analog(DISTANCE) < CLOSE) {
        const int error = (x = red_x()) < 0 ? 0 : x - middle;
        mav(LEFT, 400 + 3 * error);
        mav(RIGHT, 400 - 3 * error);
        msleep(30);
    }
    ao();
    camera_close();
    printf("stopped in front of it\n");
    return 0;
}
