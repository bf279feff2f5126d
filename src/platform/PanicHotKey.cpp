#include "PanicHotKey.h"

#include "UserDefaults.h"
#include "platform/SettingsKeys.h"

#include "Portal.h"
#include "X11.h"

#include <QAbstractNativeEventFilter>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QGuiApplication>
#include <QTimer>


#include <cstdio>
#include <cstdlib>
#include <vector>

// One shortcut as the GlobalShortcuts portal takes it: (id, properties).
struct PortalShortcut
{
    QString id;
    QVariantMap properties;
};
Q_DECLARE_METATYPE(PortalShortcut)

QDBusArgument &operator<<(QDBusArgument &argument, const PortalShortcut &shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, PortalShortcut &shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

namespace PanicHotKey {

namespace {

constexpr int command = 256;
constexpr int shift = 512;
constexpr int option = 2048;
constexpr int control = 4096;

// X modifier bits.
constexpr std::uint16_t xShift = XCB_MOD_MASK_SHIFT;
constexpr std::uint16_t xLock = XCB_MOD_MASK_LOCK;
constexpr std::uint16_t xControl = XCB_MOD_MASK_CONTROL;
constexpr std::uint16_t xAlt = XCB_MOD_MASK_1;
constexpr std::uint16_t xNumLock = XCB_MOD_MASK_2;
constexpr std::uint16_t xSuper = XCB_MOD_MASK_4;

struct KeyEntry
{
    int code;           // the stored (earlier release's) key code
    std::uint32_t keysym;
    int qtKey;
    const char *label = nullptr; // as shown; without one, the key's character, upper-cased
};

// Letters, digits, punctuation, F-keys, arrows and the named keys.
const KeyEntry keyTable[] = {
    {0, 'a', Qt::Key_A},   {1, 's', Qt::Key_S},   {2, 'd', Qt::Key_D},   {3, 'f', Qt::Key_F},
    {4, 'h', Qt::Key_H},   {5, 'g', Qt::Key_G},   {6, 'z', Qt::Key_Z},   {7, 'x', Qt::Key_X},
    {8, 'c', Qt::Key_C},   {9, 'v', Qt::Key_V},   {11, 'b', Qt::Key_B},  {12, 'q', Qt::Key_Q},
    {13, 'w', Qt::Key_W},  {14, 'e', Qt::Key_E},  {15, 'r', Qt::Key_R},  {16, 'y', Qt::Key_Y},
    {17, 't', Qt::Key_T},  {18, '1', Qt::Key_1},  {19, '2', Qt::Key_2},  {20, '3', Qt::Key_3},
    {21, '4', Qt::Key_4},  {22, '6', Qt::Key_6},  {23, '5', Qt::Key_5},  {24, '=', Qt::Key_Equal},
    {25, '9', Qt::Key_9},  {26, '7', Qt::Key_7},  {27, '-', Qt::Key_Minus}, {28, '8', Qt::Key_8},
    {29, '0', Qt::Key_0},  {30, ']', Qt::Key_BracketRight}, {31, 'o', Qt::Key_O}, {32, 'u', Qt::Key_U},
    {33, '[', Qt::Key_BracketLeft}, {34, 'i', Qt::Key_I}, {35, 'p', Qt::Key_P}, {37, 'l', Qt::Key_L},
    {38, 'j', Qt::Key_J},  {39, '\'', Qt::Key_Apostrophe}, {40, 'k', Qt::Key_K}, {41, ';', Qt::Key_Semicolon},
    {42, '\\', Qt::Key_Backslash}, {43, ',', Qt::Key_Comma}, {44, '/', Qt::Key_Slash}, {45, 'n', Qt::Key_N},
    {46, 'm', Qt::Key_M},  {47, '.', Qt::Key_Period}, {49, ' ', Qt::Key_Space}, {50, '`', Qt::Key_QuoteLeft},
    {122, 0xffbe, Qt::Key_F1}, {120, 0xffbf, Qt::Key_F2}, {99, 0xffc0, Qt::Key_F3}, {118, 0xffc1, Qt::Key_F4},
    {96, 0xffc2, Qt::Key_F5},  {97, 0xffc3, Qt::Key_F6},  {98, 0xffc4, Qt::Key_F7}, {100, 0xffc5, Qt::Key_F8},
    {101, 0xffc6, Qt::Key_F9}, {109, 0xffc7, Qt::Key_F10}, {103, 0xffc8, Qt::Key_F11}, {111, 0xffc9, Qt::Key_F12},
    {123, 0xff51, Qt::Key_Left}, {126, 0xff52, Qt::Key_Up}, {124, 0xff53, Qt::Key_Right}, {125, 0xff54, Qt::Key_Down},
    {36, 0xff0d, Qt::Key_Return, "Return"}, {48, 0xff09, Qt::Key_Tab, "Tab"}, {51, 0xff08, Qt::Key_Backspace, "Backspace"},
    {117, 0xffff, Qt::Key_Delete, "Delete"}, {115, 0xff50, Qt::Key_Home, "Home"}, {119, 0xff57, Qt::Key_End, "End"},
    {116, 0xff55, Qt::Key_PageUp, "Page Up"}, {121, 0xff56, Qt::Key_PageDown, "Page Down"},
    {114, 0xff63, Qt::Key_Insert, "Insert"},
    {105, 0xffca, Qt::Key_F13}, {107, 0xffcb, Qt::Key_F14}, {113, 0xffcc, Qt::Key_F15}, {106, 0xffcd, Qt::Key_F16},
    {64, 0xffce, Qt::Key_F17}, {79, 0xffcf, Qt::Key_F18}, {80, 0xffd0, Qt::Key_F19}, {90, 0xffd1, Qt::Key_F20},
};

// The keypad's keys: Qt names them as the main keys, with the keypad modifier.
const KeyEntry keypadTable[] = {
    {82, 0xffb0, Qt::Key_0, "Num 0"}, {83, 0xffb1, Qt::Key_1, "Num 1"}, {84, 0xffb2, Qt::Key_2, "Num 2"},
    {85, 0xffb3, Qt::Key_3, "Num 3"}, {86, 0xffb4, Qt::Key_4, "Num 4"}, {87, 0xffb5, Qt::Key_5, "Num 5"},
    {88, 0xffb6, Qt::Key_6, "Num 6"}, {89, 0xffb7, Qt::Key_7, "Num 7"}, {91, 0xffb8, Qt::Key_8, "Num 8"},
    {92, 0xffb9, Qt::Key_9, "Num 9"}, {65, 0xffae, Qt::Key_Period, "Num ."}, {67, 0xffaa, Qt::Key_Asterisk, "Num *"},
    {69, 0xffab, Qt::Key_Plus, "Num +"}, {78, 0xffad, Qt::Key_Minus, "Num -"}, {75, 0xffaf, Qt::Key_Slash, "Num /"},
    {76, 0xff8d, Qt::Key_Enter, "Num Enter"}, {81, 0xffbd, Qt::Key_Equal, "Num ="},
};

// A symbol typed with Shift is the key under it (the US layout): Ctrl+Shift+1 arrives as "!".
const std::pair<int, int> shiftedKeys[] = {
    {Qt::Key_Exclam, Qt::Key_1}, {Qt::Key_At, Qt::Key_2}, {Qt::Key_NumberSign, Qt::Key_3},
    {Qt::Key_Dollar, Qt::Key_4}, {Qt::Key_Percent, Qt::Key_5}, {Qt::Key_AsciiCircum, Qt::Key_6},
    {Qt::Key_Ampersand, Qt::Key_7}, {Qt::Key_Asterisk, Qt::Key_8}, {Qt::Key_ParenLeft, Qt::Key_9},
    {Qt::Key_ParenRight, Qt::Key_0}, {Qt::Key_Underscore, Qt::Key_Minus}, {Qt::Key_Plus, Qt::Key_Equal},
    {Qt::Key_BraceLeft, Qt::Key_BracketLeft}, {Qt::Key_BraceRight, Qt::Key_BracketRight},
    {Qt::Key_Bar, Qt::Key_Backslash}, {Qt::Key_Colon, Qt::Key_Semicolon}, {Qt::Key_QuoteDbl, Qt::Key_Apostrophe},
    {Qt::Key_Less, Qt::Key_Comma}, {Qt::Key_Greater, Qt::Key_Period}, {Qt::Key_Question, Qt::Key_Slash},
    {Qt::Key_AsciiTilde, Qt::Key_QuoteLeft}, {Qt::Key_Backtab, Qt::Key_Tab},
};

// The entry of a key as Qt reports it, or null for a key no shortcut can use.
const KeyEntry *entryForQtKey(int qtKey, Qt::KeyboardModifiers modifiers)
{
    if (modifiers & Qt::KeypadModifier) {
        for (const KeyEntry &entry : keypadTable)
            if (entry.qtKey == qtKey)
                return &entry;
    }
    for (const auto &[shifted, base] : shiftedKeys)
        if (shifted == qtKey)
            qtKey = base;
    for (const KeyEntry &entry : keyTable)
        if (entry.qtKey == qtKey)
            return &entry;
    return nullptr;
}

const KeyEntry *entryForCode(qint64 keyCode)
{
    for (const KeyEntry &entry : keyTable)
        if (entry.code == keyCode)
            return &entry;
    for (const KeyEntry &entry : keypadTable)
        if (entry.code == keyCode)
            return &entry;
    return nullptr;
}

std::vector<xcb_keycode_t> keycodesFor(xcb_connection_t *x, std::uint32_t keysym)
{
    const xcb_setup_t *setup = xcb_get_setup(x);
    const int count = setup->max_keycode - setup->min_keycode + 1;
    xcb_get_keyboard_mapping_reply_t *mapping = xcb_get_keyboard_mapping_reply(
        x, xcb_get_keyboard_mapping(x, setup->min_keycode, count), nullptr);
    std::vector<xcb_keycode_t> codes;
    if (!mapping)
        return codes;
    const xcb_keysym_t *syms = xcb_get_keyboard_mapping_keysyms(mapping);
    const int perCode = mapping->keysyms_per_keycode;
    for (int i = 0; i < count; ++i) {
        for (int column = 0; column < std::min(perCode, 2); ++column) {
            if (syms[i * perCode + column] == keysym) {
                codes.push_back(xcb_keycode_t(setup->min_keycode + i));
                break;
            }
        }
    }
    std::free(mapping);
    return codes;
}

struct Grab
{
    xcb_keycode_t keycode;
    std::uint16_t modifiers;
};

// The grabs held, and the filter that hears their presses.
class Registration : public QAbstractNativeEventFilter
{
public:
    std::vector<Grab> grabs;
    std::uint16_t modifiers = 0;
    bool filterInstalled = false;
    bool refusalReported = false;

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *) override
    {
        if (eventType != "xcb_generic_event_t" || grabs.empty())
            return false;
        const auto *event = static_cast<xcb_generic_event_t *>(message);
        if ((event->response_type & 0x7f) != XCB_KEY_PRESS)
            return false;
        const auto *press = reinterpret_cast<const xcb_key_press_event_t *>(event);
        for (const Grab &grab : grabs) {
            if (grab.keycode == press->detail && grab.modifiers == (press->state & 0xff)) {
                // The application starts the locking; this returns at once.
                Q_EMIT presses().pressed();
                return true;
            }
        }
        return false;
    }
};

Registration &registration()
{
    static Registration instance;
    return instance;
}

// Wayland: the shortcut is bound in a session of the GlobalShortcuts portal; the desktop asks the
// user to confirm it and reports each press with Activated.
const QString shortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString shortcutId = QStringLiteral("panic");

class PortalBinding : public QObject
{
    Q_OBJECT
public:
    QString session;
    int generation = 0;

    void close()
    {
        if (session.isEmpty())
            return;
        QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
                                               Portal::service, session,
                                               QStringLiteral("org.freedesktop.portal.Session"),
                                               QStringLiteral("Close")),
                                           QDBus::NoBlock);
        session.clear();
    }
    // Activated(session_handle, shortcut_id, timestamp, options), read whole from the message.
    Q_SLOT void onActivated(const QDBusMessage &activated)
    {
        const QVariantList arguments = activated.arguments();
        if (arguments.size() >= 2 && arguments[0].value<QDBusObjectPath>().path() == session &&
            arguments[1].toString() == shortcutId)
            Q_EMIT presses().pressed();
    }
};

