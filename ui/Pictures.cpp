#include "ui/Pictures.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace ui {

namespace {

const QColor kDeepBlue(18, 52, 102);
const QColor kBlue(36, 104, 178);
const QColor kOrange(245, 146, 32);

// A pixmap of width x height device-independent pixels, with dpr device pixels to each; a
// painter on it draws in device-independent pixels.
QPixmap Canvas(int width, int height, qreal dpr) {
    QPixmap pixmap(QSize(width, height) * dpr);
    pixmap.setDevicePixelRatio(dpr);
    return pixmap;
}

QPixmap Transparent(int width, int height, qreal dpr) {
    QPixmap pixmap = Canvas(width, height, dpr);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

}  // namespace

QPixmap Banner(int width, int height, qreal dpr) {
    QPixmap pixmap = Canvas(width, height, dpr);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, width, height);
    sky.setColorAt(0.0, kDeepBlue);
    sky.setColorAt(1.0, kBlue);
    p.fillRect(QRect(0, 0, width, height), sky);
    // A few soft film-strip bands give the banner some depth without drawing attention.
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 4; ++i) {
        QColor band(255, 255, 255, 18 + i * 6);
        p.setBrush(band);
        QPainterPath path;
        const double x = width * (0.45 + 0.13 * i);
        path.moveTo(x, height);
        path.cubicTo(x + 40, height * 0.4, x + 80, height * 0.2, x + 160, 0);
        path.lineTo(x + 190, 0);
        path.cubicTo(x + 110, height * 0.3, x + 70, height * 0.6, x + 30, height);
        path.closeSubpath();
        p.drawPath(path);
    }
    p.setPen(QColor(255, 255, 255, 60));
    p.drawLine(0, height - 1, width, height - 1);
    return pixmap;
}

QPixmap ProgramPicture(int size, qreal dpr) {
    QPixmap pixmap = Transparent(size, size, dpr);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size / 64.0;
    // Film frame
    QLinearGradient body(0, 0, 0, size);
    body.setColorAt(0.0, kBlue.lighter(120));
    body.setColorAt(1.0, kDeepBlue);
    p.setBrush(body);
    p.setPen(QPen(kDeepBlue.darker(140), 1.5 * s));
    p.drawRoundedRect(QRectF(6 * s, 6 * s, 52 * s, 44 * s), 6 * s, 6 * s);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 170));
    for (int i = 0; i < 5; ++i) {
        p.drawRoundedRect(QRectF((11 + i * 9.5) * s, 9 * s, 5 * s, 4 * s), 1 * s, 1 * s);
        p.drawRoundedRect(QRectF((11 + i * 9.5) * s, 43 * s, 5 * s, 4 * s), 1 * s, 1 * s);
    }
    // Download arrow
    p.setBrush(kOrange);
    p.setPen(QPen(Qt::white, 2 * s));
    QPolygonF arrow;
    arrow << QPointF(26 * s, 16 * s) << QPointF(38 * s, 16 * s) << QPointF(38 * s, 34 * s)
          << QPointF(47 * s, 34 * s) << QPointF(32 * s, 52 * s) << QPointF(17 * s, 34 * s)
          << QPointF(26 * s, 34 * s);
    p.drawPolygon(arrow);
    // Tray
    p.setPen(QPen(kOrange.darker(110), 4 * s, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(14 * s, 58 * s), QPointF(50 * s, 58 * s));
    return pixmap;
}

QIcon ProgramIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addPixmap(ProgramPicture(size));
    }
    return icon;
}

QPixmap UpdateGlyph(int size, qreal dpr) {
    QPixmap pixmap = Transparent(size, size, dpr);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size / 16.0;
    p.setPen(QPen(Qt::white, 2 * s, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(2.5 * s, 2.5 * s, 11 * s, 11 * s), 60 * 16, 290 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    QPolygonF head;
    head << QPointF(9 * s, 0.5 * s) << QPointF(13.5 * s, 3 * s) << QPointF(9 * s, 6 * s);
    p.drawPolygon(head);
    return pixmap;
}

QPixmap MenuGlyph(int size, qreal dpr) {
    QPixmap pixmap = Transparent(size, size, dpr);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size / 16.0;
    p.setPen(Qt::NoPen);
    p.setBrush(kBlue);
    p.drawRoundedRect(QRectF(0.5 * s, 0.5 * s, 15 * s, 15 * s), 3 * s, 3 * s);
    p.setBrush(Qt::white);
    for (int i = 0; i < 3; ++i) {
        p.drawRoundedRect(QRectF(3.5 * s, (4 + i * 3) * s, 9 * s, 1.6 * s), 0.8 * s, 0.8 * s);
    }
    return pixmap;
}

}  // namespace ui
