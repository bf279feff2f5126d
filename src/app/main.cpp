#include "HollowkeepApp.h"
#include "LegacyMigration.h"
#include "SelfTest.h"
#include "SettingsKeys.h"
#include "platform/UserDefaults.h"

#include <QApplication>
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

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Hollowkeep"));
    QApplication::setOrganizationDomain(QStringLiteral("hollowkeep.org"));
    QApplication::setDesktopFileName(QStringLiteral("org.hollowkeep.Hollowkeep"));

    UserDefaults &defaults = UserDefaults::standard();
    // Migrated values are stored values, so they win over the defaults registered after them.
    LegacyMigration::migratePreferences(defaults);
    SettingsKeys::registerDefaults(defaults);

    HollowkeepApp app;
    return app.run();
}
