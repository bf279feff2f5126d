// diskutil: renames and checks mounted vault volumes.
//
//   diskutil rename MOUNTPOINT NAME
//   diskutil verifyVolume MOUNTPOINT
//
// A check prints "File system check exit code is 0." only when the volume is clean.

#include "common/ToolSupport.h"
#include "common/VaultImage.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

using Tool::Error;

VaultImage::Attachment attachmentAt(const QString &mountPoint)
{
    const std::optional<VaultImage::Attachment> attachment = VaultImage::attachmentAtMountPoint(mountPoint);
    if (!attachment || !attachment->volumeResponds)
        throw Error{QStringLiteral("no vault volume is mounted at %1").arg(mountPoint)};
    return *attachment;
}

void print(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString verb = arguments.value(0);
    if (verb == QLatin1String("rename") && arguments.size() == 3) {
        return Tool::runCommand(QStringLiteral("diskutil"), verb, [&] {
            const VaultImage::Attachment attachment = attachmentAt(arguments[1]);
            const QString mountPoint = VaultImage::renameVolume(attachment, arguments[2]);
            print(QStringLiteral("Volume on %1 renamed to %2, now mounted at %3\n")
                      .arg(arguments[1], arguments[2], mountPoint));
        });
    }
    if (verb == QLatin1String("verifyVolume") && arguments.size() == 2) {
        int status = 0;
        const int failure = Tool::runCommand(QStringLiteral("diskutil"), verb, [&] {
            const VaultImage::Verification verification = VaultImage::verify(attachmentAt(arguments[1]));
            print(verification.lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
            status = verification.clean ? 0 : 1;
        });
        return failure != 0 ? failure : status;
    }
    std::fputs("usage: diskutil rename MOUNTPOINT NAME | diskutil verifyVolume MOUNTPOINT\n", stderr);
    return 1;
}
