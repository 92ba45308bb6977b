#pragma once
// One X connection per use, owned by a unique_ptr. Xlib is made thread-safe and its
// default error handler (which ends the process on a BadWindow from a window that just
// went away) is replaced before the first connection opens.
#include <X11/Xlib.h>

#include <cstdint>
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

// Whether a window belongs to the program we started as process session: one started in
// a session of its own whose id is its pid, so every process of it stays in that session,
// also behind a launcher script that doesn't exec. A title proves nothing: a page in the
// person's own browser may carry the same one.
bool started_by(Display* d, Window w, std::uint32_t session);
// Whether the atom list property `list` of a window holds atom.
bool has_atom(Display* d, Window w, const char* list, Atom atom);
// Asks that a window have no taskbar button and no place in the pager; true once its state
// says so. A window the window manager has not taken over yet reads the property when it
// does; one it manages changes only on request.
bool keep_off_taskbar(Display* d, Window w);

} // namespace kelvora::platform::x11
