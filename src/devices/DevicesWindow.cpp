// The devices window: its controls, reading and writing devices.ini, the
// lists of devices the servers offer, the test chord and the calibration.
#include "devices/DevicesWindow.h"

#include "engine/MidiAlsa.h"
#include "engine/MidiTarget.h"
#include "engine/Output.h"
#include "engine/Synthesiser.h"
#include "platform/Paths.h"
#include "ui/Dialogs.h"

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
#include <map>
#include <set>
#include <tuple>

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

// Fills an editable list with names, keeping what the user typed; each
// item shows the name itself (the value written), its description as a tip.
void fillNames(QComboBox *box, const std::vector<audio::OutputDevice> &names,
               const QString &wanted) {
    box->clear();
    for (const audio::OutputDevice &d : names) {
        box->addItem(QString::fromStdString(d.name));
        box->setItemData(box->count() - 1, QString::fromStdString(d.description), Qt::ToolTipRole);
    }
    box->setCurrentText(wanted);
}

// Capture ports as devices.ini takes them: each client's ports as one
// comma-separated entry (a synthesiser's left and right), then each port.
std::vector<audio::OutputDevice> captureChoices(const std::vector<audio::OutputDevice> &ports) {
    std::vector<audio::OutputDevice> choices;
    std::string client, joined;
    int count = 0;
    auto flush = [&] {
        if (count > 1)
            choices.push_back({joined, client + ": all its outputs"});
    };
    for (const audio::OutputDevice &p : ports) {
        const std::string owner = p.name.substr(0, p.name.find(':'));
        if (owner != client) {
            flush();
            client = owner, joined.clear(), count = 0;
        }
        joined += (joined.empty() ? "" : ",") + p.name;
        ++count;
    }
    flush();
    choices.insert(choices.end(), ports.begin(), ports.end());
    return choices;
}

