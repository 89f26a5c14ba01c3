#include "kestrix/button.h"

#include "private/buttons_p.h"

int button(AbstractButton *button)
{
    return button->isPressed() ? 1 : 0;
}

int button_clicked(AbstractButton *button)
{
    return button->isClicked() ? 1 : 0;
}

void set_a_button_text(const char *text)
{
    Button::A.setText(text);
}

void set_b_button_text(const char *text)
{
    Button::B.setText(text);
}

void set_c_button_text(const char *text)
{
    Button::C.setText(text);
}

void set_x_button_text(const char *text)
{
    Button::X.setText(text);
}

void set_y_button_text(const char *text)
{
    Button::Y.setText(text);
}

void set_z_button_text(const char *text)
{
    Button::Z.setText(text);
}

int a_button(void)
{
    return button(&Button::A);
}

int b_button(void)
{
    return button(&Button::B);
}

int c_button(void)
{
    return button(&Button::C);
}

int x_button(void)
{
    return button(&Button::X);
}

int y_button(void)
{
    return button(&Button::Y);
}

int z_button(void)
{
    return button(&Button::Z);
}

int side_button(void)
{
    return button(&Button::Side);
}

int black_button(void)
{
    return side_button();
}

int a_button_clicked(void)
{
    return button_clicked(&Button::A);
}

int b_button_clicked(void)
{
    return button_clicked(&Button::B);
}

int c_button_clicked(void)
{
    return button_clicked(&Button::C);
}

int x_button_clicked(void)
{
    return button_clicked(&Button::X);
}

int y_button_clicked(void)
{
    return button_clicked(&Button::Y);
}

int z_button_clicked(void)
{
    return button_clicked(&Button::Z);
}

int side_button_clicked(void)
{
    return button_clicked(&Button::Side);
}

int any_button(void)
{
    for (int i = 0; i < 7; ++i)
        if (Button::all[i]->isPressed())
            return 1;
    return 0;
}

void extra_buttons_show(void)
{
    set_extra_buttons_visible(1);
}

void extra_buttons_hide(void)
{
    set_extra_buttons_visible(0);
}

void set_extra_buttons_visible(int visible)
{
    ExtraButtons::setShown(visible != 0);
}

int get_extra_buttons_visible(void)
{
    return ExtraButtons::isShown() ? 1 : 0;
}
