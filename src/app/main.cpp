// The program's entry: the application, its one window, the message loop.
#include "app/Application.h"
#include "app/U1.h"

#include <cstdlib>

int main(int argc, char **argv) {
    // Wayland lets no program place its own window; the screens rely on
    // that, so under XWayland the program asks for Qt's X11 platform.
    if (!std::getenv("QT_QPA_PLATFORM") && std::getenv("DISPLAY"))
        setenv("QT_QPA_PLATFORM", "xcb", 1);
    TApplication app(argc, argv);
    app.InstallQuitSignals();
    auto *window = new TF1;
    window->show();
    const int code = TApplication::exec();
    delete window;
    return code;
}
