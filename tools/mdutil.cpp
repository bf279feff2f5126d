// mdutil: keeps a mounted volume out of (or lets it back into) the desktop's file indexers.
//
//   mdutil -i off|on MOUNTPOINT
//
// Off writes the markers the indexers honour (.trackerignore for Tracker, .nomedia for media
// scanners) and adds the folder to Baloo's exclusion list when Baloo is configured.

#include "common/ToolSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>

#include <cstdio>

namespace {

const QStringList markers{QStringLiteral(".trackerignore"), QStringLiteral(".nomedia")};

QString balooConfig()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty())
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/baloofilerc");
}

void setBalooExclusion(const QString &mountPoint, bool excluded)
{
    if (!QFile::exists(balooConfig()))
        return;
    QSettings baloo(balooConfig(), QSettings::IniFormat);
    const QString key = QStringLiteral("General/exclude folders[$e]");
    QStringList folders = baloo.value(key).toStringList();
    const QString entry = QDir::cleanPath(mountPoint) + QLatin1Char('/');
    folders.removeAll(entry);
    if (excluded)
        folders.append(entry);
    baloo.setValue(key, folders);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.size() != 3 || arguments[0] != QLatin1String("-i") ||
        (arguments[1] != QLatin1String("off") && arguments[1] != QLatin1String("on"))) {
        std::fputs("usage: mdutil -i off|on MOUNTPOINT\n", stderr);
        return 1;
    }
    const bool off = arguments[1] == QLatin1String("off");
    const QString mountPoint = arguments[2];
    return Tool::runCommand(QStringLiteral("mdutil"), QStringLiteral("-i"), [&] {
        if (!QFileInfo(mountPoint).isDir())
            throw Tool::Error{QStringLiteral("%1 is not a folder").arg(mountPoint)};
        for (const QString &marker : markers) {
            QFile file(mountPoint + QLatin1Char('/') + marker);
            if (off && !file.exists() && !file.open(QIODevice::WriteOnly))
                throw Tool::Error{QStringLiteral("cannot write %1").arg(file.fileName())};
            if (!off)
                file.remove();
        }
        setBalooExclusion(mountPoint, off);
        const QByteArray text =
            (mountPoint + QStringLiteral(":\n\tIndexing %1.\n")
                              .arg(off ? QStringLiteral("disabled") : QStringLiteral("enabled")))
                .toUtf8();
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    });
}
