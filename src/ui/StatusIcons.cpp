#include "ui/StatusIcons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <array>

namespace quillet {

namespace {

const QColor outline(28, 28, 30);
const QColor boltOn(255, 196, 0);
const QColor boltOff(200, 200, 204);
const QColor badge(255, 105, 0);

// A lightning bolt in a 24 × 24 box.
QPainterPath boltPath() {
    static const std::array<QPointF, 7> points{
        QPointF(14.5, 1.5), QPointF(4.0, 13.5), QPointF(11.0, 13.5), QPointF(9.0, 22.5),
        QPointF(20.0, 9.5), QPointF(13.0, 9.5), QPointF(16.0, 1.5)};
    QPainterPath path;
    path.moveTo(points[0]);
    for (std::size_t i = 1; i < points.size(); ++i)
        path.lineTo(points[i]);
    path.closeSubpath();
    return path;
}

// At panel sizes the outline stays one device pixel wide, so the fill keeps most of the shape.
double outlineWidth(int size) {
    return size <= 24 ? 24.0 / size : 1.6;
}

void drawBolt(QPainter &painter, const QColor &fill, int size) {
    painter.setPen(QPen(outline, outlineWidth(size), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(fill);
    painter.drawPath(boltPath());
}

void drawSlash(QPainter &painter) {
    // A dark bar with a light core, so it crosses the bolt visibly on any background.
    const QLineF slash(QPointF(3.5, 3.5), QPointF(20.5, 20.5));
    painter.setPen(QPen(outline, 4.0, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(slash);
    painter.setPen(QPen(boltOff, 1.6, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(slash);
}

void drawClockBadge(QPainter &painter) {
    const QPointF centre(17.0, 17.0);
    painter.setPen(QPen(outline, 1.4));
    painter.setBrush(badge);
    painter.drawEllipse(centre, 6.3, 6.3);
    painter.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(centre, centre + QPointF(0.0, -3.8));
    painter.drawLine(centre, centre + QPointF(2.8, 0.0));
}

} // namespace

StatusIcons::State StatusIcons::stateFor(bool engineRunning, qsizetype monitoredPanes,
                                         qsizetype pendingQuestions) {
    if (!engineRunning || monitoredPanes == 0)
        return State::inactive;
    return pendingQuestions > 0 ? State::waiting : State::monitoring;
}

QImage StatusIcons::render(State state, int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 24.0, size / 24.0);
    switch (state) {
    case State::inactive:
        drawBolt(painter, boltOff, size);
        drawSlash(painter);
        break;
    case State::monitoring:
        drawBolt(painter, boltOn, size);
        break;
    case State::waiting:
        drawBolt(painter, boltOn, size);
        drawClockBadge(painter);
        break;
    }
    return image;
}

QIcon StatusIcons::icon(State state) {
    QIcon icon;
    for (int size : {16, 20, 22, 24, 32, 48, 64})
        icon.addPixmap(QPixmap::fromImage(render(state, size)));
    return icon;
}

} // namespace quillet

namespace quillet {

QIcon StatusIcons::projectDot(bool running) {
    QIcon icon;
    for (int size : {12, 16, 24, 32}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF box =
            QRectF(0, 0, size, size).adjusted(size * 0.2, size * 0.2, -size * 0.2, -size * 0.2);
        if (running) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor(40, 180, 70));
        } else {
            painter.setPen(QPen(QColor(142, 142, 147), qMax(1.0, size / 12.0)));
            painter.setBrush(Qt::NoBrush);
        }
        painter.drawEllipse(box);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QIcon StatusIcons::device(bool phone) {
    const QIcon themed =
        QIcon::fromTheme(phone ? QStringLiteral("phone") : QStringLiteral("computer"));
    if (!themed.isNull())
        return themed;
    QIcon icon;
    for (int size : {16, 24, 32}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(size / 16.0, size / 16.0);
        painter.setPen(QPen(QColor(110, 110, 115), 1.2));
        painter.setBrush(Qt::NoBrush);
        if (phone) {
            painter.drawRoundedRect(QRectF(4.5, 1.5, 7, 13), 1.5, 1.5);
            painter.drawLine(QPointF(7, 12.5), QPointF(9, 12.5));
        } else {
            painter.drawRoundedRect(QRectF(1.5, 2.5, 13, 8.5), 1, 1);
            painter.drawLine(QPointF(8, 11), QPointF(8, 13.5));
            painter.drawLine(QPointF(5, 13.5), QPointF(11, 13.5));
        }
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace quillet
