// hdiutil: creates, attaches, detaches and maintains vault images.
//
//   hdiutil create -encryption AES-256 -stdinpass -type SPARSEBUNDLE -fs APFS -size Nm -volname NAME PATH
//   hdiutil attach -plist -stdinpass [-nobrowse] PATH
//   hdiutil detach MOUNTPOINT [-force]
//   hdiutil info [-plist]
//   hdiutil chpass -oldstdinpass -newstdinpass PATH      (old, NUL, new, NUL on standard input)
//   hdiutil resize -stdinpass -size Nm PATH
//   hdiutil resize -stdinpass -limits PATH                (prints: lowest current highest, in bytes)
//   hdiutil compact -stdinpass PATH
//   hdiutil imageinfo -stdinpass PATH
//
// Passwords are read from standard input only. Exit status 0 means success.

#include "common/ToolSupport.h"
#include "common/VaultImage.h"
#include "diskimage/Plist.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLocale>

#include <cstdio>

namespace {

using Tool::Error;

void print(const QByteArray &text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
}

// The options of one command: flags, options with a value, and the positional arguments.
struct Options
{
    QStringList flags;
    QMap<QString, QString> values;
    QStringList positional;

    [[nodiscard]] bool has(const QString &flag) const { return flags.contains(flag); }

    [[nodiscard]] QString path() const
    {
        if (positional.size() != 1)
            throw Error{QStringLiteral("expected exactly one image or mount point"),
                        Tool::statusInvalidArgument};
        return positional.first();
    }

    void requireStdinPass(const QString &flag = QStringLiteral("-stdinpass")) const
    {
        if (!has(flag))
            throw Error{QStringLiteral("a password is needed: pass it on standard input with %1").arg(flag),
                        Tool::statusInvalidArgument};
    }
};

Options parse(const QStringList &arguments, const QStringList &valueOptions)
{
    Options options;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        if (valueOptions.contains(argument)) {
            if (i + 1 >= arguments.size())
                throw Error{QStringLiteral("%1 needs a value").arg(argument), Tool::statusInvalidArgument};
            options.values.insert(argument, arguments[++i]);
        } else if (argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            options.flags.append(argument);
        } else {
            options.positional.append(argument);
        }
    }
    return options;
}

qint64 sizeOption(const Options &options)
{
    const std::optional<qint64> bytes = Tool::parseSize(options.values.value(QStringLiteral("-size")));
    if (!bytes)
        throw Error{QStringLiteral("Invalid argument: -size needs a size such as 256m"),
                    Tool::statusInvalidArgument};
    return *bytes;
}

QVariantMap entity(const QString &mountPoint)
{
    return {{QStringLiteral("content-hint"), QStringLiteral("ext4")},
            {QStringLiteral("volume-kind"), QStringLiteral("ext4")},
            {QStringLiteral("mount-point"), mountPoint}};
}

void create(const QStringList &arguments)
{
    const Options options =
        parse(arguments, {QStringLiteral("-encryption"), QStringLiteral("-type"), QStringLiteral("-fs"),
                          QStringLiteral("-size"), QStringLiteral("-volname")});
    options.requireStdinPass();
    const QString path = options.path();
    const QString type = options.values.value(QStringLiteral("-type"), QStringLiteral("SPARSEBUNDLE"));
    if (type != QLatin1String("SPARSEBUNDLE"))
        throw Error{QStringLiteral("only SPARSEBUNDLE images can be created"), Tool::statusInvalidArgument};
    if (!options.values.value(QStringLiteral("-encryption"), QStringLiteral("AES-256"))
             .startsWith(QLatin1String("AES")))
        throw Error{QStringLiteral("only AES-256 encryption is available"), Tool::statusInvalidArgument};
    const QString volumeName = options.values.value(QStringLiteral("-volname"), QStringLiteral("untitled"));
    VaultImage::create(path, volumeName, sizeOption(options),
                       Tool::passwordFromInput(Tool::readStandardInput()));
    print(QStringLiteral("created: %1\n").arg(path).toUtf8());
}

void attach(const QStringList &arguments)
{
    const Options options = parse(arguments, {});
    options.requireStdinPass();
    const VaultImage::Attached attached =
        VaultImage::attach(options.path(), Tool::passwordFromInput(Tool::readStandardInput()),
                           options.has(QStringLiteral("-nobrowse")));
    if (!attached.repairReport.isEmpty())
        std::fputs(qPrintable(attached.repairReport + QLatin1Char('\n')), stderr);
    QVariantMap plist{{QStringLiteral("system-entities"), QVariantList{entity(attached.mountPoint)}}};
    if (!attached.repairReport.isEmpty())
        plist.insert(QStringLiteral("repair-report"), attached.repairReport);
    if (options.has(QStringLiteral("-plist")))
        print(Plist::serialize(plist));
    else
        print(QStringLiteral("%1\t%2\n").arg(options.path(), attached.mountPoint).toUtf8());
}

void detach(const QStringList &arguments)
{
    const Options options = parse(arguments, {});
    const QString mountPoint = options.path();
    VaultImage::detach(mountPoint, options.has(QStringLiteral("-force")));
    print(QStringLiteral("\"%1\" ejected.\n").arg(mountPoint).toUtf8());
}

