#include "LegacyMigration.h"

#include "platform/SettingsKeys.h"
#include "platform/AppPaths.h"
#include "platform/UserDefaults.h"

namespace LegacyMigration {

void migratePreferences(UserDefaults &defaults)
{
    if (defaults.hasStoredValue(SettingsKeys::migratedFromAmbrybox))
        return;
    QVariantMap values = UserDefaults::persistentDomain(QString::fromLatin1(AppPaths::legacyApplicationId))
                             .value_or(QVariantMap());
    values.insert(SettingsKeys::migratedFromAmbrybox, true);
    defaults.setValues(values);
}

} // namespace LegacyMigration
