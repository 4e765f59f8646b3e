// kestrune-devices' entry: the devices window on the program's devices.ini.
#include "devices/DevicesWindow.h"
#include "platform/Paths.h"

#include <QApplication>

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("kestrune-devices");
    QApplication::setApplicationDisplayName("Kestrune Devices");
    DevicesWindow window(paths::devicesFile());
    window.show();
    return QApplication::exec();
}
