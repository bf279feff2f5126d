#include "SettingsKeys.h"

#include "UserDefaults.h"

namespace SettingsKeys {

void registerDefaults(UserDefaults &defaults)
{
    defaults.registerDefaults({
        {autoLockEnabled, true},
        {autoLockMinutes, qint64(15)},
        {lockOnQuit, true},
        {menuBarIcon, true},
        {lockOnScreenLock, true},
        {lockOnSleep, true},
        {panicEnabled, true},
        // control-option-command-L, in the Carbon key code and modifier layout.
        {panicKeyCode, qint64(37)},
        {panicModifiers, qint64(6400)},
        {panicKeyLabel, QStringLiteral("L")},
        {hideDockIcon, false},
        {menuBarPanel, true},
        {updateCheckEnabled, true},
    });
}

} // namespace SettingsKeys
