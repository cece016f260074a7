// The module's side of host windows, the overlay aim mark and click handling.
#pragma once

#include "adaptor/ip_host.h"
#include "image/dib.h"

// The host's callback record, as the last ip_dllAdaptor_create stored it (not owned).
extern const ip_hostCallbacks* ip_dllAdaptor_callbacks;

// Opens a host window; throws when no usable callback record is stored.
ip_window* ip_dllAdaptor_createWindow(const char* title, int width, int height);
// Closes a host window; ignored when no usable callback record is stored.
void ip_dllAdaptor_destroyWindow(ip_window* window);

// Shows `image` in `window`, resizing the window first when their sizes differ.
void display(ip_window* window, const dib_base* image);

// Four axis segments from (4r)/5 to (4((3r)/2))/3 pixels away from the centre.
void drawAim(ip_overlay* overlay, const ip_point& centre, int r, int colour, int style);

// Calls onClick(x, y) for every click (type 4, code 0) of the frame, in order, asking
// the list for its count again after each event. Returns whether any click was seen.
template <class OnClick>
bool ip_forEachClick(ip_eventList* events, OnClick&& onClick) {
    bool clicked = false;
    if (!events) return false;
    for (int i = 0; i < events->count(); ++i) {
        ip_event* e = events->item(i);
        if (e && e->type() == ip_event::selection && e->code() == 0) {
            int y = e->y();
            int x = e->x();
            onClick(x, y);
            clicked = true;
        }
    }
    return clicked;
}