// The names of `wanted` (a comma-separated list) that `offered` lacks.
QStringList missingNames(const std::string &wanted,
                         const std::vector<audio::OutputDevice> &offered) {
    std::set<std::string> names;
    for (const audio::OutputDevice &d : offered)
        names.insert(d.name);
    QStringList missing;
    for (const QString &name : QString::fromStdString(wanted).split(',', Qt::SkipEmptyParts))
        if (!names.count(name.trimmed().toStdString()))
            missing << name.trimmed();
    return missing;
}

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

    // The synthesiser: its SoundFonts and controls. An empty field keeps
    // FluidSynth's own value, which its placeholder shows.
    auto *synth = new QGroupBox(tr("Synthesiser"), this);
    auto *synthForm = new QFormLayout(synth);
    auto *synthRow = new QHBoxLayout;
    soundFont = new QLineEdit(synth);
    soundFont->setPlaceholderText(tr("The system's General MIDI SoundFont"));
    chooseSoundFont = new QPushButton(tr("Choose…"), synth);
    synthRow->addWidget(soundFont, 1);
    synthRow->addWidget(chooseSoundFont);
    synthForm->addRow(tr("SoundFont:"), synthRow);
    auto field = [&](const QString &placeholder) {
        auto *edit = new QLineEdit(synth);
        edit->setPlaceholderText(placeholder);
        return edit;
    };
    auto onOff = [&] {
        auto *box = new QComboBox(synth);
        box->addItem(tr("FluidSynth's (on)"), QString());
        box->addItem(tr("On"), QStringLiteral("on"));
        box->addItem(tr("Off"), QStringLiteral("off"));
        return box;
    };
    moreSoundFonts = field(tr("None: files separated by \";\", under the SoundFont in order"));
    synthForm->addRow(tr("More SoundFonts:"), moreSoundFonts);
    gain = field(QStringLiteral("0.2"));
    synthForm->addRow(tr("Gain (0 to 10):"), gain);
    auto *reverbRow = new QHBoxLayout;
    reverb = onOff();
    reverbLevel = field(QStringLiteral("0.9"));
    reverbRow->addWidget(reverb);
    reverbRow->addWidget(new QLabel(tr("Level (0 to 1):"), synth));
    reverbRow->addWidget(reverbLevel);
    synthForm->addRow(tr("Reverb:"), reverbRow);
    auto *chorusRow = new QHBoxLayout;
    chorus = onOff();
    chorusLevel = field(QStringLiteral("2"));
    chorusRow->addWidget(chorus);
    chorusRow->addWidget(new QLabel(tr("Level (0 to 10):"), synth));
    chorusRow->addWidget(chorusLevel);
    synthForm->addRow(tr("Chorus:"), chorusRow);
    polyphony = field(QStringLiteral("256"));
    synthForm->addRow(tr("Polyphony (voices):"), polyphony);
    interpolation = new QComboBox(synth);
    interpolation->addItem(tr("FluidSynth's (4th order)"), QString());
    for (const char *method : {"none", "linear", "4th", "7th"})
        interpolation->addItem(QString::fromLatin1(method), QString::fromLatin1(method));
    synthForm->addRow(tr("Interpolation:"), interpolation);
    synthSettings = field(tr("name=value; … as fluidsynth -o takes them"));
    synthForm->addRow(tr("Other settings:"), synthSettings);

    auto *outsideBox = new QGroupBox(tr("Outside synthesiser"), this);
    auto *outsideForm = new QFormLayout(outsideBox);
    sequencer = new QComboBox(outsideBox);
    const std::map<std::string, QString> sequencerTitles = {
        {"internal", tr("The internal synthesiser")},
        {"jack", tr("A JACK MIDI port")},
        {"alsa", tr("An ALSA sequencer port")}};
    for (const std::string &value : audio::sequencerChoice().values)
        sequencer->addItem(sequencerTitles.at(value), QString::fromStdString(value));
    port = new QComboBox(outsideBox);
    port->setEditable(true);
    port->setToolTip(tr("A JACK MIDI input such as \"fluidsynth:midi_00\", or an ALSA "
                        "sequencer client:port such as \"FLUID Synth (1234):0\""));
    input = new QComboBox(outsideBox);
    const std::map<std::string, QString> inputTitles = {
        {"loopback", tr("The synthesiser itself, sample-exact (loopback)")},
        {"pulse", tr("A PulseAudio source")},
        {"jack", tr("JACK capture ports")}};
    for (const std::string &value : audio::inputChoice().values)
        input->addItem(inputTitles.at(value), QString::fromStdString(value));
    inputDevice = new QComboBox(outsideBox);
    inputDevice->setEditable(true);
    inputDevice->setToolTip(tr("A PulseAudio source (a sink's \".monitor\" among them), or "
                               "JACK ports separated by commas, left first"));
    for (QComboBox *box : {port, inputDevice}) {
        box->setMinimumContentsLength(40);
        box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        box->setInsertPolicy(QComboBox::NoInsert);
    }
    offset = new QSpinBox(outsideBox);
    offset->setRange(-441000, 441000);
    offset->setSuffix(tr(" frames"));
    offset->setToolTip(tr("How much later than the servers report the synthesiser's sound "
                          "reaches the input"));
    calibrateButton = new QPushButton(tr("Calibrate"), outsideBox);
    calibrateButton->setToolTip(tr("Plays five short notes through the chosen MIDI output and "
                                   "measures when the chosen input hears them"));
    auto *offsetRow = new QHBoxLayout;
    offsetRow->addWidget(offset, 1);
    offsetRow->addWidget(calibrateButton);
    outsideForm->addRow(tr("MIDI to:"), sequencer);
    outsideForm->addRow(tr("Port:"), port);
    outsideForm->addRow(tr("Record from:"), input);
    outsideForm->addRow(tr("Input:"), inputDevice);
    outsideForm->addRow(tr("Offset:"), offsetRow);

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
    layout->addWidget(outsideBox);
    layout->addWidget(report);
    layout->addLayout(buttons);

    testEnd_ = new QTimer(this);
    testEnd_->setSingleShot(true);
    connect(testEnd_, &QTimer::timeout, this, &DevicesWindow::endTest);
    connect(backend, &QComboBox::currentIndexChanged, this, &DevicesWindow::listDevices);
    connect(testButton, &QPushButton::clicked, this, &DevicesWindow::test);
    connect(chooseSoundFont, &QPushButton::clicked, this, &DevicesWindow::chooseFile);
    connect(sequencer, &QComboBox::currentIndexChanged, this, &DevicesWindow::listPorts);
    connect(input, &QComboBox::currentIndexChanged, this, &DevicesWindow::listInputs);
    connect(calibrateButton, &QPushButton::clicked, this, &DevicesWindow::calibrate);
    connect(saveButton, &QPushButton::clicked, this, &DevicesWindow::save);
    connect(closeButton, &QPushButton::clicked, this, &QWidget::close);
    load();
}

DevicesWindow::~DevicesWindow() {
    // A calibration under way ends in a few seconds; it cannot be cut short.
    if (calibration_.joinable())
        calibration_.join();
    endTest();
}

