#include "ProcessResult.h"

#include <stdexcept>

QString DiskImageError::errorDescription() const
{
    return m_kind == Kind::BadPassword ? QStringLiteral("Wrong password.") : m_message;
}

QString describeError(const std::exception &error)
{
    if (const auto *engine = dynamic_cast<const DiskImageError *>(&error))
        return engine->errorDescription();
    if (const auto *launch = dynamic_cast<const LaunchError *>(&error))
        return launch->errorDescription();
    return QString::fromUtf8(error.what());
}
