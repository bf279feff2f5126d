#pragma once

#include <QString>

#include <optional>

// What a user may type for a vault's name, password, hint and size limit, and the words shown when
// it is not acceptable. Pure functions; none of them fails.
namespace VaultRules {

inline constexpr qsizetype minimumPasswordLength = 6;
inline constexpr qsizetype maximumHintLength = 120;
inline constexpr qint64 smallestSizeMB = 16;
inline constexpr qint64 proposedSizeMB = 10240;
inline constexpr qint64 largestEntryMB = 4096;
inline constexpr qint64 largestEntryGB = 4000;
inline constexpr qint64 entryStepMB = 16;
inline constexpr qint64 megabytesPerGigabyte = 1024;

inline const QString nameCharactersMessage = QStringLiteral("The name can’t contain “/” or “:”.");
inline const QString passwordTooShortMessage = QStringLiteral("Password must be at least 6 characters.");
inline const QString passwordsDontMatchMessage = QStringLiteral("Passwords don’t match.");
inline const QString hintTooLongMessage = QStringLiteral("Password hint must be 120 characters or less.");
inline const QString hintEqualsPasswordMessage =
    QStringLiteral("Password hint cannot be the same as the password.");
[[nodiscard]] QString nameCollisionMessage(const QString &name);

// Removes spaces and tabs at both ends; line breaks stay.
[[nodiscard]] QString trimmedName(const QString &name);
// Removes spaces, tabs and line breaks at both ends.
[[nodiscard]] QString trimmedHint(const QString &hint);
// Length in user-perceived characters: an emoji with modifiers is one.
[[nodiscard]] qsizetype characterCount(const QString &text);
// Exact, case-sensitive equality in which canonically equivalent spellings are equal.
[[nodiscard]] bool textEquals(const QString &a, const QString &b);

[[nodiscard]] bool nameHasForbiddenCharacters(const QString &name);
// The files a new vault of this name would collide with in a folder: N.sparsebundle or N.nosync.
[[nodiscard]] bool nameCollides(const QString &folder, const QString &trimmedName);

// The hint to store for what was typed: trimmed, or nothing when that leaves it empty.
[[nodiscard]] std::optional<QString> normalizedPasswordHint(const QString &hint);
[[nodiscard]] std::optional<QString> passwordHintValidationMessage(const QString &hint,
                                                                   const QString &password);

// The one inline message of the create form, first problem first.
[[nodiscard]] std::optional<QString> createValidationMessage(const QString &name, const QString &password,
                                                             const QString &confirmation,
                                                             const QString &hint);
[[nodiscard]] bool canCreate(const QString &name, const QString &password, const QString &confirmation,
                             const QString &hint, qint64 sizeMB, bool creating);
[[nodiscard]] bool canChange(const QString &currentPassword, const QString &newPassword,
                             const QString &confirmation, const QString &hint, bool changing);
[[nodiscard]] bool canRename(const QString &newName, const QString &currentName, const QString &password,
                             bool renaming);
[[nodiscard]] bool canResize(const QString &password, qint64 newSizeMB, qint64 currentSizeMB, bool resizing);
// Unlock, verify, move to Trash and reclaim space only need a password.
[[nodiscard]] bool canSubmitPassword(const QString &password, bool running);

// Smallest limit a vault can be resized to: its recorded size on disk rounded up to whole MB, at
// least 16.
[[nodiscard]] qint64 resizeMinimumMB(std::optional<qint64> sizeOnDiskBytes);

// The size entry: a number in MB (steps of 16) or GB (steps of 1) kept inside its range.
struct SizeRange
{
    qint64 lower = 0;
    qint64 upper = 0;
};
// When the minimum lies above the top of the range, the minimum is both bounds, so no value below
// the minimum is ever allowed.
[[nodiscard]] SizeRange sizeEntryRange(bool unitGB, qint64 minimumMB);
[[nodiscard]] qint64 sizeEntryStep(bool unitGB);
[[nodiscard]] qint64 clampSizeEntry(qint64 value, bool unitGB, qint64 minimumMB);
// The entry's value after switching units, before clamping.
[[nodiscard]] qint64 convertSizeEntry(qint64 value, bool toGB);
[[nodiscard]] qint64 sizeEntryMegabytes(qint64 value, bool unitGB);

} // namespace VaultRules
