#include "Plist.h"

#include <QDateTime>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

namespace Plist {

namespace {

// Deeper documents are refused instead of exhausting the stack.
constexpr int maximumDepth = 128;

class Reader
{
public:
    explicit Reader(const QByteArray &xml) : m_xml(xml) {}

    std::optional<QVariant> document()
    {
        if (!nextElement() || m_xml.name() != QLatin1String("plist"))
            return std::nullopt;
        if (!nextElement())
            return std::nullopt;
        std::optional<QVariant> root = value(0);
        if (!root)
            return std::nullopt;
        // Only the closing </plist> and the end of the document may follow.
        while (!m_xml.atEnd()) {
            m_xml.readNext();
            if (m_xml.isStartElement() || m_xml.hasError())
                return std::nullopt;
        }
        return root;
    }

private:
    // Moves to the next start element; false at an end element, the end or an error.
    bool nextElement()
    {
        while (!m_xml.atEnd()) {
            m_xml.readNext();
            if (m_xml.isStartElement())
                return true;
            if (m_xml.isEndElement())
                return false;
        }
        return false;
    }

    std::optional<QString> text()
    {
        const QString content = m_xml.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
        if (m_xml.hasError())
            return std::nullopt;
        return content;
    }

    // Reads the element the reader stands on, including its end tag.
    std::optional<QVariant> value(int depth)
    {
        if (depth > maximumDepth)
            return std::nullopt;
        const QStringView name = m_xml.name();
        if (name == QLatin1String("dict"))
            return dictionary(depth);
        if (name == QLatin1String("array"))
            return array(depth);
        if (name == QLatin1String("true") || name == QLatin1String("false")) {
            const bool flag = name == QLatin1String("true");
            if (!text())
                return std::nullopt;
            return QVariant(flag);
        }
        const QString kind = name.toString();
        const std::optional<QString> content = text();
        if (!content)
            return std::nullopt;
        bool ok = false;
        if (kind == QLatin1String("string"))
            return QVariant(*content);
        if (kind == QLatin1String("integer")) {
            const qint64 number = content->trimmed().toLongLong(&ok);
            return ok ? std::optional<QVariant>(number) : std::nullopt;
        }
        if (kind == QLatin1String("real")) {
            const double number = content->trimmed().toDouble(&ok);
            return ok ? std::optional<QVariant>(number) : std::nullopt;
        }
        if (kind == QLatin1String("data"))
            return QVariant(
                QByteArray::fromBase64(content->toLatin1(), QByteArray::IgnoreBase64DecodingErrors));
        if (kind == QLatin1String("date")) {
            const QDateTime date = QDateTime::fromString(content->trimmed(), Qt::ISODate);
            return date.isValid() ? std::optional<QVariant>(date) : std::nullopt;
        }
        return std::nullopt;
    }

    std::optional<QVariant> dictionary(int depth)
    {
        QVariantMap map;
        while (nextElement()) {
            if (m_xml.name() != QLatin1String("key"))
                return std::nullopt;
            const std::optional<QString> key = text();
            if (!key || !nextElement())
                return std::nullopt;
            std::optional<QVariant> element = value(depth + 1);
            if (!element)
                return std::nullopt;
            map.insert(*key, *element);
        }
        if (m_xml.hasError() || !m_xml.isEndElement())
            return std::nullopt;
        return QVariant(map);
    }

    std::optional<QVariant> array(int depth)
    {
        QVariantList list;
        while (nextElement()) {
            std::optional<QVariant> element = value(depth + 1);
            if (!element)
                return std::nullopt;
            list.append(*element);
        }
        if (m_xml.hasError() || !m_xml.isEndElement())
            return std::nullopt;
        return QVariant(list);
    }

    QXmlStreamReader m_xml;
};

void write(QXmlStreamWriter &xml, const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::QVariantMap: {
        xml.writeStartElement(QStringLiteral("dict"));
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            xml.writeTextElement(QStringLiteral("key"), it.key());
            write(xml, it.value());
        }
        xml.writeEndElement();
        break;
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        xml.writeStartElement(QStringLiteral("array"));
        for (const QVariant &element : value.toList())
            write(xml, element);
        xml.writeEndElement();
        break;
    }
    case QMetaType::Bool:
        xml.writeEmptyElement(value.toBool() ? QStringLiteral("true") : QStringLiteral("false"));
        break;
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        xml.writeTextElement(QStringLiteral("integer"), QString::number(value.toLongLong()));
        break;
    case QMetaType::Double:
        xml.writeTextElement(QStringLiteral("real"), QString::number(value.toDouble(), 'g', 17));
        break;
    case QMetaType::QByteArray:
        xml.writeTextElement(QStringLiteral("data"), QString::fromLatin1(value.toByteArray().toBase64()));
        break;
    case QMetaType::QDateTime:
        xml.writeTextElement(QStringLiteral("date"), value.toDateTime().toUTC().toString(Qt::ISODate));
        break;
    default:
        xml.writeTextElement(QStringLiteral("string"), value.toString());
        break;
    }
}

} // namespace

std::optional<QVariant> parse(const QByteArray &xml)
{
    return Reader(xml).document();
}

QByteArray serialize(const QVariant &root)
{
    QByteArray out;
    QXmlStreamWriter xml(&out);
    xml.setAutoFormatting(true);
    xml.setAutoFormattingIndent(-1);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("plist"));
    xml.writeAttribute(QStringLiteral("version"), QStringLiteral("1.0"));
    write(xml, root);
    xml.writeEndElement();
    xml.writeEndDocument();
    return out;
}

} // namespace Plist
