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
#include <QSaveFile>

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

// KDE's list syntax: items separated by commas, a comma or backslash inside an item escaped.
QStringList splitList(const QString &value)
{
    QStringList items;
    QString item;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == QLatin1Char('\\') && i + 1 < value.size()) {
            item += value[++i];
        } else if (value[i] == QLatin1Char(',')) {
            items.append(item);
            item.clear();
        } else {
            item += value[i];
        }
    }
    if (!item.isEmpty() || !items.isEmpty())
        items.append(item);
    return items;
}

QString joinList(const QStringList &items)
{
    QStringList escaped;
    for (QString item : items)
        escaped.append(item.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
                           .replace(QLatin1Char(','), QStringLiteral("\\,")));
    return escaped.join(QLatin1Char(','));
}

// Adds the folder to Baloo's exclusion list or takes it out, editing that one line of the file as
// text: every other byte of the user's settings stays as it is.
void setBalooExclusion(const QString &mountPoint, bool excluded)
{
    QFile file(balooConfig());
    if (!file.open(QIODevice::ReadOnly))
        return;
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    file.close();
    const QString entry = QDir::cleanPath(mountPoint) + QLatin1Char('/');
    const QString newKey = QStringLiteral("exclude folders[$e]");

    qsizetype group = -1, keyLine = -1;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            if (group >= 0)
                break;
            if (line == QLatin1String("[General]"))
                group = i;
        } else if (group >= 0) {
            const QString key = line.section(QLatin1Char('='), 0, 0).trimmed();
            if (line.contains(QLatin1Char('=')) && (key == QLatin1String("exclude folders") || key == newKey))
                keyLine = i;
        }
    }
    const QString key = keyLine >= 0 ? lines[keyLine].section(QLatin1Char('='), 0, 0) : newKey;
    QStringList folders =
        keyLine >= 0 ? splitList(lines[keyLine].section(QLatin1Char('='), 1)) : QStringList();
    const QStringList before = folders;
    folders.removeAll(entry);
    if (excluded)
        folders.append(entry);
    if (folders == before)
        return;
    const QString line = key + QLatin1Char('=') + joinList(folders);
    if (keyLine >= 0) {
        lines[keyLine] = line;
    } else if (group >= 0) {
        lines.insert(group + 1, line);
    } else {
        if (!lines.last().isEmpty())
            lines.append(QString());
        lines.insert(lines.size() - 1, QStringLiteral("[General]"));
        lines.insert(lines.size() - 1, line);
    }
    QSaveFile save(balooConfig());
    const QFileDevice::Permissions permissions = QFile::permissions(balooConfig());
    if (save.open(QIODevice::WriteOnly) && save.write(lines.join(QLatin1Char('\n')).toUtf8()) >= 0 &&
        save.commit())
        QFile::setPermissions(balooConfig(), permissions);
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
