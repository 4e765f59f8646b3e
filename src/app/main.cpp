// The program's entry: the application and its one window.
#include <QApplication>
#include <QWidget>

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Kestrune v0.3");
    QWidget window;
    window.setWindowTitle("Kestrune v0.3");
    window.resize(352, 152);
    window.show();
    return QApplication::exec();
}
