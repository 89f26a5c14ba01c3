/* Says when the side button goes down and up, looking every 10 ms as the
 * library's waits do: the program side of bench_panel's delay figure. */
#include <stdio.h>

#include <kestrix/button.h>
#include <kestrix/util.h>

int main(void)
{
    puts("ready");
    fflush(stdout);
    while (!side_button())
        msleep(10);
    puts("pressed");
    fflush(stdout);
    while (side_button())
        msleep(10);
    puts("released");
    return 0;
}
