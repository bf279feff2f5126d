#pragma once

#include <QString>

class UserDefaults;

// The preference keys and their registered defaults.
namespace SettingsKeys {

inline const QString autoLockEnabled = QStringLiteral("autoLockEnabled");
inline const QString autoLockMinutes = QStringLiteral("autoLockMinutes");
inline const QString lockOnQuit = QStringLiteral("lockOnQuit");
inline const QString menuBarIcon = QStringLiteral("menuBarIcon");
inline const QString lockOnScreenLock = QStringLiteral("lockOnScreenLock");
inline const QString lockOnSleep = QStringLiteral("lockOnSleep");
inline const QString panicEnabled = QStringLiteral("panicEnabled");
inline const QString panicKeyCode = QStringLiteral("panicKeyCode");
inline const QString panicModifiers = QStringLiteral("panicModifiers");
inline const QString panicKeyLabel = QStringLiteral("panicKeyLabel");
inline const QString hideDockIcon = QStringLiteral("hideDockIcon");
inline const QString menuBarPanel = QStringLiteral("menuBarPanel");
inline const QString updateCheckEnabled = QStringLiteral("updateCheckEnabled");
inline const QString appTheme = QStringLiteral("appTheme");
inline const QString activityLog = QStringLiteral("activityLog");
inline const QString lastUpdateCheck = QStringLiteral("lastUpdateCheck");
inline const QString skippedVersion = QStringLiteral("skippedVersion");
inline const QString lastLaunchedVersion = QStringLiteral("lastLaunchedVersion");
inline const QString migratedFromAmbrybox = QStringLiteral("migratedFromAmbrybox");
// The folder the last new vault was made in, proposed for the next one; not registered.
inline const QString lastVaultFolder = QStringLiteral("lastVaultFolder");

// Theme shown when nothing is chosen; not registered, every reader applies it itself.
inline const QString defaultTheme = QStringLiteral("classic");

// Registers the fallbacks of the thirteen registered keys. Stored values always win.
void registerDefaults(UserDefaults &defaults);

} // namespace SettingsKeys
