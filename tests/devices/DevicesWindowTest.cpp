// kestrune-devices' window, offscreen, on a devices.ini of the test's own,
// with a PulseAudio server of the test's own: the keys read into the
// controls and written back, devices listed by their server names, faults
// of devices.ini reported, the test chord heard in the sink, and the
// calibration of an outside synthesiser (a real fluidsynth on a JACK
// dummy server) kept only when it found something.
#include "devices/DevicesWindow.h"
#include "support/EventLoop.h"
#include "support/SoundServers.h"
#include "support/TestFiles.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>

namespace {

class DevicesWindowTest : public ::testing::Test {
protected:
    // One server for the suite: starting one takes seconds.
    static void SetUpTestSuite() { server = new test::PulseServer; }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(server->ready()); }
    void write(const std::string &text) { std::ofstream(file) << text; }

    static test::PulseServer *server;
    test::TempDir dir;
    const std::string file = dir.path("devices.ini");
};

test::PulseServer *DevicesWindowTest::server = nullptr;

} // namespace

TEST_F(DevicesWindowTest, ShowsEveryKeyAndWritesThemAllBack) {
    write("; kept\n[Synth]\nSoundFont=/usr/share/sounds/sf2/TimGM6mb.sf2\n[Output]\n"
          "Backend=pulse\nDevice=kestrune_test\nVolume=35\n[Sequencer]\nOutput=alsa\n"
          "Port=FLUID Synth (812):0\n[WaveIn]\nInput=pulse\nDevice=kestrune_test.monitor\n"
          "Offset=-37\n");
    DevicesWindow window(file);
    EXPECT_EQ(window.backend->currentData().toString(), "pulse");
    // The sink by its server name, not by its place in the list.
    EXPECT_EQ(window.device->currentData().toString(), "kestrune_test");
    EXPECT_NE(window.device->findData("kestrune_test"), -1);
    EXPECT_EQ(window.volume->value(), 35);
    EXPECT_EQ(window.soundFont->text(), "/usr/share/sounds/sf2/TimGM6mb.sf2");
    EXPECT_EQ(window.sequencer->currentData().toString(), "alsa");
    EXPECT_EQ(window.port->currentText(), "FLUID Synth (812):0");
    EXPECT_EQ(window.input->currentData().toString(), "pulse");
    // The sink's monitor among the sources the server lists.
    EXPECT_NE(window.inputDevice->findText("kestrune_test.monitor"), -1);
    EXPECT_EQ(window.inputDevice->currentText(), "kestrune_test.monitor");
    EXPECT_EQ(window.offset->value(), -37);
    // The sequencer's ports are listed where the kernel has one (and then
    // the made-up port is reported missing); here, that there is none.
    if (!std::filesystem::exists("/dev/snd/seq")) {
        EXPECT_NE(window.status->text().indexOf("ALSA: the ALSA sequencer cannot be opened"), -1)
            << window.status->text().toStdString();
        EXPECT_TRUE(window.report->text().isEmpty()) << window.report->text().toStdString();
    }

    // Saved untouched, every key comes back as it was.
    QTest::mouseClick(window.saveButton, Qt::LeftButton);
    const audio::DevicesConfig kept = audio::readDevicesConfig(file);
    EXPECT_EQ(kept.sequencer, "alsa");
    EXPECT_EQ(kept.port, "FLUID Synth (812):0");
    EXPECT_EQ(kept.input, "pulse");
    EXPECT_EQ(kept.inputDevice, "kestrune_test.monitor");
    EXPECT_EQ(kept.offset, -37);
    EXPECT_EQ(kept.volume, 35);

    window.backend->setCurrentIndex(window.backend->findData("none"));
    EXPECT_FALSE(window.device->isEnabled());
    window.volume->setValue(80);
    window.soundFont->setText("/elsewhere/other.sf2");
    window.sequencer->setCurrentIndex(window.sequencer->findData("internal"));
    EXPECT_FALSE(window.port->isEnabled());
    window.input->setCurrentIndex(window.input->findData("loopback"));
    EXPECT_FALSE(window.calibrateButton->isEnabled());
    QTest::mouseClick(window.saveButton, Qt::LeftButton);
    const audio::DevicesConfig saved = audio::readDevicesConfig(file);
    EXPECT_EQ(saved.backend, "none");
    EXPECT_EQ(saved.device, "");
    EXPECT_EQ(saved.volume, 80);
    EXPECT_EQ(saved.soundFont, "/elsewhere/other.sf2");
    EXPECT_EQ(saved.sequencer, "internal");
    EXPECT_EQ(saved.input, "loopback");
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}).rfind("; kept\n", 0), 0u);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"devices.ini"});
}

