// The program's entry: the application, its texts, its one window, the
// message loop. A MIDI file named on the command line (as the desktop's
// "Open with" passes it) starts the recording screen with that file chosen;
// recordings a crash left are offered at once.
#include "app/Application.h"
#include "app/MainWindow.h"

#include <QStringList>
#include <QTimer>

#include <cstdlib>

int main(int argc, char **argv) {
    // Wayland lets no program place its own window; the screens rely on
    // that, so under XWayland the program asks for Qt's X11 platform.
    if (!std::getenv("QT_QPA_PLATFORM") && std::getenv("DISPLAY"))
        setenv("QT_QPA_PLATFORM", "xcb", 1);
    TApplication app(argc, argv);
    app.InstallTranslation();
    app.InstallQuitSignals();
    auto *window = new MainWindow;
    window->show();
    const QStringList arguments = TApplication::arguments();
    if (arguments.size() > 1)
        window->OpenFromCommandLine(arguments.at(1));
    // Recordings a crash or a power cut left, wherever they lie, are offered
    // once the window shows.
    QTimer::singleShot(0, window, [window] { window->OfferInterrupted(); });
    const int code = TApplication::exec();
    delete window;
    return code;
}
