// kestrune-devices: the sound system's settings in devices.ini, the
// counterpart of the system sound panel that the program relies on. Where
// the engine is heard (backend, device by its server name, volume), which
// SoundFont the synthesiser plays, and an outside synthesiser: where the
// MIDI goes, which input records it, and the offset its calibration found.
#pragma once

#include "engine/Calibration.h"
#include "engine/DeviceConfig.h"
#include "engine/Engine.h"
#include "engine/Output.h"

#include <QWidget>

#include <memory>
#include <string>
#include <thread>
#include <vector>

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
    /// Lists the ports and sources the outside synthesiser's side can use.
    std::vector<audio::OutputDevice> listPorts();
    std::vector<audio::OutputDevice> listInputs();
    /// Measures the input's offset with the chosen synthesiser and input,
    /// in the background; a result worth keeping goes into the offset.
    /// calibrated() is emitted when it is done.
    void calibrate();
    bool calibrating() const { return calibration_.joinable(); }

    QComboBox *backend;
    QComboBox *device;
    QSpinBox *volume;
    QLineEdit *soundFont;
    QPushButton *chooseSoundFont;
    QLineEdit *moreSoundFonts;
    QLineEdit *gain;
    QComboBox *reverb;
    QLineEdit *reverbLevel;
    QComboBox *chorus;
    QLineEdit *chorusLevel;
    QLineEdit *polyphony;
    QComboBox *interpolation;
    QLineEdit *synthSettings;
    QPushButton *testButton;
    QPushButton *saveButton;
    QPushButton *closeButton;
    QComboBox *sequencer;   // [Sequencer] Output
    QComboBox *port;        // [Sequencer] Port, listed or typed
    QComboBox *input;       // [WaveIn] Input
    QComboBox *inputDevice; // [WaveIn] Device, listed or typed
    QSpinBox *offset;       // [WaveIn] Offset, in frames
    QPushButton *calibrateButton;
    QLabel *report; // what is wrong with devices.ini as it stands
    QLabel *status; // what the last action did

signals:
    void calibrated(const audio::Calibration &result);

private:
    void load();
    void chooseFile();
    void endTest();
    void endCalibration(const audio::Calibration &result);

    const std::string file_;
    std::string wantedDevice_; // the device devices.ini names, until listed
    std::unique_ptr<audio::Engine> testEngine_;
    std::unique_ptr<audio::EngineSource> chord_;
    QTimer *testEnd_;
    std::thread calibration_;
};
