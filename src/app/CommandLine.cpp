#include "CommandLine.h"

#include "InstanceService.h"
#include "platform/SettingsKeys.h"
#include "platform/AppPaths.h"
#include "platform/UpdateChecker.h"
#include "platform/UserDefaults.h"
#include "store/VaultStore.h"
#include "ui/Format.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

const QStringList commands{u"list"_s, u"unlock"_s, u"lock"_s, u"open"_s};

// Unlocking may wait for an authentication dialog; locking for files to close.
constexpr int callTimeoutMs = 10 * 60 * 1000;

int fail(const QString &message, int status = 1)
{
    std::fprintf(stderr, "hollowkeep: %s\n", qPrintable(message));
    return status;
}

QDBusMessage call(const QString &method, const QVariantList &arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        QLatin1String(InstanceService::serviceName), QLatin1String(InstanceService::objectPath),
        QLatin1String(InstanceService::serviceName), method);
    message.setArguments(arguments);
    return message;
}

bool running(const QDBusConnection &bus)
{
    return bus.isConnected() && bus.interface() &&
           bus.interface()->isServiceRegistered(QLatin1String(InstanceService::serviceName)).value();
}

// Starts the program when no instance runs, and waits until it answers.
bool ensureRunning(const QDBusConnection &bus)
{
    if (running(bus))
        return true;
    if (!bus.isConnected() || !QProcess::startDetached(QCoreApplication::applicationFilePath(), {}))
        return false;
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (running(bus))
            return true;
        QThread::msleep(100);
    }
    return false;
}

// The vaults as the running instance knows them, or as this process finds them itself.
QJsonArray vaultRows(const QDBusConnection &bus)
{
    if (running(bus)) {
        const QDBusMessage answer = bus.call(call(u"List"_s), QDBus::Block, callTimeoutMs);
        if (answer.type() == QDBusMessage::ReplyMessage && !answer.arguments().isEmpty())
            return QJsonDocument::fromJson(answer.arguments().first().toString().toUtf8()).array();
    }
    SettingsKeys::registerDefaults(UserDefaults::standard());
    VaultStore store(UserDefaults::standard(), AppPaths::dataHome(), false);
    QCoro::waitFor(store.refresh());
    return InstanceService::listing(store);
}

int list(const QDBusConnection &bus, bool json)
{
    const QJsonArray rows = vaultRows(bus);
    if (json) {
        std::fputs(QJsonDocument(rows).toJson(QJsonDocument::Indented).constData(), stdout);
        return 0;
    }
    QList<QStringList> table{{u"NAME"_s, u"STATE"_s, u"SIZE"_s, u"MOUNT POINT"_s}};
    for (const QJsonValue &row : rows) {
        const qint64 bytes = row[u"bytesOnDisk"_s].toInteger(-1);
        table.append({row[u"name"_s].toString(), row[u"state"_s].toString(),
                      bytes < 0 ? u"—"_s : Format::bytes(bytes), row[u"mountPoint"_s].toString()});
    }
    QList<qsizetype> widths(4, 0);
    for (const QStringList &line : table)
        for (int column = 0; column < 3; ++column)
            widths[column] = qMax(widths[column], line[column].size());
    for (const QStringList &line : table) {
        QString text;
        for (int column = 0; column < 3; ++column)
            text += line[column].leftJustified(widths[column] + 2);
        std::printf("%s\n", qPrintable((text + line[3]).trimmed()));
    }
    return 0;
}

// The password as typed into standard input, without the line end a terminal or echo adds.
QByteArray passwordFromStandardInput()
{
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly))
        return {};
    QByteArray password = input.readAll();
    if (password.endsWith('\n'))
        password.chop(1);
    if (password.endsWith('\r'))
        password.chop(1);
    return password;
}

// A pipe holding the password, its read end handed over: the bytes never travel in a message.
QDBusUnixFileDescriptor passwordPipe(QByteArray password)
{
    int ends[2];
    if (password.size() > 60000 || ::pipe2(ends, O_CLOEXEC) != 0)
        return {};
    const bool written = ::write(ends[1], password.constData(), size_t(password.size())) == password.size();
    std::fill(password.begin(), password.end(), '\0');
    ::close(ends[1]);
    QDBusUnixFileDescriptor descriptor(ends[0]);
    ::close(ends[0]);
    return written ? descriptor : QDBusUnixFileDescriptor();
}

