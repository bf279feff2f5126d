// Cost of the store's two repeating timers (the 4-second size refresh and the 60-second auto-lock
// tick) with ten unlocked vaults, as CPU time of this process and of the vaults' file-system
// daemons, against a baseline of the same vaults with the timers stopped, measured in this run.
//
//   store_timers [SECONDS]     (default 60 for each half)

#include "platform/SettingsKeys.h"
#include "platform/UserDefaults.h"
#include "store/VaultStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace {

double processSeconds(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray content = stat.readAll();
    const QList<QByteArray> fields = content.mid(content.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12
               ? double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK))
               : 0;
}

// CPU seconds used so far by this process and by every fuse2fs and gocryptfs daemon of the run.
double cpuSeconds(const QString &root)
{
    double total = processSeconds(getpid());
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(root.toUtf8()))
            total += processSeconds(entry.toInt());
    }
    return total;
}

void runFor(int seconds)
{
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const int seconds = argc > 1 ? std::max(5, atoi(argv[1])) : 60;
    QTemporaryDir root(QStringLiteral("/var/tmp/hollowkeep-bench-XXXXXX"));
    for (const char *folder : {"home", "config", "data", "runtime"})
        QDir(root.path()).mkpath(QLatin1String(folder));
    QFile::setPermissions(root.path() + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("HOME", (root.path() + QStringLiteral("/home")).toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (root.path() + QStringLiteral("/config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", (root.path() + QStringLiteral("/data")).toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", (root.path() + QStringLiteral("/runtime")).toLocal8Bit());

    UserDefaults defaults(root.path() + QStringLiteral("/config/prefs.json"));
    SettingsKeys::registerDefaults(defaults);
    VaultStore store(defaults, root.path() + QStringLiteral("/data"), false);
    QList<Vault> vaults;
    for (int i = 0; i < 10; ++i) {
        Vault vault;
        vault.id = QUuid::createUuid();
        vault.name = QStringLiteral("Bench %1").arg(i);
        vault.bundlePath = root.path() + QStringLiteral("/home/Bench%1.sparsebundle").arg(i);
        vault.openInFinderAfterUnlock = false;
        QProcess create;
        create.start(QCoreApplication::applicationDirPath() +
                         QStringLiteral("/../libexec/hollowkeep/hdiutil"),
                     {QStringLiteral("create"), QStringLiteral("-stdinpass"), QStringLiteral("-size"),
                      QStringLiteral("256m"), QStringLiteral("-volname"), vault.name, vault.bundlePath});
        create.write("bench-password");
        create.closeWriteChannel();
        create.waitForFinished(-1);
        vaults << vault;
    }
    store.setVaults(vaults);
    for (const Vault &vault : std::as_const(vaults)) {
        if (!QCoro::waitFor(
                store.unlock(vault, QStringLiteral("bench-password"), false, QStringLiteral("password")))) {
            std::fprintf(stderr, "could not unlock %s: %s\n", qPrintable(vault.name),
                         qPrintable(store.errorMessage().value_or(QString())));
            return 1;
        }
    }

    // Baseline: the same ten unlocked vaults, timers stopped.
    double before = cpuSeconds(root.path());
    runFor(seconds);
    const double idle = cpuSeconds(root.path()) - before;

    // The same period with the size refresh every 4 s and the auto-lock tick every 60 s.
    QTimer sizeTimer;
    QTimer tickTimer;
    QObject::connect(&sizeTimer, &QTimer::timeout, &store, [&store] { store.refreshUnlockedSizes(); });
    QObject::connect(&tickTimer, &QTimer::timeout, &store, [&store] { store.autoLockTick(); });
    sizeTimer.start(VaultStore::sizeRefreshIntervalMs);
    tickTimer.start(VaultStore::autoLockIntervalMs);
    before = cpuSeconds(root.path());
    runFor(seconds);
    const double busy = cpuSeconds(root.path()) - before;
    sizeTimer.stop();
    tickTimer.stop();

    QCoro::waitFor(store.lockAll(true, QStringLiteral("quit")));
    const double cost = std::max(0.0, busy - idle) / seconds * 100.0;
    std::printf("ten unlocked vaults, %d s each half\n", seconds);
    std::printf("baseline, timers stopped:    %.3f CPU s (%.3f %% of one core)\n", idle,
                idle / seconds * 100.0);
    std::printf("with both timers running:    %.3f CPU s (%.3f %% of one core)\n", busy,
                busy / seconds * 100.0);
    std::printf("cost of the timers:          %.3f %% of one core (budget 1 %%: ratio %.2f)\n", cost,
                cost / 1.0);
    return 0;
}
