#pragma once
// One X connection per use, owned by a unique_ptr. Xlib is made thread-safe and its
// default error handler (which ends the process on a BadWindow from a window that just
// went away) is replaced before the first connection opens.
#include <X11/Xlib.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvora::platform::x11 {

struct DisplayCloser {
    void operator()(Display* d) const;
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

// True once the server behind a connection went away; such a connection only fails from
// then on and should be dropped for a new one.
bool connection_lost(Display* d);

// The display of $DISPLAY; null when there is none.
DisplayPtr open_display();

// A window property as bytes (format 8) or as 32-bit items widened to long (format 32).
std::optional<std::string> text_property(Display* d, Window w, const char* name, const char* type);
std::optional<std::vector<unsigned long>> list_property(Display* d, Window w, const char* name,
                                                        Atom type);

// Top-level windows: the window manager's client list (managed windows, minimised ones
// included); without a window manager, the root's mapped children.
std::vector<Window> top_level_windows(Display* d);
// A window's title as UTF-8: _NET_WM_NAME, else WM_NAME; empty without either.
std::string window_title(Display* d, Window w);

} // namespace kelvora::platform::x11
