/* A robot program that tracks blobs with its camera, for bench_camera: it
 * opens the camera at the resolution code given (0 = 160 x 120, 2 = 640 x
 * 480), loads configuration "1", and at every frame reads every blob of
 * every channel and turns on the spot, faster while nothing red is in the
 * middle, so that the view never stands still. With "none" it opens no
 * camera and waits a frame's time (1/30 s) instead: what the program costs
 * without the camera. Wheels on motors 0 (left) and 1 (right), as in
 * sim/worlds/arena.json. Runs until the simulator's --duration ends it. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <kestrix/camera.h>
#include <kestrix/motors.h>
#include <kestrix/util.h>

int main(int argc, char **argv)
{
    const int camera = argc < 2 || strcmp(argv[1], "none") != 0;
    long frames = 0, blobs = 0;

    if (camera && (!camera_open_device_model_at_res(0, 0, argc > 1 ? atoi(argv[1]) : 0) || !camera_load_config("1"))) {
        fputs("camera_tracker: no camera or no configuration 1\n", stderr);
        return 1;
    }
    for (;;) {
        int turn = 30;
        int channel;

        if (!camera) {
            msleep(33);
        } else if (!camera_update()) {
            continue;
        }
        ++frames;
        for (channel = 0; camera && channel < get_channel_count(); ++channel) {
            int i;

            for (i = 0; i < get_object_count(channel); ++i) {
                /* What a tracking program looks at. */
                blobs += get_object_area(channel, i) > 0;
                if (channel == 0 && i == 0) {
                    const int offset = get_object_center_x(0, 0) - get_camera_width() / 2;

                    if (offset > -get_camera_width() / 8 && offset < get_camera_width() / 8)
                        turn = 10;
                }
            }
        }
        motor(0, turn);
        motor(1, -turn);
        if (frames % 300 == 0)
            printf("%ld frames, %ld blobs\n", frames, blobs);
    }
}