PortalBinding &binding()
{
    static PortalBinding *instance = [] {
        auto *created = new PortalBinding;
        QDBusConnection::sessionBus().connect(Portal::service, Portal::path, shortcutsInterface,
                                              QStringLiteral("Activated"), created,
                                              SLOT(onActivated(QDBusMessage)));
        return created;
    }();
    return *instance;
}

QCoro::Task<void> bindThroughPortal(QString trigger, int generation)
{
    const QVariantList create{QVariantMap{{QStringLiteral("session_handle_token"), QStringLiteral("hollowkeep")}}};
    const std::optional<Portal::Response> created =
        co_await Portal::request(shortcutsInterface, QStringLiteral("CreateSession"), create);
    // A later update() replaced this one while it waited.
    if (generation != binding().generation || !created || created->code != 0)
        co_return;
    binding().session = created->results.value(QStringLiteral("session_handle")).toString();
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
    const QList<PortalShortcut> shortcuts{
        {shortcutId, QVariantMap{{QStringLiteral("description"), QStringLiteral("Lock all vaults")},
                                 {QStringLiteral("preferred_trigger"), trigger}}}};
    const QVariantList bind{QVariant::fromValue(QDBusObjectPath(binding().session)), QVariant::fromValue(shortcuts),
                            QString(), QVariantMap()};
    co_await Portal::request(shortcutsInterface, QStringLiteral("BindShortcuts"), bind);
}

