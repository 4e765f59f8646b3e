// Drive slots and yellow folders.
#include "controls/Pictures.h"

#include <QPainter>
#include <QPainterPath>

#include <map>

namespace {

QPixmap drawDrive(DriveKind kind) {
    QPixmap p(16, 11);
    p.fill(Qt::transparent);
    QPainter g(&p);
    const QColor edge(64, 64, 64);
    switch (kind) {
    case DriveKind::Floppy: // a removable stick
        g.fillRect(1, 3, 12, 6, QColor(90, 110, 170));
        g.fillRect(13, 4, 2, 4, QColor(200, 200, 200));
        g.setPen(edge);
        g.drawRect(1, 3, 12, 5);
        break;
    case DriveKind::Hard:
    case DriveKind::Network:
    case DriveKind::Ram:
        g.fillRect(0, 2, 16, 7, QColor(200, 200, 200));
        g.setPen(edge);
        g.drawRect(0, 2, 15, 6);
        g.fillRect(2, 5, 5, 2, kind == DriveKind::Ram ? QColor(0, 150, 0) : QColor(40, 40, 40));
        g.fillRect(12, 5, 2, 2, QColor(0, 200, 0)); // the light
        if (kind == DriveKind::Network) {
            g.setPen(QColor(0, 90, 200));
            g.drawLine(7, 9, 7, 10);
            g.drawLine(3, 10, 12, 10);
        }
        if (kind == DriveKind::Ram) {
            g.setPen(QColor(200, 160, 0));
            for (int x = 2; x < 14; x += 3)
                g.drawLine(x, 9, x, 10);
        }
        break;
    case DriveKind::CdRom:
        g.setRenderHint(QPainter::Antialiasing);
        g.setBrush(QColor(215, 215, 230));
        g.setPen(edge);
        g.drawEllipse(QPointF(8, 5.5), 5, 5);
        g.setBrush(Qt::white);
        g.drawEllipse(QPointF(8, 5.5), 1.5, 1.5);
        break;
    }
    return p;
}

QPixmap drawFolder(FolderKind kind) {
    QPixmap p(16, 15);
    p.fill(Qt::transparent);
    QPainter g(&p);
    const QColor body(240, 200, 70), dark(150, 110, 20), front(255, 225, 120);
    g.setPen(dark);
    g.setBrush(body);
    g.drawRect(1, 3, 5, 2);  // the tab
    g.drawRect(1, 4, 13, 9); // the back
    if (kind == FolderKind::Closed)
        return p;
    // An open folder: the front leaf tilted forward.
    QPainterPath leaf;
    leaf.moveTo(3, 7);
    leaf.lineTo(15, 7);
    leaf.lineTo(13, 13);
    leaf.lineTo(1, 13);
    leaf.closeSubpath();
    g.setBrush(kind == FolderKind::Current ? QColor(255, 240, 170) : front);
    g.drawPath(leaf);
    if (kind == FolderKind::Current) {
        g.setPen(QColor(30, 80, 180));
        g.drawLine(6, 10, 10, 10); // the one in use is marked
    }
    return p;
}

} // namespace

const QPixmap &drivePicture(DriveKind kind) {
    static std::map<DriveKind, QPixmap> cache;
    auto it = cache.find(kind);
    if (it == cache.end())
        it = cache.emplace(kind, drawDrive(kind)).first;
    return it->second;
}

const QPixmap &folderPicture(FolderKind kind) {
    static std::map<FolderKind, QPixmap> cache;
    auto it = cache.find(kind);
    if (it == cache.end())
        it = cache.emplace(kind, drawFolder(kind)).first;
    return it->second;
}
