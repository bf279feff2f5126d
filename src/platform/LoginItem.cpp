#include "LoginItem.h"

#include "AppPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

using namespace Qt::Literals::StringLiterals;

namespace {

// Exec values quote arguments that hold spaces or reserved characters.
QString quotedForExec(const QString &path)
{
    if (!path.contains(QRegularExpression(uR"([\s"'\\$`])"_s)))
        return path;
    QString escaped = path;
    for (const QString &special : {u"\\"_s, u"\""_s, u"`"_s, u"$"_s})
        escaped.replace(special, u"\\"_s + special);
    return u'"' + escaped + u'"';
}

QString program()
{
    const QString path = QCoreApplication::applicationFilePath();
    return path.isEmpty() ? u"hollowkeep"_s : path;
}

} // namespace

namespace LoginItem {

QString entryPath()
{
    return AppPaths::configHome() + u"/autostart/"_s + QLatin1String(AppPaths::applicationId) + u".desktop"_s;
}

bool isEnabled()
{
    QFile entry(entryPath());
    if (!entry.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &raw : entry.readAll().split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false")
            return false;
    }
    return true;
}

std::optional<QString> setEnabled(bool enabled)
{
    const QString path = entryPath();
    if (!enabled) {
        QFile entry(path);
        if (!entry.exists() || entry.remove())
            return std::nullopt;
        return entry.errorString();
    }
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        return u"The folder %1 could not be created."_s.arg(folder);
    QSaveFile entry(path);
    if (!entry.open(QIODevice::WriteOnly))
        return entry.errorString();
    entry.write(u"[Desktop Entry]\n"
                "Type=Application\n"
                "Name=Hollowkeep\n"
                "Comment=Keeps your vaults ready from the system tray\n"
                "Exec=%1\n"
                "Icon=%2\n"
                "Terminal=false\n"
                "X-GNOME-Autostart-enabled=true\n"_s.arg(quotedForExec(program()), QLatin1String(AppPaths::applicationId))
                    .toUtf8());
    if (!entry.commit())
        return entry.errorString();
    return std::nullopt;
}

} // namespace LoginItem
