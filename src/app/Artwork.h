// The program's artwork, drawn in code so that it is made the same way on
// every build: the title picture and the window icon.
#pragma once

#include <QIcon>
#include <QPixmap>

/// The program's name and version, 350 × 150 as designed (drawn at `size`).
QPixmap titlePicture(QSize size = QSize(350, 150));
/// The window icon in the usual sizes.
QIcon programIcon();
/// The icon drawn at `size` × `size` pixels.
QPixmap iconPicture(int size);
