#include "kestrix/graphics.h"

#include "private/graphics_p.h"

using Private::Graphics;

int graphics_open(int width, int height)
{
    return Graphics::instance().open(width, height) ? 0 : -1;
}

void graphics_clear(void)
{
    Graphics::instance().clear();
}

void graphics_circle_fill(int x, int y, int radius, int r, int g, int b)
{
    Graphics::instance().fillCircle(x, y, radius, r, g, b);
}

void graphics_update(void)
{
    Graphics::instance().update();
}

void graphics_close(void)
{
    Graphics::instance().close();
}
