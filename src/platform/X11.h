#pragma once

#include <xcb/xcb.h>

#include <QByteArray>

// The X11 connection of the running GUI application; null on Wayland, offscreen or without one.
namespace X11 {

[[nodiscard]] xcb_connection_t *connection();
[[nodiscard]] xcb_window_t rootWindow(xcb_connection_t *x);
[[nodiscard]] xcb_atom_t atom(xcb_connection_t *x, const QByteArray &name);

} // namespace X11
