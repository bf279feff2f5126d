#include "AppPaths.h"

#include <QDir>

#include <unistd.h>

namespace {

QString fromEnvironment(const char *variable, const QString &fallbackBelowHome)
{
    const QString value = qEnvironmentVariable(variable);
    // The XDG rules ignore relative paths.
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return QDir::homePath() + QLatin1Char('/') + fallbackBelowHome;
}

} // namespace

namespace AppPaths {

QString configHome()
{
    return fromEnvironment("XDG_CONFIG_HOME", QStringLiteral(".config"));
}

QString dataHome()
{
    return fromEnvironment("XDG_DATA_HOME", QStringLiteral(".local/share"));
}

QString runtimeDir()
{
    const QString value = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return QDir::tempPath() + QStringLiteral("/runtime-%1").arg(getuid());
}

QString preferencesFile(const QString &id)
{
    return configHome() + QLatin1Char('/') + id + QStringLiteral(".json");
}

} // namespace AppPaths
