/* Waits for a click of the side button. */
#include <stdio.h>

#include <kestrix/wait_for.h>

int main(void)
{
    puts("Waiting for 'side' button to be pressed...");
    wait_for_side_button_clicked();
    puts("Bingo!... closing program.");
    return 0;
}