void info(const QStringList &arguments)
{
    const Options options = parse(arguments, {});
    QVariantList images;
    QByteArray text;
    // A volume whose daemon died or stopped is still listed, marked as not responding, so that
    // it can be detached.
    for (const VaultImage::Attachment &attachment : VaultImage::attachments()) {
        QVariantList entities;
        if (!attachment.volumeMount.isEmpty())
            entities.append(entity(attachment.volumeMount));
        images.append(QVariantMap{{QStringLiteral("image-path"), attachment.bundlePath},
                                  {QStringLiteral("image-type"), QStringLiteral("sparse bundle disk image")},
                                  {QStringLiteral("responding"), attachment.healthy},
                                  {QStringLiteral("system-entities"), entities}});
        const QString state = attachment.volumeMount.isEmpty() ? QStringLiteral("(not mounted)")
                              : attachment.healthy
                                  ? attachment.volumeMount
                                  : attachment.volumeMount + QStringLiteral(" (not responding)");
        text += QStringLiteral("image-path      : %1\nmount-point     : %2\n")
                    .arg(attachment.bundlePath, state)
                    .toUtf8();
    }
    if (options.has(QStringLiteral("-plist")))
        print(Plist::serialize(QVariantMap{{QStringLiteral("images"), images}}));
    else
        print(text);
}

void chpass(const QStringList &arguments)
{
    const Options options = parse(arguments, {});
    options.requireStdinPass(QStringLiteral("-oldstdinpass"));
    options.requireStdinPass(QStringLiteral("-newstdinpass"));
    const QByteArray input = Tool::readStandardInput();
    const qsizetype separator = input.indexOf('\0');
    if (separator < 0)
        throw Error{QStringLiteral("expected the old and the new password, each ended by a NUL byte"),
                    Tool::statusInvalidArgument};
    VaultImage::changePassword(options.path(), Tool::keepSecret(input.left(separator)),
                               Tool::passwordFromInput(input.mid(separator + 1)));
}

void resize(const QStringList &arguments)
{
    const Options options = parse(arguments, {QStringLiteral("-size")});
    options.requireStdinPass();
    if (options.has(QStringLiteral("-limits"))) {
        const qint64 lowest =
            VaultImage::lowestLimit(options.path(), Tool::passwordFromInput(Tool::readStandardInput()));
        print(QStringLiteral("%1 %2 %3\n")
                  .arg(lowest)
                  .arg(VaultImage::limitOf(QFileInfo(options.path()).canonicalFilePath()))
                  .arg(VaultImage::largestLimit)
                  .toUtf8());
        return;
    }
    const qint64 bytes = sizeOption(options);
    VaultImage::resize(options.path(), bytes, Tool::passwordFromInput(Tool::readStandardInput()));
    print(QStringLiteral("resized: %1\n")
              .arg(QLocale::c().formattedDataSize(bytes, 0, QLocale::DataSizeTraditionalFormat))
              .toUtf8());
}

void compact(const QStringList &arguments)
{
    const Options options = parse(arguments, {});
    options.requireStdinPass();
    const qint64 reclaimed =
        VaultImage::compact(options.path(), Tool::passwordFromInput(Tool::readStandardInput()));
    print(QStringLiteral("Reclaimed %1 bytes out of %2 bytes.\n")
              .arg(reclaimed)
              .arg(reclaimed + VaultImage::allocatedBytes(options.path()))
              .toUtf8());
}

void imageinfo(const QStringList &arguments)
{
    const Options options = parse(arguments, {});
    options.requireStdinPass();
    const QString path = options.path();
    VaultImage::checkPassword(path, Tool::passwordFromInput(Tool::readStandardInput()));
    const qint64 limit = VaultImage::limitOf(QFileInfo(path).canonicalFilePath());
    print(QStringLiteral("Format: sparse bundle (gocryptfs directory holding an ext4 image)\n"
                         "Encryption: AES-256-GCM\nSize limit: %1\nSize on disk: %2 bytes\n")
              .arg(limit > 0 ? QStringLiteral("%1 bytes").arg(limit)
                             : QStringLiteral("unknown (Info.plist is damaged)"))
              .arg(VaultImage::allocatedBytes(path))
              .toUtf8());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString verb = arguments.isEmpty() ? QString() : arguments.takeFirst();
    const QMap<QString, void (*)(const QStringList &)> commands{
        {QStringLiteral("create"), create},   {QStringLiteral("attach"), attach},
        {QStringLiteral("detach"), detach},   {QStringLiteral("info"), info},
        {QStringLiteral("chpass"), chpass},   {QStringLiteral("resize"), resize},
        {QStringLiteral("compact"), compact}, {QStringLiteral("imageinfo"), imageinfo},
    };
    const auto command = commands.constFind(verb);
    if (command == commands.cend()) {
        std::fputs("usage: hdiutil create|attach|detach|info|chpass|resize|compact|imageinfo …\n", stderr);
        return 1;
    }
    return Tool::runCommand(QStringLiteral("hdiutil"), verb, [&] { (*command)(arguments); });
}
