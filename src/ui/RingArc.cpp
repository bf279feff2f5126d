#include "RingArc.h"

#include <QPainter>

RingArc::RingArc(QQuickItem *parent) : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
}

template <typename T>
void RingArc::assign(T &member, const T &value)
{
    if (member == value)
        return;
    member = value;
    update();
    Q_EMIT changed();
}

void RingArc::setFraction(qreal fraction)
{
    assign(m_fraction, fraction);
}

void RingArc::setThickness(qreal thickness)
{
    assign(m_thickness, thickness);
}

void RingArc::setColor(const QColor &color)
{
    assign(m_color, color);
}

void RingArc::setTrack(const QColor &track)
{
    assign(m_track, track);
}

void RingArc::geometryChange(const QRectF &newGeometry, const QRectF &oldGeometry)
{
    QQuickPaintedItem::geometryChange(newGeometry, oldGeometry);
    if (newGeometry.size() != oldGeometry.size())
        update();
}

void RingArc::paint(QPainter *painter)
{
    const qreal side = std::min(width(), height());
    if (side <= m_thickness)
        return;
    const qreal inset = m_thickness / 2;
    const QRectF ring((width() - side) / 2 + inset, (height() - side) / 2 + inset, side - m_thickness,
                      side - m_thickness);
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setBrush(Qt::NoBrush);
    painter->setPen(QPen(m_track, m_thickness));
    painter->drawEllipse(ring);
    QPen arc(m_color, m_thickness);
    arc.setCapStyle(Qt::RoundCap);
    painter->setPen(arc);
    // Angles in sixteenths of a degree, counter-clockwise from three o'clock.
    painter->drawArc(ring, 90 * 16, -qRound(std::clamp(m_fraction, 0.0, 1.0) * 360 * 16));
}
