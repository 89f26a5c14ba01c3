/* A red disc of radius 5 moving across a 100 x 100 window along its middle
 * row, ten sweeps. Prints nothing. */
#include <kestrix/graphics.h>
#include <kestrix/util.h>

int main(void)
{
    int sweep;
    int x;

    graphics_open(100, 100);
    for (sweep = 0; sweep < 10; ++sweep) {
        for (x = 0; x < 100; ++x) {
            graphics_clear();
            graphics_circle_fill(x, 50, 5, 255, 0, 0);
            graphics_update();
            msleep(10);
        }
    }
    graphics_close();
    return 0;
}
