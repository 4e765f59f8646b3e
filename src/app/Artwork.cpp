// Title picture: a dark gradient with a staff of notes turning into a wave.
// Icon: a note over a waveform.
#include "app/Artwork.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace {

void drawNote(QPainter &p, QPointF head, double size, const QColor &colour) {
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.save();
    p.translate(head);
    p.rotate(-20);
    p.drawEllipse(QPointF(0, 0), size * 0.62, size * 0.42);
    p.restore();
    p.setPen(QPen(colour, std::max(1.0, size * 0.14)));
    p.drawLine(QPointF(head.x() + size * 0.55, head.y() - size * 0.1),
               QPointF(head.x() + size * 0.55, head.y() - size * 2.6));
}

} // namespace

QPixmap titlePicture(QSize size) {
    QPixmap picture(size);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    // Drawn on the 350 × 150 design and scaled with the window's layout.
    p.scale(size.width() / 350.0, size.height() / 150.0);
    QLinearGradient sky(0, 0, 0, 150);
    sky.setColorAt(0, QColor(250, 248, 236));
    sky.setColorAt(1, QColor(214, 228, 242));
    p.fillRect(QRect(0, 0, 350, 150), sky);

    // Along the bottom, below the two buttons: a staff whose lines run into
    // a sound wave, with three notes on it.
    const QColor line(70, 100, 140, 140);
    for (int i = 0; i < 5; ++i) {
        const double y = 124 + i * 4.5;
        QPainterPath path(QPointF(12, y));
        path.lineTo(140, y);
        for (int x = 140; x <= 338; x += 2) {
            const double fade = (x - 140) / 198.0;
            path.lineTo(x, y + std::sin((x - 140) / 8.0 + i * 0.7) * 5 * fade);
        }
        p.setPen(QPen(line, 1));
        p.setBrush(Qt::NoBrush);
        p.drawPath(path);
    }
    const QColor ink(30, 50, 90);
    drawNote(p, {44, 137.5}, 3.6, ink);
    drawNote(p, {70, 133}, 3.6, ink);
    drawNote(p, {96, 128.5}, 3.6, ink);

    QFont name(QStringList{"Liberation Sans", "Arial", "sans-serif"});
    name.setPixelSize(40);
    name.setBold(true);
    p.setFont(name);
    p.setPen(QColor(200, 205, 215));
    p.drawText(QRect(2, 10, 350, 50), Qt::AlignCenter, "Kestrune");
    p.setPen(ink);
    p.drawText(QRect(0, 8, 350, 50), Qt::AlignCenter, "Kestrune");
    QFont subtitle = name;
    subtitle.setPixelSize(12);
    subtitle.setBold(false);
    p.setFont(subtitle);
    p.setPen(QColor(60, 80, 110));
    p.drawText(QRect(0, 56, 350, 20), Qt::AlignCenter, "MIDI to WAVE Synchronize Recording   v0.3");
    return picture;
}

QIcon programIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(iconPicture(size));
    return icon;
}

QPixmap iconPicture(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size / 32.0;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(30, 60, 110));
    p.drawRoundedRect(QRectF(1 * s, 1 * s, 30 * s, 30 * s), 6 * s, 6 * s);
    QPainterPath wave(QPointF(4 * s, 22 * s));
    for (double x = 4; x <= 28; x += 0.5)
        wave.lineTo(x * s, (22 + std::sin((x - 4) / 2.2) * 4) * s);
    p.setPen(QPen(QColor(120, 200, 255), std::max(1.0, 1.6 * s)));
    p.setBrush(Qt::NoBrush);
    p.drawPath(wave);
    drawNote(p, {13 * s, 15 * s}, 5 * s, QColor(255, 214, 90));
    p.end();
    return pixmap;
}
