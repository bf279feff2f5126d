#pragma once

class UserDefaults;

// Carries the preferences of the product's earlier release (its file
// $XDG_CONFIG_HOME/org.ambrybox.Ambrybox.json) over once per account.
namespace LegacyMigration {

// Copies every stored key of the earlier release unless migratedFromAmbrybox holds any value, then
// sets that flag to true, also when there was nothing to copy.
void migratePreferences(UserDefaults &defaults);

} // namespace LegacyMigration
