// Writes the program's icon, drawn by the program itself, into a hicolor
// icon theme at the usual sizes: FOLDER/NxN/apps/org.kestrune.Kestrune.png.
// Usage: make_icons FOLDER
#include "app/Artwork.h"

#include <QDir>
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_icons FOLDER\n");
        return 2;
    }
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString folder =
            QString("%1/%2x%2/apps").arg(QString::fromLocal8Bit(argv[1])).arg(size);
        QDir().mkpath(folder);
        if (!iconPicture(size).save(folder + "/org.kestrune.Kestrune.png")) {
            std::fprintf(stderr, "make_icons: %s cannot be written\n", qPrintable(folder));
            return 1;
        }
    }
    return 0;
}
