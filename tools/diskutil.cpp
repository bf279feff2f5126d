// diskutil: renames, checks and repairs vault volumes.
//
//   diskutil rename MOUNTPOINT NAME
//   diskutil verifyVolume MOUNTPOINT
//   diskutil verifyVolume|repairVolume -stdinpass BUNDLE   (a locked vault, even one that cannot mount)
//
// A check prints "File system check exit code is 0." only when the volume is clean.

#include "common/ToolSupport.h"
#include "common/VaultImage.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

void print(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

int report(const QString &verb, const std::function<VaultImage::Verification()> &check)
{
    int status = 0;
    const int failure = Tool::runCommand(QStringLiteral("diskutil"), verb, [&] {
        const VaultImage::Verification verification = check();
        print(verification.lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
        status = verification.clean ? 0 : 1;
    });
    return failure != 0 ? failure : status;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString verb = arguments.value(0);
    if (verb == QLatin1String("rename") && arguments.size() == 3) {
        return Tool::runCommand(QStringLiteral("diskutil"), verb, [&] {
            const QString mountPoint = VaultImage::renameVolume(arguments[1], arguments[2]);
            print(QStringLiteral("Volume on %1 renamed to %2, now mounted at %3\n")
                      .arg(arguments[1], arguments[2], mountPoint));
        });
    }
    if (verb == QLatin1String("verifyVolume") && arguments.size() == 2)
        return report(verb, [&] { return VaultImage::verify(arguments[1]); });
    if ((verb == QLatin1String("verifyVolume") || verb == QLatin1String("repairVolume")) &&
        arguments.size() == 3 && arguments[1] == QLatin1String("-stdinpass")) {
        return report(verb, [&] {
            return VaultImage::checkLocked(arguments[2], Tool::passwordFromInput(Tool::readStandardInput()),
                                           verb == QLatin1String("repairVolume"));
        });
    }
    std::fputs("usage: diskutil rename MOUNTPOINT NAME | diskutil verifyVolume MOUNTPOINT\n"
               "       diskutil verifyVolume|repairVolume -stdinpass BUNDLE\n",
               stderr);
    return 1;
}
