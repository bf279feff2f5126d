#include "Format.h"

#include "store/Captions.h"
#include "store/Vault.h"

using namespace Qt::Literals::StringLiterals;

QString Format::limit(qint64 megabytes)
{
    return formatLimitMB(megabytes);
}

QString Format::bytes(qint64 bytes)
{
    return formatByteCount(bytes);
}

QString Format::caption(qint64 bytes, const QVariant &vault, bool unlocked)
{
    return capacityCaption(bytes, vault.value<Vault>(), unlocked);
}

QString Format::usage(qint64 bytes, const QVariant &vaultValue, bool unlocked)
{
    const Vault vault = vaultValue.value<Vault>();
    QString caption = capacityCaption(bytes, vault, unlocked);
    if (!unlocked && vault.lastOpenedAt)
        caption += u" · opened "_qs + relative(vault.lastOpenedAt->toDateTime());
    return caption;
}

QString Format::relative(const QDateTime &when, const QDateTime &now)
{
    const qint64 seconds = std::max<qint64>(0, when.secsTo(now));
    if (seconds < 60)
        return u"now"_qs;
    if (seconds < 3600)
        return u"%1 min. ago"_qs.arg(seconds / 60);
    if (seconds < 86400)
        return u"%1 hr. ago"_qs.arg(seconds / 3600);
    const qint64 days = seconds / 86400;
    if (days < 7)
        return days == 1 ? u"1 day ago"_qs : u"%1 days ago"_qs.arg(days);
    if (days < 30)
        return days < 14 ? u"1 wk. ago"_qs : u"%1 wk. ago"_qs.arg(days / 7);
    if (days < 365)
        return days < 60 ? u"1 mo. ago"_qs : u"%1 mo. ago"_qs.arg(days / 30);
    return days < 730 ? u"1 yr. ago"_qs : u"%1 yr. ago"_qs.arg(days / 365);
}
