#pragma once

#include <QCoro/QCoroTask>
#include <QString>

#include <stdexcept>

// Keeps a vault file out of cloud sync ("X.nosync" plus the file-provider ignore attribute) and
// unlocked volumes out of the desktop's file indexers.
namespace CloudExclusion {

// The attribute that tells sync clients to ignore a file. Linux keeps user attributes in the
// user. namespace.
inline constexpr auto ignoreAttribute = "com.apple.fileprovider.ignore#P";
[[nodiscard]] QByteArray attributeName();

// A rename of the vault file failed; the message is the file system's.
class RenameError : public std::runtime_error
{
public:
    explicit RenameError(const QString &message) : std::runtime_error(message.toStdString()) {}
};

// Moves X.sparsebundle to X.nosync and sets the ignore attribute; answers the new location.
[[nodiscard]] QString exclude(const QString &location);
// Moves X.nosync back to X.sparsebundle and removes the attribute; answers the new location.
[[nodiscard]] QString include(const QString &location);
[[nodiscard]] bool isInsideICloudDrive(const QString &location);

// Keeps an unlocked volume out of the desktop's indexers (`mdutil -i off`: the markers Tracker and
// media scanners honour, Baloo's exclusion list). Every failure is ignored.
QCoro::Task<void> excludeFromSpotlight(QString mountPoint);

} // namespace CloudExclusion