TEST_F(DevicesWindowTest, ReportsWhatDevicesIniNamesButDoesNotExist) {
    write("[Output]\nBackend=oss\n");
    {
        DevicesWindow window(file);
        EXPECT_EQ(window.backend->currentData().toString(), "auto");
        EXPECT_NE(window.report->text().indexOf("\"oss\""), -1)
            << window.report->text().toStdString();
    }
    write("[Output]\nBackend=pulse\nDevice=no_such_sink\n");
    {
        DevicesWindow window(file);
        EXPECT_NE(window.report->text().indexOf("\"no_such_sink\""), -1)
            << window.report->text().toStdString();
        EXPECT_EQ(window.device->currentData().toString(), ""); // the server's default
    }
    write("[Sequencer]\nOutput=midi\n[WaveIn]\nInput=pulse\nDevice=no_such_source\n");
    {
        DevicesWindow window(file);
        const std::string text = window.report->text().toStdString();
        EXPECT_NE(text.find("[Sequencer] Output=midi"), std::string::npos) << text;
        EXPECT_NE(text.find("\"no_such_source\""), std::string::npos) << text;
        // The name stays as written, to be mended rather than lost.
        EXPECT_EQ(window.inputDevice->currentText(), "no_such_source");
    }
}

TEST_F(DevicesWindowTest, TheTestChordIsHeardThroughTheChosenOutput) {
    write("[Synth]\nSoundFont=/usr/share/sounds/sf2/TimGM6mb.sf2\n[Output]\nBackend=pulse\n"
          "Device=kestrune_test\n");
    DevicesWindow window(file);
    test::PulseServer::Capture capture(*server);
    QTest::mouseClick(window.testButton, Qt::LeftButton);
    EXPECT_NE(
        window.status->text().indexOf("Playing a chord through PulseAudio, sink kestrune_test"), -1)
        << window.status->text().toStdString();
    test::spin(2000);
    const std::vector<float> heard = capture.stop();
    double sum = 0;
    for (const float s : heard)
        sum += double(s) * s;
    EXPECT_GT(std::sqrt(sum / double(std::max<std::size_t>(1, heard.size()))), 0.003);

    // No JACK server runs: the test says so instead.
    window.backend->setCurrentIndex(window.backend->findData("jack"));
    QTest::mouseClick(window.testButton, Qt::LeftButton);
    EXPECT_NE(window.status->text().indexOf("no JACK server runs"), -1)
        << window.status->text().toStdString();
}

