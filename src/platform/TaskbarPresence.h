#pragma once

class QWindow;

// Whether a window appears in the taskbar and the window switcher. On X11 these are the window's
// _NET_WM_STATE_SKIP_TASKBAR and _NET_WM_STATE_SKIP_PAGER states; a Wayland session offers
// programs no such request, so there the window stays listed.
namespace TaskbarPresence {

void setHidden(QWindow *window, bool hidden);
// What the window's state says now; false where there is no X11.
[[nodiscard]] bool isHidden(QWindow *window);

} // namespace TaskbarPresence
