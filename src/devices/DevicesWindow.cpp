// The devices window: its controls, reading and writing devices.ini, the
// lists of devices the servers offer, and the test chord.
#include "devices/DevicesWindow.h"

#include "app/Dialogs.h"
#include "platform/Paths.h"
#include "platform/audio/MidiTarget.h"
#include "platform/audio/Output.h"
#include "platform/audio/Synthesiser.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

namespace {

constexpr int kChordMs = 1200;
constexpr std::uint8_t kChordKeys[] = {60, 64, 67, 72};

// A C major chord on a piano, held a second.
class Chord : public audio::EngineSource {
public:
    explicit Chord(std::int64_t start) : start_(start) {}
    void beforeBlock(std::int64_t blockStart, audio::MidiTarget &target) override {
        const bool on = blockStart >= start_;
        const bool off = blockStart >= start_ + audio::kSampleRate;
        if (on && !sounding_ && !done_) {
            target.send(audio::MidiEvent{0, 0xC0, 0, 0, 0, 0}, blockStart, nullptr);
            for (const std::uint8_t key : kChordKeys)
                target.send(audio::MidiEvent{0, 0x90, key, 96, 0, 0}, blockStart, nullptr);
            sounding_ = true;
        }
        if (off && sounding_) {
            for (const std::uint8_t key : kChordKeys)
                target.send(audio::MidiEvent{0, 0x80, key, 0, 0, 0}, blockStart, nullptr);
            sounding_ = false;
            done_ = true;
        }
    }

private:
    const std::int64_t start_;
    bool sounding_ = false, done_ = false;
};

} // namespace

DevicesWindow::DevicesWindow(std::string file, QWidget *parent)
    : QWidget(parent), file_(std::move(file)) {
    setWindowTitle(tr("Kestrune Devices"));

    auto *output = new QGroupBox(tr("Sound output"), this);
    auto *outputForm = new QFormLayout(output);
    backend = new QComboBox(output);
    backend->addItem(tr("Automatic: PulseAudio, else JACK, else none"), "auto");
    for (const audio::OutputBackend &b : audio::outputBackends())
        backend->addItem(QString::fromUtf8(b.title), QString::fromUtf8(b.name));
    device = new QComboBox(output);
    device->setMinimumContentsLength(40);
    device->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    volume = new QSpinBox(output);
    volume->setRange(0, 100);
    volume->setSuffix(" %");
    testButton = new QPushButton(tr("Test"), output);
    testButton->setToolTip(tr("Plays a short chord through the chosen output"));
    outputForm->addRow(tr("Backend:"), backend);
    outputForm->addRow(tr("Device:"), device);
    outputForm->addRow(tr("Volume (what you hear only, never the recording):"), volume);
    outputForm->addRow(QString(), testButton);

    auto *synth = new QGroupBox(tr("Synthesiser"), this);
    auto *synthRow = new QHBoxLayout(synth);
    soundFont = new QLineEdit(synth);
    soundFont->setPlaceholderText(tr("The system's General MIDI SoundFont"));
    chooseSoundFont = new QPushButton(tr("Choose…"), synth);
    synthRow->addWidget(new QLabel(tr("SoundFont:"), synth));
    synthRow->addWidget(soundFont, 1);
    synthRow->addWidget(chooseSoundFont);

    report = new QLabel(this);
    report->setWordWrap(true);
    report->setStyleSheet("color: #a40000");
    status = new QLabel(this);
    status->setWordWrap(true);
    saveButton = new QPushButton(tr("Save"), this);
    saveButton->setDefault(true);
    closeButton = new QPushButton(tr("Close"), this);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(status, 1);
    buttons->addWidget(saveButton);
    buttons->addWidget(closeButton);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Settings of %1").arg(QString::fromStdString(file_)), this));
    layout->addWidget(output);
    layout->addWidget(synth);
    layout->addWidget(report);
    layout->addLayout(buttons);

    testEnd_ = new QTimer(this);
    testEnd_->setSingleShot(true);
    connect(testEnd_, &QTimer::timeout, this, &DevicesWindow::endTest);
    connect(backend, &QComboBox::currentIndexChanged, this, &DevicesWindow::listDevices);
    connect(testButton, &QPushButton::clicked, this, &DevicesWindow::test);
    connect(chooseSoundFont, &QPushButton::clicked, this, &DevicesWindow::chooseFile);
    connect(saveButton, &QPushButton::clicked, this, &DevicesWindow::save);
    connect(closeButton, &QPushButton::clicked, this, &QWidget::close);
    load();
}

DevicesWindow::~DevicesWindow() {
    endTest();
}

