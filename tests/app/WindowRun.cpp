// A window recording in a process of its own, for the tests that kill one:
// the real window records the song named on the command line through a
// driven engine, advanced from the event loop, and the process ends when
// the window is back where a new song is chosen. Message boxes are answered
// OK and told on standard error.
#include "app/Application.h"
#include "app/MainWindow.h"
#include "engine/Engine.h"
#include "support/Engines.h"
#include "ui/Dialogs.h"

#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

int main(int argc, char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    TApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SONG.mid\n", argv[0]);
        return 2;
    }
    ui::setMessageBoxHook([](const ui::MessageBoxRequest &box) {
        std::fprintf(stderr, "box: %s\n", box.text.toLocal8Bit().constData());
        return QMessageBox::Ok;
    });
    MainWindow window;
    window.Sound = test::drivenSound();
    window.show();
    window.OpenFromCommandLine(QString::fromLocal8Bit(argv[1]));
    const std::shared_ptr<audio::Engine> engine = window.Sound->acquire();
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        std::lock_guard<std::mutex> guard(engine->lock());
        engine->drive(8 * audio::kPeriodFrames);
        if (window.Session->phase() == RecordingSession::Phase::Idle &&
            window.Pnl_State->caption() == "Select MIDI File")
            QCoreApplication::quit();
    });
    QTimer::singleShot(0, [&] {
        window.Btn_RecordClick();
        driver.start(0);
    });
    return TApplication::exec();
}
