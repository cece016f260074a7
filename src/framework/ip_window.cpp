#include "framework/ip_window.h"

thread_local const ip_hostCallbacks* ip_dllAdaptor_callbacks = nullptr;

ip_window* ip_dllAdaptor_createWindow(const ip_hostCallbacks* cb, const char* title, int width, int height) {
    if (!cb || !cb->createWindow || !cb->destroyWindow)
        throw "ip_dllAdaptor_createWindow - the component was not properly initialized";
    return cb->createWindow(title, width, height);
}

void ip_dllAdaptor_destroyWindow(const ip_hostCallbacks* cb, ip_window* window) {
    if (cb && cb->destroyWindow) cb->destroyWindow(window);
}

void display(ip_window* window, const dib_base* image) {
    if (image->width != window->width() || image->absHeight() != window->height())
        window->resize(image->width, image->absHeight());
    window->show(image);
}

void drawAim(ip_overlay* overlay, const ip_point& c, int r, int colour, int style) {
    const int a = (4 * r) / 5;
    const int b = (4 * ((3 * r) / 2)) / 3;
    const ip_segment segments[4] = {
        {{c.x, c.y + a}, {c.x, c.y + b}},
        {{c.x, c.y - a}, {c.x, c.y - b}},
        {{c.x + a, c.y}, {c.x + b, c.y}},
        {{c.x - a, c.y}, {c.x - b, c.y}},
    };
    for (const ip_segment& s : segments) overlay->drawLine(&s, colour, "", 0, style);
}
