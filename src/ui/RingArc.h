#pragma once

#include <QColor>
#include <QQuickPaintedItem>
#include <QtQmlIntegration>

// A full ring as the track and, over it, an arc from the top, clockwise, for a fraction of it.
// Painted with QPainter for the same reason as GradientFill.
class RingArc : public QQuickPaintedItem
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(qreal fraction READ fraction WRITE setFraction NOTIFY changed)
    Q_PROPERTY(qreal thickness READ thickness WRITE setThickness NOTIFY changed)
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY changed)
    Q_PROPERTY(QColor track READ track WRITE setTrack NOTIFY changed)

public:
    explicit RingArc(QQuickItem *parent = nullptr);

    [[nodiscard]] qreal fraction() const { return m_fraction; }
    void setFraction(qreal fraction);
    [[nodiscard]] qreal thickness() const { return m_thickness; }
    void setThickness(qreal thickness);
    [[nodiscard]] QColor color() const { return m_color; }
    void setColor(const QColor &color);
    [[nodiscard]] QColor track() const { return m_track; }
    void setTrack(const QColor &track);

    void paint(QPainter *painter) override;

Q_SIGNALS:
    void changed();

protected:
    void geometryChange(const QRectF &newGeometry, const QRectF &oldGeometry) override;

private:
    template <typename T>
    void assign(T &member, const T &value);

    qreal m_fraction = 0;
    qreal m_thickness = 5;
    QColor m_color;
    QColor m_track;
};