void DevicesWindow::load() {
    const audio::DevicesConfig config = audio::readDevicesConfig(file_);
    QStringList problems;
    int at = backend->findData(QString::fromStdString(config.backend));
    if (at < 0) {
        problems << tr("%1 names the sound output \"%2\", which is none of auto, none, pulse "
                       "and jack; Kestrune plays through Automatic instead.")
                        .arg(QString::fromStdString(file_), QString::fromStdString(config.backend));
        at = 0;
    }
    wantedDevice_ = config.device;
    const QSignalBlocker quiet(backend);
    backend->setCurrentIndex(at);
    listDevices();
    if (!config.device.empty() && device->currentData().toString().toStdString() != config.device)
        problems << tr("%1 names the device \"%2\", which the %3 server does not offer now; "
                       "Kestrune plays through Automatic instead.")
                        .arg(QString::fromStdString(file_), QString::fromStdString(config.device),
                             backend->currentData().toString());
    volume->setValue(config.volume);
    soundFont->setText(QString::fromStdString(config.soundFont));
    report->setText(problems.join('\n'));
    report->setVisible(!problems.isEmpty());
}

void DevicesWindow::listDevices() {
    const std::string wanted =
        wantedDevice_.empty() ? device->currentData().toString().toStdString() : wantedDevice_;
    wantedDevice_.clear();
    device->clear();
    device->addItem(tr("The server's default"), QString());
    const audio::OutputBackend *chosenBackend =
        audio::findOutputBackend(backend->currentData().toString().toStdString());
    device->setEnabled(chosenBackend && chosenBackend->devices);
    if (!chosenBackend || !chosenBackend->devices)
        return;
    std::string error;
    // By the server's stable names, never by their place in the list.
    for (const audio::OutputDevice &d : chosenBackend->devices(error))
        device->addItem(QString::fromStdString(
                            d.description.empty() ? d.name : d.name + "  (" + d.description + ")"),
                        QString::fromStdString(d.name));
    if (!error.empty())
        status->setText(tr("%1: %2").arg(QString::fromUtf8(chosenBackend->title),
                                         QString::fromStdString(error)));
    const int at = device->findData(QString::fromStdString(wanted));
    device->setCurrentIndex(at >= 0 ? at : 0);
}

audio::DevicesConfig DevicesWindow::chosen() const {
    audio::DevicesConfig config;
    config.backend = backend->currentData().toString().toStdString();
    config.device = device->currentData().toString().toStdString();
    config.volume = volume->value();
    config.soundFont = soundFont->text().trimmed().toStdString();
    return config;
}

bool DevicesWindow::save() {
    std::string error;
    try {
        if (file_ == paths::devicesFile())
            paths::prepareConfigFolder();
    } catch (const paths::PathError &e) {
        status->setText(QString::fromStdString(e.what()));
        return false;
    }
    if (!audio::writeDevicesConfig(file_, chosen(), error)) {
        status->setText(QString::fromStdString(error));
        return false;
    }
    status->setText(tr("Saved. Kestrune uses it from its next recording on."));
    report->hide();
    return true;
}

void DevicesWindow::chooseFile() {
    const std::optional<QString> file =
        ui::openFile(this, {tr("SoundFont Select"), tr("SoundFont (*.sf2 *.sf3);;All Files (*)"),
                            soundFont->text()});
    if (file)
        soundFont->setText(*file);
}

void DevicesWindow::test() {
    endTest();
    const audio::DevicesConfig config = chosen();
    audio::setSoundFont(config.soundFont);
    std::string error;
    std::unique_ptr<audio::Engine> engine = audio::Engine::tryOutput(config, error);
    if (!error.empty()) {
        status->setText(tr("Test: %1").arg(QString::fromStdString(error)));
        return;
    }
    if (!engine->ensureSynthesiser(error)) {
        status->setText(tr("Test: %1").arg(QString::fromStdString(error)));
        return;
    }
    {
        std::lock_guard<std::mutex> guard(engine->lock());
        const std::int64_t start = engine->nextPeriodFrame();
        chord_ = std::make_unique<Chord>(start);
        engine->addSource(chord_.get());
        engine->startSynthesiser(start);
    }
    const audio::Output *heard = engine->output();
    status->setText(tr("Playing a chord through %1 (latency %2 ms)")
                        .arg(QString::fromStdString(heard->describe()))
                        .arg(std::lround(heard->latency() * 1000)));
    testEngine_ = std::move(engine);
    testEnd_->start(kChordMs + 500);
}

void DevicesWindow::endTest() {
    if (testEngine_) {
        {
            std::lock_guard<std::mutex> guard(testEngine_->lock());
            testEngine_->removeSource(chord_.get());
        }
        testEngine_.reset();
        chord_.reset();
    }
    audio::setSoundFont({});
}
