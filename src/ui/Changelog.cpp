#include "Changelog.h"

#include "platform/SettingsKeys.h"
#include "platform/UpdateChecker.h"
#include "platform/UserDefaults.h"

#include <QJSEngine>

using namespace Qt::Literals::StringLiterals;

namespace {

struct Point
{
    QString icon, name, detail;
};

struct Entry
{
    QString version, title;
    QList<Point> points;
};

const QList<Entry> &changelog()
{
    static const QList<Entry> list = {
        {u"1.9.3"_s,
         u"Hints for the vaults you already have"_s,
         {{u"square.and.pencil"_s, u"Edit Any Hint"_s, u"Add, change, or clear it in Vault Settings"_s},
          {u"lock.rotation"_s, u"On Password Change"_s, u"Set the hint while the vault is locked"_s},
          {u"eye.fill"_s, u"Same Honest Rules"_s, u"Still plaintext — never unlocks or recovers"_s}}},
        {u"1.9.2"_s,
         u"Password reminder at unlock"_s,
         {{u"text.bubble.fill"_s, u"Optional Hint"_s, u"Add a brief reminder when you create a vault"_s},
          {u"eye.fill"_s, u"Honest Disclosure"_s, u"Stored as plaintext with the vault file"_s},
          {u"lock.open.fill"_s, u"Shows on Unlock"_s, u"Quietly displayed — does not unlock or recover"_s}}},
        {u"1.9"_s,
         u"The catch-up — everything since 1.4"_s,
         {{u"desktopcomputer"_s, u"Every Computer Welcome"_s, u"One package for every desktop — GNOME, KDE, Xfce and the rest"_s},
          {u"hare.fill"_s, u"Faster Launch"_s, u"The mole reaches the system tray in a blink"_s}}},
        {u"1.4"_s,
         u"The system tray grows up"_s,
         {{u"menubar.rectangle"_s, u"System Tray Panel"_s, u"Every vault at a glance, one-click unlock"_s},
          {u"checkmark.seal.fill"_s, u"Verify Vault"_s, u"Filesystem health check before you back up"_s},
          {u"chart.pie.fill"_s, u"Live Capacity"_s, u"Numbers update as you work"_s},
          {u"arrow.down.circle.fill"_s, u"Update Alerts"_s, u"Know the moment a new version ships"_s}}},
        {u"1.3"_s,
         u"Your Hollowkeep, your look"_s,
         {{u"paintpalette.fill"_s, u"Four Designs"_s, u"Classic · Native Pro · Night Watch · Soft Focus"_s},
          {u"plus.rectangle.on.folder.fill"_s, u"Add Existing Vault"_s, u"Old Ambry vaults welcome"_s},
          {u"trash.slash.fill"_s, u"Safer Deletion"_s, u"Trashing a vault requires its password"_s},
          {u"dock.rectangle"_s, u"Taskbar-Free Mode"_s, u"Live purely in the system tray"_s}}},
        {u"1.1 – 1.2"_s,
         u"Fine tuning"_s,
         {{u"ruler.fill"_s, u"Flexible Sizes"_s, u"From 16 MB pocket vaults up to 4 TB"_s},
          {u"building.2.fill"_s, u"Packaged Downloads"_s, u"A Debian package your package manager installs"_s}}},
        {u"1.0"_s,
         u"The Hollowkeep opens"_s,
         {{u"lock.shield.fill"_s, u"Growing Vaults"_s, u"AES-256 encrypted, only as big as their contents"_s},
          {u"touchid"_s, u"Authentication Everywhere"_s, u"Unlocking, maintenance, deletion"_s},
          {u"moon.zzz.fill"_s, u"Auto-Lock & Panic Key"_s, u"Locks itself — or everything at once, instantly"_s},
          {u"icloud.slash.fill"_s, u"Private by Default"_s, u"No cloud sync upload, no desktop search traces"_s}}},
    };
    return list;
}

} // namespace

Changelog *Changelog::create(QQmlEngine *, QJSEngine *)
{
    static Changelog *instance = new Changelog;
    QJSEngine::setObjectOwnership(instance, QJSEngine::CppOwnership);
    return instance;
}

QVariantList Changelog::entries()
{
    QVariantList result;
    for (const Entry &entry : changelog()) {
        QVariantList points;
        for (const Point &point : entry.points)
            points << QVariantMap{{u"icon"_s, point.icon}, {u"name"_s, point.name}, {u"detail"_s, point.detail}};
        result << QVariantMap{{u"version"_s, entry.version}, {u"title"_s, entry.title}, {u"points"_s, points}};
    }
    return result;
}

QString Changelog::version()
{
    return UpdateChecker::currentVersion();
}

bool Changelog::hasNotes(const QString &version)
{
    return std::any_of(changelog().begin(), changelog().end(),
                       [&version](const Entry &entry) { return entry.version == version; });
}

bool Changelog::takeUpdate(UserDefaults &defaults, const QString &current)
{
    const std::optional<QString> previous = defaults.stringValue(SettingsKeys::lastLaunchedVersion);
    defaults.setValue(SettingsKeys::lastLaunchedVersion, current);
    return previous && *previous != current && hasNotes(current);
}
