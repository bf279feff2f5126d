#pragma once

#include <QIcon>

// The tray item's image: the lock drawn for the application, closed or open.
namespace MenuBarIcon {

// The drawn image (cached once read); the icon font's lock when the resource cannot be read
// (not cached, so a later call tries again).
[[nodiscard]] QIcon image(bool anyUnlocked);
// The resource an image is read from.
[[nodiscard]] QString resourcePath(bool anyUnlocked);

} // namespace MenuBarIcon