// Hands files from the file manager to the running instance, which opens "Add to Vault".
int addToVault(const QDBusConnection &bus, const QStringList &paths)
{
    QStringList files;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (!info.exists() && !info.isSymLink())
            return fail(u"There is no file or folder “%1”."_s.arg(path));
        files << info.absoluteFilePath();
    }
    if (files.isEmpty())
        return fail(u"Name the files to add: hollowkeep --add-to-vault FILE…"_s, 2);
    if (!ensureRunning(bus))
        return fail(u"Hollowkeep is not running and could not be started (is there a D-Bus session?)."_s);
    const QDBusMessage answer = bus.call(call(u"AddToVault"_s, {files}), QDBus::Block, 10000);
    return answer.type() == QDBusMessage::ErrorMessage ? fail(answer.errorMessage()) : 0;
}

} // namespace

namespace CommandLine {

QString usage()
{
    return u"Keeps private files in encrypted vaults.\n\n"
           "Commands, answered by the running instance:\n"
           "  list [--json]                  the vaults, their state, size and mount point\n"
           "  unlock NAME [--password-stdin] unlock with the saved password or one read from standard input\n"
           "  lock NAME | --all              lock one vault or every unlocked one\n"
           "  open NAME                      show an unlocked vault in the file manager\n"
           "  --add-to-vault FILE…           copy or move files and folders into a vault"_s;
}

bool isCommand(const QStringList &arguments)
{
    return arguments.size() > 1 && (commands.contains(arguments.at(1)) || arguments.at(1) == u"--add-to-vault"_s);
}

bool activateRunning(QDBusConnection bus, const QString &window)
{
    const QDBusMessage answer = bus.call(call(u"Activate"_s, {window}), QDBus::Block, 10000);
    return answer.type() == QDBusMessage::ReplyMessage;
}

int run(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationVersion(UpdateChecker::currentVersion());
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (QCoreApplication::arguments().value(1) == u"--add-to-vault"_s)
        return addToVault(bus, QCoreApplication::arguments().mid(2));
    QCommandLineParser parser;
    parser.setApplicationDescription(usage());
    parser.addHelpOption();
    const QCommandLineOption json(u"json"_s, u"list: print JSON."_s);
    const QCommandLineOption passwordStdin(u"password-stdin"_s, u"unlock: read the password from standard input."_s);
    const QCommandLineOption all(u"all"_s, u"lock: every unlocked vault."_s);
    parser.addOptions({json, passwordStdin, all});
    parser.addPositionalArgument(u"command"_s, u"list, unlock, lock or open"_s);
    parser.addPositionalArgument(u"name"_s, u"the vault's name"_s, u"[NAME]"_s);
    parser.process(application);

    const QStringList positional = parser.positionalArguments();
    const QString command = positional.value(0);
    const QString name = positional.value(1);
    const bool needsName = command != u"list"_s && !(command == u"lock"_s && parser.isSet(all));
    if (positional.size() > 2 || (needsName && name.isEmpty()) || (!needsName && !name.isEmpty()))
        return fail(u"Wrong command line; see hollowkeep --help."_s, 2);

    if (command == u"list"_s)
        return list(bus, parser.isSet(json));

    QVariantList arguments{name};
    QString method = command == u"unlock"_s ? u"Unlock"_s : command == u"lock"_s ? u"Lock"_s : u"Open"_s;
    if (command == u"unlock"_s && parser.isSet(passwordStdin)) {
        const QDBusUnixFileDescriptor password = passwordPipe(passwordFromStandardInput());
        if (!password.isValid())
            return fail(u"Could not read a password from standard input."_s);
        arguments << QVariant::fromValue(password);
        method = u"UnlockWithPassword"_s;
    }
    if (!ensureRunning(bus))
        return fail(u"Hollowkeep is not running and could not be started (is there a D-Bus session?)."_s);
    const QDBusMessage answer = bus.call(call(method, arguments), QDBus::Block, callTimeoutMs);
    if (answer.type() == QDBusMessage::ErrorMessage)
        return fail(answer.errorMessage());
    return 0;
}

} // namespace CommandLine
