#pragma once

#include <QString>

#include <optional>

// Launch at login: an XDG autostart entry for this program in $XDG_CONFIG_HOME/autostart, which
// every desktop session that follows the autostart rules starts at login.
namespace LoginItem {

[[nodiscard]] QString entryPath();
// Whether the session will start the program: the entry exists and is not hidden or disabled.
[[nodiscard]] bool isEnabled();
// Writes or removes the entry. The reason it could not, when it could not.
[[nodiscard]] std::optional<QString> setEnabled(bool enabled);

} // namespace LoginItem
