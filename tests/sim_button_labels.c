/* Labels its buttons (one in UTF-8, one too long for a button, one in
 * Latin-1), then waits until A is pressed and released. */
#include <kestrix/button.h>
#include <kestrix/util.h>

int main(void)
{
    set_a_button_text("D\xc3\xa9part");
    set_b_button_text("a label far too long for any button");
    set_c_button_text("Caf\xe9");
    while (!a_button())
        msleep(10);
    while (a_button())
        msleep(10);
    return 0;
}
