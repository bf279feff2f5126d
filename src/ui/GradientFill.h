#pragma once

#include <QQuickPaintedItem>
#include <QtQmlIntegration>

// A rounded rectangle filled with one of the Theme gradients, top-leading to bottom-trailing.
// Painted with QPainter, so it draws the same with every scene-graph backend (the Shapes module's
// software renderer can crash when a shape re-enters a window, as sheets do when reopened).
class GradientFill : public QQuickPaintedItem
{
    Q_OBJECT
    QML_ELEMENT
    // Two colours: where the gradient starts and where it ends.
    Q_PROPERTY(QVariantList stops READ stops WRITE setStops NOTIFY stopsChanged)
    Q_PROPERTY(qreal radius READ radius WRITE setRadius NOTIFY radiusChanged)

public:
    explicit GradientFill(QQuickItem *parent = nullptr);

    [[nodiscard]] QVariantList stops() const { return m_stops; }
    void setStops(const QVariantList &stops);
    [[nodiscard]] qreal radius() const { return m_radius; }
    void setRadius(qreal radius);

    void paint(QPainter *painter) override;

Q_SIGNALS:
    void stopsChanged();
    void radiusChanged();

protected:
    void geometryChange(const QRectF &newGeometry, const QRectF &oldGeometry) override;

private:
    QVariantList m_stops;
    qreal m_radius = 0;
};
