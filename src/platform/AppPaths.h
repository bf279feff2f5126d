#pragma once

#include <QString>

// The per-user places the application keeps its files in, following the XDG base directories.
namespace AppPaths {

// $XDG_CONFIG_HOME, or ~/.config.
[[nodiscard]] QString configHome();
// $XDG_DATA_HOME, or ~/.local/share: the application-support folder.
[[nodiscard]] QString dataHome();
// $XDG_RUNTIME_DIR, or a private folder in the temporary directory when the session has none.
[[nodiscard]] QString runtimeDir();

// Identifier of this application; names its preferences file, D-Bus service and desktop file.
inline constexpr auto applicationId = "org.hollowkeep.Hollowkeep";
// Identifier of the product's earlier release. Its preferences file is migrated once, and saved
// passwords are stored under it so that existing ones keep working.
inline constexpr auto legacyApplicationId = "org.ambrybox.Ambrybox";

// The preferences file of an application identifier: $XDG_CONFIG_HOME/<id>.json.
[[nodiscard]] QString preferencesFile(const QString &applicationId);

} // namespace AppPaths