// The trigger as the portal takes it: "CTRL+ALT+LOGO+l".
QString portalTrigger(std::uint16_t modifiers, std::uint32_t keysym)
{
    QStringList parts;
    if (modifiers & xControl)
        parts << QStringLiteral("CTRL");
    if (modifiers & xAlt)
        parts << QStringLiteral("ALT");
    if (modifiers & xShift)
        parts << QStringLiteral("SHIFT");
    if (modifiers & xSuper)
        parts << QStringLiteral("LOGO");
    static const QHash<std::uint32_t, QString> names{
        {'-', QStringLiteral("minus")},        {'=', QStringLiteral("equal")},     {'[', QStringLiteral("bracketleft")},
        {']', QStringLiteral("bracketright")}, {'\'', QStringLiteral("apostrophe")}, {';', QStringLiteral("semicolon")},
        {'\\', QStringLiteral("backslash")},   {',', QStringLiteral("comma")},     {'/', QStringLiteral("slash")},
        {'.', QStringLiteral("period")},       {'`', QStringLiteral("grave")},     {' ', QStringLiteral("space")},
        {0xff51, QStringLiteral("Left")},      {0xff52, QStringLiteral("Up")},     {0xff53, QStringLiteral("Right")},
        {0xff54, QStringLiteral("Down")}};
    if (keysym >= 0xffbe && keysym <= 0xffc9)
        parts << QStringLiteral("F%1").arg(keysym - 0xffbe + 1);
    else
        parts << names.value(keysym, QString(QChar(char16_t(keysym))));
    return parts.join(QLatin1Char('+'));
}

