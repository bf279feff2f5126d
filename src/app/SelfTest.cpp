#include "SelfTest.h"

#include "diskimage/CloudExclusion.h"
#include "diskimage/DiskImage.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QUuid>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;
namespace SelfTest {

namespace {

const QString volumeName = u"AmbrySelfTest"_qs;
const QString renamedVolumeName = u"AmbrySelfTest2"_qs;
const QString firstPassword = u"checkrun-word"_qs;
const QString wrongPassword = u"bogus-word"_qs;
const QString secondPassword = firstPassword + u"-2"_qs;
const QByteArray probeContent = "hello";

// A step's failure: the line to print after "SELFTEST FAIL: ".
struct Failure
{
    QString reason;
};

// Errors of the engine and the file system carry the text the line shows.
template <typename T>
QCoro::Task<T> step(QCoro::Task<T> &&task)
{
    try {
        co_return co_await std::move(task);
    } catch (const Failure &) {
        throw;
    } catch (const std::exception &error) {
        throw Failure{describeError(error)};
    }
}

// An attach that must be refused as a wrong password: any other outcome ends the test.
QCoro::Task<void> expectRejected(const QString &image, const QString &password, const QString &acceptedReason)
{
    try {
        co_await DiskImage::attach(image, password, false);
    } catch (const DiskImageError &error) {
        if (error.kind() == DiskImageError::Kind::BadPassword)
            co_return;
        throw Failure{error.errorDescription()};
    } catch (const std::exception &error) {
        throw Failure{describeError(error)};
    }
    throw Failure{acceptedReason};
}

void writeProbe(const QString &mountPoint)
{
    QFile probe(mountPoint + u"/probe.txt"_qs);
    if (!probe.open(QIODevice::WriteOnly) || probe.write(probeContent) != probeContent.size() ||
        !probe.flush())
        throw Failure{u"Could not write “probe.txt”: "_qs + probe.errorString()};
}

QByteArray readProbe(const QString &mountPoint)
{
    QFile probe(mountPoint + u"/probe.txt"_qs);
    if (!probe.open(QIODevice::ReadOnly))
        throw Failure{u"Could not read “probe.txt”: "_qs + probe.errorString()};
    return probe.readAll();
}

QCoro::Task<void> scenario(const QString &directory)
{
    QString image = directory + u"/SelfTest.sparsebundle"_qs;
    co_await step(DiskImage::create(image, volumeName, 256, firstPassword));
    const DiskImage::Attached firstAttached = co_await step(DiskImage::attach(image, firstPassword, false));
    const QString first = firstAttached.mountPoint;
    writeProbe(first);
    co_await step(DiskImage::detach(first, false));

    co_await expectRejected(image, wrongPassword, u"wrong password was accepted"_qs);

    try {
        image = CloudExclusion::exclude(image);
    } catch (const std::exception &error) {
        throw Failure{describeError(error)};
    }
    if (QFileInfo(image).suffix() != QLatin1String("nosync"))
        throw Failure{u"iCloud exclusion rename"_qs};

    const DiskImage::Attached hiddenAttached = co_await step(DiskImage::attach(image, firstPassword, true));
    const QString hidden = hiddenAttached.mountPoint;
    co_await step(DiskImage::renameVolume(hidden, renamedVolumeName));
    const std::optional<QString> renamed = co_await DiskImage::mountPoint(image);
    if (!renamed)
        throw Failure{u"renamed volume not found among attached images"_qs};
    co_await step(DiskImage::detach(*renamed, false));

    co_await step(DiskImage::changePassword(image, firstPassword, secondPassword));
    co_await expectRejected(image, firstPassword, u"old password still accepted after change"_qs);

    co_await step(DiskImage::resize(image, 512, secondPassword));
    co_await step(DiskImage::resize(image, 256, secondPassword));

    const DiskImage::Attached lastAttached = co_await step(DiskImage::attach(image, secondPassword, false));
    const QString last = lastAttached.mountPoint;
    const QByteArray content = readProbe(last);
    const bool renameStuck = last.endsWith(renamedVolumeName);
    std::optional<Failure> detachFailure;
    try {
        co_await DiskImage::detach(last, false);
    } catch (const std::exception &error) {
        detachFailure = Failure{describeError(error)};
    }
    if (!renameStuck)
        throw Failure{u"volume rename did not stick"_qs};
    if (detachFailure)
        throw *detachFailure;
    if (content != probeContent)
        throw Failure{u"content mismatch"_qs};
}

QCoro::Task<int> runScenario()
{
    const QString directory = QDir::tempPath() + u"/ambrybox-selftest-"_qs +
                              QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    QString line = u"SELFTEST OK"_qs;
    if (!QDir().mkpath(directory)) {
        line = u"SELFTEST FAIL: Could not create the folder “%1”."_qs.arg(directory);
    } else {
        try {
            co_await scenario(directory);
        } catch (const Failure &failure) {
            line = u"SELFTEST FAIL: "_qs + failure.reason;
        }
        QDir(directory).removeRecursively();
    }
    const QByteArray output = line.toUtf8() + '\n';
    std::fwrite(output.constData(), 1, size_t(output.size()), stdout);
    std::fflush(stdout);
    co_return line == QLatin1String("SELFTEST OK") ? 0 : 1;
}

} // namespace

bool isRequested(const QStringList &arguments)
{
    return arguments.contains(u"--selftest"_qs);
}

int run(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    // The scenario drives child processes from the event loop and ends it with its status.
    QTimer::singleShot(0, &application, [] {
        QCoro::connect(runScenario(), qApp, [](int status) { QCoreApplication::exit(status); });
    });
    return QCoreApplication::exec();
}

} // namespace SelfTest
