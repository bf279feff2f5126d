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