TEST_F(DevicesWindowTest, CalibrationKeepsTheOffsetItMeasuredAndNothingElse) {
    test::JackServer jack;
    ASSERT_TRUE(jack.ready());
    test::OutsideSynth synth("KestruneTestSynthD");
    ASSERT_TRUE(synth.ready()) << "fluidsynth did not start";
    write("[Output]\nBackend=none\n[Sequencer]\nOutput=jack\nPort=" + synth.midiPort() +
          "\n[WaveIn]\nInput=jack\nDevice=system:capture_1,system:capture_2\nOffset=77\n");
    DevicesWindow window(file);
    // The synthesiser's ports are listed, its outputs also as one pair.
    EXPECT_NE(window.port->findText(QString::fromStdString(synth.midiPort())), -1);
    EXPECT_NE(window.inputDevice->findText(QString::fromStdString(synth.audioPorts())), -1);

    auto calibrate = [&] {
        std::optional<audio::Calibration> result;
        QObject::connect(&window, &DevicesWindow::calibrated,
                         [&](const audio::Calibration &r) { result = r; });
        QTest::mouseClick(window.calibrateButton, Qt::LeftButton);
        EXPECT_FALSE(window.calibrateButton->isEnabled()); // one at a time
        for (int waited = 0; !result && waited < 30000; waited += 50)
            test::spin(50);
        EXPECT_TRUE(window.calibrateButton->isEnabled());
        return result.value_or(audio::Calibration{});
    };

    // The dummy server's capture ports hear nothing: the offset stays.
    const audio::Calibration silent = calibrate();
    EXPECT_FALSE(silent.stored);
    EXPECT_EQ(window.offset->value(), 77);
    EXPECT_NE(window.status->text().indexOf("Not calibrated"), -1)
        << window.status->text().toStdString();

    window.inputDevice->setCurrentText(QString::fromStdString(synth.audioPorts()));
    const audio::Calibration heard = calibrate();
    ASSERT_TRUE(heard.stored) << heard.message;
    EXPECT_EQ(window.offset->value(), heard.offset);
    EXPECT_NE(window.status->text().indexOf("Calibrated"), -1)
        << window.status->text().toStdString();
    QTest::mouseClick(window.saveButton, Qt::LeftButton);
    const audio::DevicesConfig saved = audio::readDevicesConfig(file);
    EXPECT_EQ(saved.offset, heard.offset);
    EXPECT_EQ(saved.inputDevice, synth.audioPorts());
    EXPECT_EQ(saved.port, synth.midiPort());
}

TEST_F(DevicesWindowTest, ShowsTheSynthesisersKeysAndRefusesWhatItCannotTake) {
    write("[Synth]\nSoundFont=/usr/share/sounds/sf2/TimGM6mb.sf2\nMoreSoundFonts=/a.sf2;/b.sf2\n"
          "Gain=0.4\nReverb=off\nReverbLevel=0.5\nChorusLevel=1\nPolyphony=128\n"
          "Interpolation=7th\nSettings=synth.reverb.damp=0.3\n[Output]\nBackend=none\n");
    DevicesWindow window(file);
    EXPECT_EQ(window.moreSoundFonts->text(), "/a.sf2;/b.sf2");
    EXPECT_EQ(window.gain->text(), "0.4");
    EXPECT_EQ(window.reverb->currentData().toString(), "off");
    EXPECT_EQ(window.reverbLevel->text(), "0.5");
    EXPECT_EQ(window.chorus->currentData().toString(), ""); // FluidSynth's own
    EXPECT_EQ(window.chorusLevel->text(), "1");
    EXPECT_EQ(window.polyphony->text(), "128");
    EXPECT_EQ(window.interpolation->currentData().toString(), "7th");
    EXPECT_EQ(window.synthSettings->text(), "synth.reverb.damp=0.3");

    // A setting FluidSynth does not know is named, and nothing is written.
    window.synthSettings->setText("synth.reverb.damp=0.3; synth.nonsense=1");
    QTest::mouseClick(window.saveButton, Qt::LeftButton);
    EXPECT_NE(window.status->text().indexOf("synth.nonsense"), -1)
        << window.status->text().toStdString();
    EXPECT_EQ(audio::readDevicesConfig(file).synth.settings, "synth.reverb.damp=0.3");
    window.synthSettings->setText("synth.reverb.damp=0.3");
    window.chorus->setCurrentIndex(window.chorus->findData("on"));
    QTest::mouseClick(window.saveButton, Qt::LeftButton);
    const audio::DevicesConfig saved = audio::readDevicesConfig(file);
    EXPECT_EQ(saved.synth.chorus, "on");
    EXPECT_EQ(saved.synth.gain, "0.4");
    EXPECT_EQ(saved.synth.moreSoundFonts, "/a.sf2;/b.sf2");
    EXPECT_EQ(saved.synth.interpolation, "7th");
}
