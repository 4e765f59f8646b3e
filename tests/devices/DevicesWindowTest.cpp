// kestrune-devices' window, offscreen, on a devices.ini of the test's own,
// with a PulseAudio server of the test's own: the keys read into the
// controls and written back, devices listed by their server names, faults
// of devices.ini reported, and the test chord heard in the sink.
#include "devices/DevicesWindow.h"
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
#include <fstream>

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
          "Backend=pulse\nDevice=kestrune_test\nVolume=35\n");
    DevicesWindow window(file);
    EXPECT_EQ(window.backend->currentData().toString(), "pulse");
    // The sink by its server name, not by its place in the list.
    EXPECT_EQ(window.device->currentData().toString(), "kestrune_test");
    EXPECT_NE(window.device->findData("kestrune_test"), -1);
    EXPECT_EQ(window.volume->value(), 35);
    EXPECT_EQ(window.soundFont->text(), "/usr/share/sounds/sf2/TimGM6mb.sf2");
    EXPECT_TRUE(window.report->text().isEmpty());

    window.backend->setCurrentIndex(window.backend->findData("none"));
    EXPECT_FALSE(window.device->isEnabled());
    window.volume->setValue(80);
    window.soundFont->setText("/elsewhere/other.sf2");
    QTest::mouseClick(window.saveButton, Qt::LeftButton);
    const audio::DevicesConfig saved = audio::readDevicesConfig(file);
    EXPECT_EQ(saved.backend, "none");
    EXPECT_EQ(saved.device, "");
    EXPECT_EQ(saved.volume, 80);
    EXPECT_EQ(saved.soundFont, "/elsewhere/other.sf2");
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
