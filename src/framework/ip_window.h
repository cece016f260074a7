// The module's side of host windows, the overlay aim mark and click handling.
#pragma once

#include <utility>

#include "interface/ip_host.h"
#include "image/dib.h"

// The callback record that a procedure built on this thread keeps (not owned). The
// adaptor sets it for the length of every call into an instance, to the record that
// instance was created with, so that one instance's windows never go through another's
// record. Code that builds procedures directly sets it itself.
extern thread_local const ip_hostCallbacks* ip_dllAdaptor_callbacks;

// Sets ip_dllAdaptor_callbacks for the life of the scope and puts the old value back.
class ip_callbackScope {
public:
    explicit ip_callbackScope(const ip_hostCallbacks* callbacks)
        : saved_(std::exchange(ip_dllAdaptor_callbacks, callbacks)) {}
    ~ip_callbackScope() { ip_dllAdaptor_callbacks = saved_; }
    ip_callbackScope(const ip_callbackScope&) = delete;
    ip_callbackScope& operator=(const ip_callbackScope&) = delete;

private:
    const ip_hostCallbacks* saved_;
};

// Opens a host window through `callbacks`; throws when the record is null or incomplete.
ip_window* ip_dllAdaptor_createWindow(const ip_hostCallbacks* callbacks, const char* title, int width, int height);
// Closes a host window through `callbacks`; ignored when the record is null or incomplete.
void ip_dllAdaptor_destroyWindow(const ip_hostCallbacks* callbacks, ip_window* window);

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
