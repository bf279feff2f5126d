#include "VaultRules.h"

#include "platform/PathNames.h"

#include <QFileInfo>
#include <QTextBoundaryFinder>

namespace VaultRules {

namespace {

bool isLineBreak(char32_t c)
{
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// Space separators and the tab.
bool isNameWhitespace(char32_t c)
{
    return c == 0x09 || QChar::category(c) == QChar::Separator_Space;
}

template <typename Predicate>
QString trimmed(const QString &text, Predicate isTrimmed)
{
    const QList<uint> codePoints = text.toUcs4();
    qsizetype begin = 0;
    qsizetype end = codePoints.size();
    while (begin < end && isTrimmed(codePoints[begin]))
        ++begin;
    while (end > begin && isTrimmed(codePoints[end - 1]))
        --end;
    const QList<uint> kept = codePoints.mid(begin, end - begin);
    return QString::fromUcs4(reinterpret_cast<const char32_t *>(kept.constData()), kept.size());
}

} // namespace

QString nameCollisionMessage(const QString &name)
{
    return QStringLiteral("A vault named “%1” already exists in that folder.").arg(name);
}

QString trimmedName(const QString &name)
{
    return trimmed(name, isNameWhitespace);
}

QString trimmedHint(const QString &hint)
{
    return trimmed(hint, [](char32_t c) {
        return isNameWhitespace(c) || isLineBreak(c) || QChar::category(c) == QChar::Separator_Line ||
               QChar::category(c) == QChar::Separator_Paragraph;
    });
}

qsizetype characterCount(const QString &text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() != -1)
        ++count;
    return count;
}

bool textEquals(const QString &a, const QString &b)
{
    return a == b || a.normalized(QString::NormalizationForm_C) == b.normalized(QString::NormalizationForm_C);
}

bool nameHasForbiddenCharacters(const QString &name)
{
    return name.contains(QLatin1Char('/')) || name.contains(QLatin1Char(':'));
}

bool nameCollides(const QString &folder, const QString &trimmedName)
{
    const QString stem = folder + QLatin1Char('/') + trimmedName;
    return pathIsTaken(stem + QStringLiteral(".sparsebundle")) ||
           pathIsTaken(stem + QStringLiteral(".nosync"));
}

std::optional<QString> normalizedPasswordHint(const QString &hint)
{
    const QString result = trimmedHint(hint);
    if (result.isEmpty())
        return std::nullopt;
    return result;
}

std::optional<QString> passwordHintValidationMessage(const QString &hint, const QString &password)
{
    const QString result = trimmedHint(hint);
    if (result.isEmpty())
        return std::nullopt;
    if (characterCount(result) > maximumHintLength)
        return hintTooLongMessage;
    if (!password.isEmpty() && textEquals(password, result))
        return hintEqualsPasswordMessage;
    return std::nullopt;
}

std::optional<QString> createValidationMessage(const QString &name, const QString &password,
                                               const QString &confirmation, const QString &hint)
{
    const QString trimmed = trimmedName(name);
    if (trimmed.isEmpty())
        return std::nullopt;
    if (nameHasForbiddenCharacters(trimmed))
        return nameCharactersMessage;
    if (!password.isEmpty() && characterCount(password) < minimumPasswordLength)
        return passwordTooShortMessage;
    if (!confirmation.isEmpty() && !textEquals(confirmation, password))
        return passwordsDontMatchMessage;
    return passwordHintValidationMessage(hint, password);
}

bool canCreate(const QString &name, const QString &password, const QString &confirmation, const QString &hint,
               qint64 sizeMB, bool creating)
{
    return !trimmedName(name).isEmpty() && characterCount(password) >= minimumPasswordLength &&
           textEquals(password, confirmation) && sizeMB >= smallestSizeMB && !creating &&
           !createValidationMessage(name, password, confirmation, hint);
}

bool canChange(const QString &currentPassword, const QString &newPassword, const QString &confirmation,
               const QString &hint, bool changing)
{
    return !currentPassword.isEmpty() && characterCount(newPassword) >= minimumPasswordLength &&
           textEquals(newPassword, confirmation) && !changing &&
           !passwordHintValidationMessage(hint, newPassword);
}

bool canRename(const QString &newName, const QString &currentName, const QString &password, bool renaming)
{
    const QString trimmed = trimmedName(newName);
    return !trimmed.isEmpty() && !textEquals(trimmed, currentName) && !nameHasForbiddenCharacters(trimmed) &&
           !password.isEmpty() && !renaming;
}

bool canResize(const QString &password, qint64 newSizeMB, qint64 currentSizeMB, bool resizing)
{
    return !password.isEmpty() && !resizing && newSizeMB != currentSizeMB;
}

bool canSubmitPassword(const QString &password, bool running)
{
    return !password.isEmpty() && !running;
}

qint64 resizeMinimumMB(std::optional<qint64> sizeOnDiskBytes)
{
    const qint64 bytes = std::max<qint64>(sizeOnDiskBytes.value_or(0), 0);
    constexpr qint64 megabyte = 1024 * 1024;
    return std::max(smallestSizeMB, (bytes + megabyte - 1) / megabyte);
}

SizeRange sizeEntryRange(bool unitGB, qint64 minimumMB)
{
    SizeRange range =
        unitGB ? SizeRange{std::max<qint64>((minimumMB + megabytesPerGigabyte - 1) / megabytesPerGigabyte, 1),
                           largestEntryGB}
               : SizeRange{std::max(minimumMB, smallestSizeMB), largestEntryMB};
    if (range.lower > range.upper)
        range.upper = range.lower;
    return range;
}

qint64 sizeEntryStep(bool unitGB)
{
    return unitGB ? 1 : entryStepMB;
}

qint64 clampSizeEntry(qint64 value, bool unitGB, qint64 minimumMB)
{
    const SizeRange range = sizeEntryRange(unitGB, minimumMB);
    return std::clamp(value, range.lower, range.upper);
}

qint64 convertSizeEntry(qint64 value, bool toGB)
{
    if (toGB)
        return value >= megabytesPerGigabyte ? value / megabytesPerGigabyte : 1;
    return std::min(value * megabytesPerGigabyte, largestEntryMB);
}

qint64 sizeEntryMegabytes(qint64 value, bool unitGB)
{
    return unitGB ? value * megabytesPerGigabyte : value;
}

} // namespace VaultRules
