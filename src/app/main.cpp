#include "CommandLine.h"
#include "HollowkeepApp.h"
#include "InstanceService.h"
#include "LegacyMigration.h"
#include "SelfTest.h"
#include "platform/SettingsKeys.h"
#include "platform/UpdateChecker.h"
#include "platform/UserDefaults.h"
#include "store/VaultStore.h"
#include "ui/AppWindows.h"
#include "ui/TrayItem.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(org_hollowkeepPlugin)

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    // The self-test needs no window, settings or vault list.
    if (SelfTest::isRequested(arguments))
        return SelfTest::run(argc, argv);
    // Commands answer on the terminal; they need no display.
    if (CommandLine::isCommand(arguments))
        return CommandLine::run(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(CommandLine::usage());
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QList<std::pair<QCommandLineOption, QString>> windows{
        {QCommandLineOption(QStringLiteral("settings"), QStringLiteral("Opens the settings window.")),
         QStringLiteral("SettingsWindow")},
        {QCommandLineOption(QStringLiteral("about"), QStringLiteral("Opens the About window.")),
         QStringLiteral("AboutWindow")},
        {QCommandLineOption(QStringLiteral("whats-new"), QStringLiteral("Opens the What's New window.")),
         QStringLiteral("ChangelogWindow")}};
    for (const auto &[option, window] : windows)
        parser.addOption(option);
    parser.addOption(QCommandLineOption(QStringLiteral("selftest"),
                                        QStringLiteral("Checks the disk-image tools with a small vault and exits.")));
    // Help, the version and a mistyped option are answered on the terminal, without a display.
    // Qt's own options (-platform, …) are left to the application object.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    static const QStringList qtOptions{
        QStringLiteral("platform"), QStringLiteral("platformtheme"), QStringLiteral("platformpluginpath"),
        QStringLiteral("plugin"), QStringLiteral("display"), QStringLiteral("style"), QStringLiteral("stylesheet"),
        QStringLiteral("reverse"), QStringLiteral("session"), QStringLiteral("qwindowgeometry"),
        QStringLiteral("qwindowtitle"), QStringLiteral("qwindowicon"), QStringLiteral("qmljsdebugger")};
    const bool parsed = parser.parse(arguments);
    const QStringList unknown = parser.unknownOptionNames();
    const bool mistyped = std::any_of(unknown.begin(), unknown.end(),
                                      [](const QString &name) { return !qtOptions.contains(name); });
    if (mistyped || (parsed && (parser.isSet(help) || parser.isSet(version)))) {
        QCoreApplication core(argc, argv);
        QCoreApplication::setApplicationVersion(UpdateChecker::currentVersion());
        parser.process(core);
        return 0;
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Hollowkeep"));
    QApplication::setOrganizationDomain(QStringLiteral("hollowkeep.org"));
    QApplication::setDesktopFileName(QStringLiteral("org.hollowkeep.Hollowkeep"));
    QApplication::setApplicationVersion(UpdateChecker::currentVersion());
    // Now without Qt's own options: anything left that is unknown is a mistake.
    parser.process(application);
    QString window;
    for (const auto &[option, name] : windows) {
        if (parser.isSet(option))
            window = name;
    }

    // One instance per session owns the vaults: a later launch shows its window and ends.
    QDBusConnection bus = QDBusConnection::sessionBus();
    const InstanceService::Claim claim = InstanceService::claim(bus);
    if (claim == InstanceService::Claim::Taken) {
        if (CommandLine::activateRunning(bus, window))
            return 0;
        std::fprintf(stderr, "hollowkeep: another instance owns the vaults but does not answer.\n");
        return 1;
    }
    if (claim == InstanceService::Claim::NoBus)
        std::fprintf(stderr, "hollowkeep: no D-Bus session: a second start would not be noticed.\n");

    UserDefaults &defaults = UserDefaults::standard();
    // Migrated values are stored values, so they win over the defaults registered after them.
    LegacyMigration::migratePreferences(defaults);
    SettingsKeys::registerDefaults(defaults);

    HollowkeepApp app;
    if (!app.start())
        return 1;
    const auto show = [](const QString &name) {
        if (name.isEmpty())
            TrayItem::shared().showMainWindow();
        else
            AppWindows::shared().show(name);
    };
    InstanceService service(VaultStore::shared(), show);
    if (claim == InstanceService::Claim::Claimed)
        service.exportOn(bus);
    if (!window.isEmpty())
        show(window);
    return QApplication::exec();
}
