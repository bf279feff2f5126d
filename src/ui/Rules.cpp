#include "Rules.h"

#include "store/VaultRules.h"

QString Rules::createValidationMessage(const QString &name, const QString &password,
                                       const QString &confirmation, const QString &hint)
{
    return VaultRules::createValidationMessage(name, password, confirmation, hint).value_or(QString());
}

bool Rules::canCreate(const QString &name, const QString &password, const QString &confirmation,
                      const QString &hint, qint64 sizeMB, bool creating)
{
    return VaultRules::canCreate(name, password, confirmation, hint, sizeMB, creating);
}

bool Rules::canSubmitPassword(const QString &password, bool running)
{
    return VaultRules::canSubmitPassword(password, running);
}

int Rules::sizeLower(bool unitGB, qint64 minimumMB)
{
    return int(VaultRules::sizeEntryRange(unitGB, minimumMB).lower);
}

int Rules::sizeUpper(bool unitGB, qint64 minimumMB)
{
    return int(VaultRules::sizeEntryRange(unitGB, minimumMB).upper);
}

int Rules::sizeStep(bool unitGB)
{
    return int(VaultRules::sizeEntryStep(unitGB));
}

int Rules::convertSize(qint64 value, bool toGB)
{
    return int(VaultRules::convertSizeEntry(value, toGB));
}

qint64 Rules::sizeInMB(qint64 value, bool unitGB)
{
    return VaultRules::sizeEntryMegabytes(value, unitGB);
}

QString Rules::hintMessage(const QString &hint, const QString &password)
{
    return VaultRules::passwordHintValidationMessage(hint, password).value_or(QString());
}

bool Rules::canChange(const QString &currentPassword, const QString &newPassword, const QString &confirmation,
                      const QString &hint, bool changing)
{
    return VaultRules::canChange(currentPassword, newPassword, confirmation, hint, changing);
}

bool Rules::canRename(const QString &newName, const QString &currentName, const QString &password,
                      bool renaming)
{
    return VaultRules::canRename(newName, currentName, password, renaming);
}

bool Rules::canResize(const QString &password, qint64 newSizeMB, qint64 currentSizeMB, bool resizing)
{
    return VaultRules::canResize(password, newSizeMB, currentSizeMB, resizing);
}

qint64 Rules::resizeMinimumMB(qint64 sizeOnDiskBytes)
{
    return VaultRules::resizeMinimumMB(sizeOnDiskBytes);
}
