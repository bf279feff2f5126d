#include "TaskbarPresence.h"

#include "X11.h"

#include <QList>
#include <QWindow>

#include <cstdlib>

namespace {

struct Atoms
{
    xcb_atom_t state, skipTaskbar, skipPager;
};

Atoms atoms(xcb_connection_t *x)
{
    return {X11::atom(x, "_NET_WM_STATE"), X11::atom(x, "_NET_WM_STATE_SKIP_TASKBAR"),
            X11::atom(x, "_NET_WM_STATE_SKIP_PAGER")};
}

QList<xcb_atom_t> states(xcb_connection_t *x, xcb_window_t window, xcb_atom_t property)
{
    QList<xcb_atom_t> result;
    xcb_get_property_reply_t *reply =
        xcb_get_property_reply(x, xcb_get_property(x, 0, window, property, XCB_ATOM_ATOM, 0, 64), nullptr);
    if (reply && reply->format == 32 && reply->type == XCB_ATOM_ATOM) {
        const auto *values = static_cast<const xcb_atom_t *>(xcb_get_property_value(reply));
        result = QList<xcb_atom_t>(values, values + xcb_get_property_value_length(reply) / 4);
    }
    std::free(reply);
    return result;
}

} // namespace

namespace TaskbarPresence {

void setHidden(QWindow *window, bool hidden)
{
    xcb_connection_t *x = X11::connection();
    if (!x || !window)
        return;
    const auto id = xcb_window_t(window->winId());
    const Atoms names = atoms(x);
    if (window->isVisible()) {
        // A mapped window asks the window manager, which owns its state from then on.
        xcb_client_message_event_t message = {};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = id;
        message.type = names.state;
        message.data.data32[0] = hidden ? 1 : 0; // add : remove
        message.data.data32[1] = names.skipTaskbar;
        message.data.data32[2] = names.skipPager;
        message.data.data32[3] = 1; // from a normal application
        xcb_send_event(x, 0, X11::rootWindow(x),
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char *>(&message));
    } else {
        // An unmapped window carries the state itself; Qt keeps states it does not manage when it
        // maps the window.
        QList<xcb_atom_t> current = states(x, id, names.state);
        current.removeAll(names.skipTaskbar);
        current.removeAll(names.skipPager);
        if (hidden)
            current << names.skipTaskbar << names.skipPager;
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, id, names.state, XCB_ATOM_ATOM, 32, uint32_t(current.size()),
                            current.constData());
    }
    xcb_flush(x);
}

bool isHidden(QWindow *window)
{
    xcb_connection_t *x = X11::connection();
    if (!x || !window)
        return false;
    const Atoms names = atoms(x);
    const QList<xcb_atom_t> current = states(x, xcb_window_t(window->winId()), names.state);
    return current.contains(names.skipTaskbar) && current.contains(names.skipPager);
}

} // namespace TaskbarPresence
