#pragma once

#include <QObject>
#include <QString>
#include <Qt>

#include <cstdint>

class UserDefaults;

// The panic shortcut: a key combination that locks every unlocked vault from anywhere on the
// desktop. The stored key code and modifier mask keep the encoding of the earlier release (its
// virtual key codes; command 256, shift 512, option 2048, control 4096); on X11 they become a
// passive key grab on the root window, with command as Super and option as Alt.
namespace PanicHotKey {

// Tells of each press of the shortcut; the application locks every unlocked vault on it.
class Presses : public QObject
{
    Q_OBJECT
Q_SIGNALS:
    void pressed();
};
[[nodiscard]] Presses &presses();

// Makes the registration match the settings: drops any earlier one, then grabs the combination
// when the shortcut is on, has a modifier and a key the table knows. Never fails; a grab another
// program holds is reported once on standard error.
void update(UserDefaults &defaults);
// update() now, and again whenever the shortcut's settings change (from any window or process).
void follow(UserDefaults &defaults);
// Where the session is Wayland (or HOLLOWKEEP_SHORTCUTS=portal), the combination is bound through
// the GlobalShortcuts portal instead; the desktop asks the user to confirm it.
[[nodiscard]] bool portalSessionOpen();
// Whether the combination is grabbed now, and with how many lock-key variants (NumLock, CapsLock).
[[nodiscard]] int grabbedVariants();

// The stored mask for a key event's modifiers; Meta (Super) stands for command.
[[nodiscard]] int carbonModifiers(Qt::KeyboardModifiers modifiers);
// The modifiers as shown to the user, in the fixed order Ctrl, Alt, Shift, Super, each followed
// by "+" ("Ctrl+Alt+Super+" for the default); the key label follows directly.
[[nodiscard]] QString modifierSymbols(int carbonMask);
// What a key press does while the settings record a new shortcut: Escape cancels; a key the table
// knows, with Ctrl, Alt or Super held (Shift alone does not count), is stored; anything else is
// swallowed and recording goes on.
enum class Recording { Cancel, KeepRecording, Store };
struct RecordedShortcut
{
    Recording step = Recording::KeepRecording;
    int keyCode = -1;
    int mask = 0;
    QString label; // the key as shown, upper-cased
};
[[nodiscard]] RecordedShortcut record(int qtKey, Qt::KeyboardModifiers modifiers);

// The X keysym for a stored key code; 0 for a code the table does not know.
[[nodiscard]] std::uint32_t keysymForKeyCode(qint64 keyCode);
// The stored key code for a Qt key (recording); -1 for a key the table does not know.
[[nodiscard]] int keyCodeForQtKey(int qtKey);

} // namespace PanicHotKey
