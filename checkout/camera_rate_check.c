/* Opens the camera, prints the position of the first object on channel 0
 * for 60 frames and the frame rate. */
#include <stdio.h>

#include <kestrix/camera.h>
#include <kestrix/util.h>

int main(void)
{
    double start;
    int frame;

    puts("Camera open");
    camera_open_device_model_at_res(0, 0, 0);
    puts("load config");
    if (camera_load_config("1") == 1)
        puts("...success");
    camera_update();
    {
        const int width = get_camera_width();
        const int height = get_camera_height();

        printf("Cam width x height:  %d x %d\n", width, height);
    }
    printf("Num channels = %d\n", get_channel_count());

    start = seconds();
    for (frame = 0; frame < 60; ++frame) {
        int x = -1;
        int y = -1;
        double now;
        int count;

        camera_update();
        if (get_object_count(0) > 0)
            x = get_object_center_x(0, 0);
        if (get_object_count(0) > 0)
            y = get_object_center_y(0, 0);
        now = seconds();
        count = get_object_count(0);
        printf("%f objs: %d  (%d,%d)\n", now, count, x, y);
    }
    printf("%f fps\n", 60.0 / (seconds() - start));
    puts("Camera close");
    camera_close();
    return 0;
}
