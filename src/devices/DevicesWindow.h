// kestrune-devices: the sound system's settings in devices.ini, the
// counterpart of the system sound panel that the program relies on. Where
// the engine is heard (backend, device by its server name, volume) and
// which SoundFont the synthesiser plays.
#pragma once

#include "platform/audio/DeviceConfig.h"
#include "platform/audio/Engine.h"

#include <QWidget>

#include <memory>
#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTimer;

class DevicesWindow : public QWidget {
    Q_OBJECT
public:
    /// Edits `file` (devices.ini), read at once.
    explicit DevicesWindow(std::string file, QWidget *parent = nullptr);
    ~DevicesWindow() override;

    /// The settings as the controls hold them.
    audio::DevicesConfig chosen() const;
    /// Writes them, all at once; false with a message in the status line
    /// when the file cannot be written.
    bool save();
    /// Plays a short chord through the chosen output, with the chosen
    /// SoundFont and volume; the status line says where, or why not.
    void test();
    /// Lists the chosen backend's devices again, asking its server.
    void listDevices();

    QComboBox *backend;
    QComboBox *device;
    QSpinBox *volume;
    QLineEdit *soundFont;
    QPushButton *chooseSoundFont;
    QPushButton *testButton;
    QPushButton *saveButton;
    QPushButton *closeButton;
    QLabel *report; // what is wrong with devices.ini as it stands
    QLabel *status; // what the last action did

private:
    void load();
    void chooseFile();
    void endTest();

    const std::string file_;
    std::string wantedDevice_; // the device devices.ini names, until listed
    std::unique_ptr<audio::Engine> testEngine_;
    std::unique_ptr<audio::EngineSource> chord_;
    QTimer *testEnd_;
};