bool usesPortal()
{
    const QString choice = qEnvironmentVariable("HOLLOWKEEP_SHORTCUTS");
    if (choice == QLatin1String("portal"))
        return true;
    return choice.isEmpty() && QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

void ungrabAll(xcb_connection_t *x)
{
    for (const Grab &grab : registration().grabs)
        xcb_ungrab_key(x, grab.keycode, X11::rootWindow(x), grab.modifiers);
    registration().grabs.clear();
    xcb_flush(x);
}

} // namespace

void update(UserDefaults &defaults)
{
    const bool portal = usesPortal();
    Registration &state = registration();
    if (xcb_connection_t *held = X11::connection(); held && !state.grabs.empty())
        ungrabAll(held);
    xcb_connection_t *x = portal ? nullptr : X11::connection();
    ++binding().generation;
    binding().close();
    if (!x && !portal)
        return; // neither X11 nor a portal: nothing can hear the keys
    if (!defaults.boolValue(SettingsKeys::panicEnabled))
        return;
    const qint64 keyCode = defaults.integerValue(SettingsKeys::panicKeyCode);
    const qint64 mask = defaults.integerValue(SettingsKeys::panicModifiers);
    if (keyCode < 0 || keyCode > 0xffffffffLL || mask <= 0 || mask > 0xffffffffLL)
        return;
    std::uint16_t modifiers = 0;
    if (mask & command)
        modifiers |= xSuper;
    if (mask & shift)
        modifiers |= xShift;
    if (mask & option)
        modifiers |= xAlt;
    if (mask & control)
        modifiers |= xControl;
    const std::uint32_t keysym = keysymForKeyCode(keyCode);
    if (modifiers == 0 || keysym == 0)
        return;
    if (portal) {
        bindThroughPortal(portalTrigger(modifiers, keysym), binding().generation);
        return;
    }
    if (!state.filterInstalled) {
        qGuiApp->installNativeEventFilter(&state);
        state.filterInstalled = true;
    }
    bool refused = false;
    for (const xcb_keycode_t keycode : keycodesFor(x, keysym)) {
        for (const std::uint16_t locks : {std::uint16_t(0), xNumLock, xLock, std::uint16_t(xNumLock | xLock)}) {
            const std::uint16_t withLocks = modifiers | locks;
            xcb_generic_error_t *error = xcb_request_check(
                x, xcb_grab_key_checked(x, 1, X11::rootWindow(x), withLocks, keycode, XCB_GRAB_MODE_ASYNC,
                                        XCB_GRAB_MODE_ASYNC));
            if (error) {
                refused = true;
                std::free(error);
                continue;
            }
            state.grabs.push_back({keycode, withLocks});
        }
    }
    if (refused && !state.refusalReported) {
        state.refusalReported = true;
        std::fprintf(stderr, "hollowkeep: the panic shortcut is held by another program\n");
    }
}

