// Writes PNG images of the title screen, of the recording screen in each of
// its states, and of kestrune-devices' window (offscreen grabs) into the
// folder given as the argument.
#include "app/Application.h"
#include "app/MainWindow.h"
#include "devices/DevicesWindow.h"

#include <QAbstractItemView>
#include <QDir>
#include <QFile>
#include <QTest>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    TApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString("screenshots");
    QDir().mkpath(folder);
    auto save = [&](const QString &name) {
        QCoreApplication::processEvents();
        const QString path = QDir(folder).filePath(name + ".png");
        F1->grab().save(path);
        std::printf("%s\n", qPrintable(path));
    };

    MainWindow window;
    window.show();
    save("title");
    window.Mode_Record();
    const char *song = "/usr/share/games/openttd/baseset/openmsx/busy_schedule.mid";
    const char *names[] = {"state0-no-file", "state1-standby", "state2-recording",
                           "state3-directory", "state4-encoding"};
    for (unsigned state = 0; state < 5; ++state) {
        if (state == 1 || state == 2) {
            window.MP_MIDI->FileName = song;
            window.Gauge_Progress->setProgress(state == 2 ? 45 : 0);
        }
        window.ModeSet(state);
        save(names[state]);
        if (state == 3) {
            // The drive list, dropped down.
            window.Drive_CB->showPopup();
            QCoreApplication::processEvents();
            const QString path = QDir(folder).filePath("state3-drive-list.png");
            window.Drive_CB->view()->window()->grab().save(path);
            std::printf("%s\n", qPrintable(path));
            window.Drive_CB->hidePopup();
        }
        window.ModeSet(state == 3 ? 1 : state); // back from the chooser as its buttons do
    }

    // kestrune-devices, on a devices.ini that names a backend it does not know.
    const QString devices = QDir(folder).filePath("devices.ini");
    QFile file(devices);
    if (file.open(QIODevice::WriteOnly))
        file.write("[Synth]\nSoundFont=/usr/share/sounds/sf2/TimGM6mb.sf2\n[Output]\n"
                   "Backend=oss\nVolume=80\n[Sequencer]\nOutput=jack\nPort=fluidsynth:midi_00\n"
                   "[WaveIn]\nInput=jack\nDevice=fluidsynth:left,fluidsynth:right\nOffset=278\n");
    file.close();
    DevicesWindow panel(devices.toStdString());
    panel.show();
    QCoreApplication::processEvents();
    const QString path = QDir(folder).filePath("kestrune-devices.png");
    panel.grab().save(path);
    std::printf("%s\n", qPrintable(path));
    QFile::remove(devices);
    return 0;
}
