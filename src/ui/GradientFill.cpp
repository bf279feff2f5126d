#include "GradientFill.h"

#include <QLinearGradient>
#include <QPainter>

GradientFill::GradientFill(QQuickItem *parent) : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
}

void GradientFill::setStops(const QVariantList &stops)
{
    if (stops == m_stops)
        return;
    m_stops = stops;
    update();
    Q_EMIT stopsChanged();
}

void GradientFill::setRadius(qreal radius)
{
    if (qFuzzyCompare(radius, m_radius))
        return;
    m_radius = radius;
    update();
    Q_EMIT radiusChanged();
}

void GradientFill::geometryChange(const QRectF &newGeometry, const QRectF &oldGeometry)
{
    QQuickPaintedItem::geometryChange(newGeometry, oldGeometry);
    if (newGeometry.size() != oldGeometry.size())
        update();
}

void GradientFill::paint(QPainter *painter)
{
    if (m_stops.isEmpty() || width() <= 0 || height() <= 0)
        return;
    QLinearGradient gradient(0, 0, width(), height());
    gradient.setColorAt(0, m_stops.first().value<QColor>());
    gradient.setColorAt(1, m_stops.last().value<QColor>());
    const qreal radius = std::clamp(m_radius, 0.0, std::min(width(), height()) / 2);
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(gradient);
    painter->drawRoundedRect(QRectF(0, 0, width(), height()), radius, radius);
}