void DevicesWindow::load() {
    const audio::DevicesConfig config = audio::readDevicesConfig(file_);
    QStringList problems;
    int at = backend->findData(QString::fromStdString(config.backend));
    if (at < 0) {
        problems << tr("%1 names the sound output \"%2\", which is none of %3; Kestrune plays "
                       "through Automatic instead.")
                        .arg(QString::fromStdString(file_), QString::fromStdString(config.backend),
                             QString::fromStdString(audio::outputChoice().listed()));
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
    const audio::SynthControls &controls = config.synth;
    moreSoundFonts->setText(QString::fromStdString(controls.moreSoundFonts));
    gain->setText(QString::fromStdString(controls.gain));
    reverbLevel->setText(QString::fromStdString(controls.reverbLevel));
    chorusLevel->setText(QString::fromStdString(controls.chorusLevel));
    polyphony->setText(QString::fromStdString(controls.polyphony));
    synthSettings->setText(QString::fromStdString(controls.settings));
    for (auto [box, key, value] : {std::tuple{reverb, "Reverb", &controls.reverb},
                                   {chorus, "Chorus", &controls.chorus},
                                   {interpolation, "Interpolation", &controls.interpolation}}) {
        const int found = box->findData(QString::fromStdString(*value));
        box->setCurrentIndex(found < 0 ? 0 : found);
        if (found < 0)
            problems << tr("%1 names [Synth] %2=%3, which is none of the values it takes.")
                            .arg(QString::fromStdString(file_), QString::fromLatin1(key),
                                 QString::fromStdString(*value));
    }

    // The outside synthesiser's side, and what of it the servers lack.
    auto choose = [&](QComboBox *box, const std::string &value,
                      const audio::DevicesChoice &choice) {
        const int found = box->findData(QString::fromStdString(value));
        if (found < 0)
            problems << tr("%1 names %2=%3, which is none of %4; Kestrune refuses to record "
                           "until it is mended.")
                            .arg(QString::fromStdString(file_),
                                 QString::fromStdString(choice.name()),
                                 QString::fromStdString(value),
                                 QString::fromStdString(choice.listed()));
        const QSignalBlocker quietBox(box);
        box->setCurrentIndex(std::max(found, 0));
    };
    choose(sequencer, config.sequencer, audio::sequencerChoice());
    choose(input, config.input, audio::inputChoice());
    port->setCurrentText(QString::fromStdString(config.port));
    inputDevice->setCurrentText(QString::fromStdString(config.inputDevice));
    const std::vector<audio::OutputDevice> ports = listPorts(), inputs = listInputs();
    auto lacking = [&](const QComboBox *box, const std::vector<audio::OutputDevice> &offered,
                       const QString &server) {
        if (!box->isEnabled() || offered.empty())
            return; // nothing listed: the server is not running now
        const QStringList missing = missingNames(box->currentText().toStdString(), offered);
        if (!missing.isEmpty())
            problems << tr("%1 names \"%2\", which the %3 server does not offer now.")
                            .arg(QString::fromStdString(file_), missing.join("\", \""), server);
    };
    lacking(port, ports, sequencer->currentData().toString() == "jack" ? "JACK" : "ALSA sequencer");
    lacking(inputDevice, inputs, input->currentData().toString() == "jack" ? "JACK" : "PulseAudio");
    offset->setValue(int(std::clamp<long>(config.offset, offset->minimum(), offset->maximum())));
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
    device->setEnabled(false);
    if (!chosenBackend)
        return;
    std::string error;
    // By the server's stable names, never by their place in the list.
    const std::vector<audio::OutputDevice> offered = chosenBackend->devices(error);
    // A backend that plays nowhere has nothing to choose.
    device->setEnabled(chosenBackend->open != audio::openNoneOutput);
    for (const audio::OutputDevice &d : offered)
        device->addItem(QString::fromStdString(
                            d.description.empty() ? d.name : d.name + "  (" + d.description + ")"),
                        QString::fromStdString(d.name));
    if (!error.empty())
        status->setText(tr("%1: %2").arg(QString::fromUtf8(chosenBackend->title),
                                         QString::fromStdString(error)));
    const int at = device->findData(QString::fromStdString(wanted));
    device->setCurrentIndex(at >= 0 ? at : 0);
}

std::vector<audio::OutputDevice> DevicesWindow::listPorts() {
    const QString kind = sequencer->currentData().toString();
    const QString wanted = port->currentText();
    std::vector<audio::OutputDevice> ports;
    std::string error;
    if (kind == "jack")
        ports = audio::jackMidiInputs(error);
    else if (kind == "alsa")
        ports = audio::alsaMidiInputs(error);
    fillNames(port, ports, wanted);
    port->setEnabled(kind != "internal");
    if (!error.empty())
        status->setText(
            tr("%1: %2").arg(kind == "jack" ? "JACK" : "ALSA", QString::fromStdString(error)));
    return ports;
}

std::vector<audio::OutputDevice> DevicesWindow::listInputs() {
    const QString kind = input->currentData().toString();
    const QString wanted = inputDevice->currentText();
    std::vector<audio::OutputDevice> inputs;
    std::string error;
    if (kind == "pulse")
        inputs = audio::pulseSources(error);
    else if (kind == "jack")
        inputs = captureChoices(audio::jackAudioOutputs(error));
    fillNames(inputDevice, inputs, wanted);
    inputDevice->setEnabled(kind != "loopback");
    offset->setEnabled(kind != "loopback");
    calibrateButton->setEnabled(kind != "loopback" && !calibrating());
    if (!error.empty())
        status->setText(tr("%1: %2").arg(kind == "jack" ? "JACK" : "PulseAudio",
                                         QString::fromStdString(error)));
    return inputs;
}

audio::DevicesConfig DevicesWindow::chosen() const {
    audio::DevicesConfig config;
    config.backend = backend->currentData().toString().toStdString();
    config.device = device->currentData().toString().toStdString();
    config.volume = volume->value();
    config.soundFont = soundFont->text().trimmed().toStdString();
    audio::SynthControls &controls = config.synth;
    controls.moreSoundFonts = moreSoundFonts->text().trimmed().toStdString();
    controls.gain = gain->text().trimmed().toStdString();
    controls.reverb = reverb->currentData().toString().toStdString();
    controls.reverbLevel = reverbLevel->text().trimmed().toStdString();
    controls.chorus = chorus->currentData().toString().toStdString();
    controls.chorusLevel = chorusLevel->text().trimmed().toStdString();
    controls.polyphony = polyphony->text().trimmed().toStdString();
    controls.interpolation = interpolation->currentData().toString().toStdString();
    controls.settings = synthSettings->text().trimmed().toStdString();
    config.sequencer = sequencer->currentData().toString().toStdString();
    config.port = port->currentText().trimmed().toStdString();
    config.input = input->currentData().toString().toStdString();
    config.inputDevice = inputDevice->currentText().trimmed().toStdString();
    config.offset = offset->value();
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
    const audio::DevicesConfig config = chosen();
    // The synthesiser would refuse what it cannot take: said now, by name.
    const std::string problem = audio::Synthesiser::controlsProblem(config.synth);
    if (!problem.empty()) {
        status->setText(tr("Not saved: %1.").arg(QString::fromStdString(problem)));
        return false;
    }
    if (!audio::writeDevicesConfig(file_, config, error)) {
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
    audio::EngineSettings settings;
    settings.devices = chosen();
    std::string error;
    std::unique_ptr<audio::Engine> engine = audio::Engine::tryOutput(settings, error);
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
}

void DevicesWindow::calibrate() {
    if (calibrating())
        return;
    endTest();
    const audio::DevicesConfig config = chosen();
    calibrateButton->setEnabled(false);
    testButton->setEnabled(false);
    status->setText(tr("Calibrating: five notes through %1, listened for in %2…")
                        .arg(config.outsideSynthesiser() ? QString::fromStdString(config.port)
                                                         : tr("the internal synthesiser"),
                             QString::fromStdString(config.inputDevice)));
    // A few seconds of playing and listening, away from the window.
    calibration_ = std::thread([this, config] {
        const audio::Calibration result = audio::calibrate(config);
        QMetaObject::invokeMethod(
            this, [this, result] { endCalibration(result); }, Qt::QueuedConnection);
    });
}

void DevicesWindow::endCalibration(const audio::Calibration &result) {
    if (calibration_.joinable())
        calibration_.join();
    testButton->setEnabled(true);
    calibrateButton->setEnabled(input->currentData().toString() != "loopback");
    if (result.stored) {
        offset->setValue(int(result.offset));
        status->setText(
            tr("Calibrated: %1. Save to keep it.").arg(QString::fromStdString(result.message)));
    } else {
        QString why = QString::fromStdString(result.message);
        if (!why.endsWith('?') && !why.endsWith('.'))
            why += '.';
        status->setText(tr("Not calibrated: %1 The offset stays as it was.").arg(why));
    }
    emit calibrated(result);
}