int grabbedVariants()
{
    return int(registration().grabs.size());
}

int carbonModifiers(Qt::KeyboardModifiers modifiers)
{
    int mask = 0;
    if (modifiers & Qt::MetaModifier)
        mask += command;
    if (modifiers & Qt::ShiftModifier)
        mask += shift;
    if (modifiers & Qt::AltModifier)
        mask += option;
    if (modifiers & Qt::ControlModifier)
        mask += control;
    return mask;
}

QString modifierSymbols(int carbonMask)
{
    QString text;
    if (carbonMask & control)
        text += QStringLiteral("Ctrl+");
    if (carbonMask & option)
        text += QStringLiteral("Alt+");
    if (carbonMask & shift)
        text += QStringLiteral("Shift+");
    if (carbonMask & command)
        text += QStringLiteral("Super+");
    return text;
}

std::uint32_t keysymForKeyCode(qint64 keyCode)
{
    const KeyEntry *entry = entryForCode(keyCode);
    return entry ? entry->keysym : 0;
}

RecordedShortcut record(int qtKey, Qt::KeyboardModifiers modifiers)
{
    if (qtKey == Qt::Key_Escape)
        return {Recording::Cancel, -1, 0, {}};
    const int mask = carbonModifiers(modifiers);
    const KeyEntry *entry = entryForQtKey(qtKey, modifiers);
    if (!entry || (mask & (command | option | control)) == 0)
        return {Recording::KeepRecording, -1, 0, {}};
    const std::uint32_t keysym = entry->keysym;
    QString label;
    if (entry->label)
        label = QString::fromLatin1(entry->label);
    else if (keysym >= 0xffbe && keysym <= 0xffd1)
        label = QStringLiteral("F%1").arg(keysym - 0xffbe + 1);
    else if (keysym >= 0xff51 && keysym <= 0xff54)
        label = QString(QChar(u"←↑→↓"[keysym - 0xff51]));
    else if (keysym == ' ')
        label = QStringLiteral("Space");
    else
        label = QString(QChar(char16_t(keysym))).toUpper();
    return {Recording::Store, entry->code, mask, label.isEmpty() ? QStringLiteral("?") : label};
}

int keyCodeForQtKey(int qtKey)
{
    const KeyEntry *entry = entryForQtKey(qtKey, {});
    return entry ? entry->code : -1;
}

void follow(UserDefaults &defaults)
{
    update(defaults);
    // One update for the changes of one moment: a recorded shortcut writes three keys, and a
    // portal session asked for three times over would race with itself.
    auto *pending = new QTimer(&defaults);
    pending->setSingleShot(true);
    pending->setInterval(0);
    QObject::connect(pending, &QTimer::timeout, &defaults, [&defaults] { update(defaults); });
    QObject::connect(&defaults, &UserDefaults::changed, pending, [pending](const QString &key) {
        if (key == SettingsKeys::panicEnabled || key == SettingsKeys::panicKeyCode ||
            key == SettingsKeys::panicModifiers)
            pending->start();
    });
}

Presses &presses()
{
    static Presses instance;
    return instance;
}

bool portalSessionOpen()
{
    return !binding().session.isEmpty();
}

} // namespace PanicHotKey

#include "PanicHotKey.moc"
