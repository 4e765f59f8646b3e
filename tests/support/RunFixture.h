// A fixture for whole recording runs through the real window: a short song
// in a temporary folder, chosen on the recording screen, with message boxes
// answered and recorded.
#pragma once

#include "app/MainWindow.h"
#include "support/EventLoop.h"
#include "support/TestFiles.h"
#include "ui/Dialogs.h"

#include <QTest>

#include <gtest/gtest.h>

namespace test {

class RunFixture : public ::testing::Test {
protected:
    void SetUp() override {
        song = dir.path("tune.mid");
        // Notes at 0.3 s and 0.6 s; the song ends at 0.9 s.
        writeFile(song, simpleSong({{0.3, 0.5, 60}, {0.6, 0.8, 64}}, 0.9));
        ui::setMessageBoxHook([this](const ui::MessageBoxRequest &r) {
            boxes.push_back(r);
            return answer;
        });
        window.show();
        window.Mode_Record();
        choose(song);
    }
    void TearDown() override { ui::setMessageBoxHook({}); }

    void choose(const std::string &file) {
        window.MP_MIDI->FileName = file;
        window.Pnl_MIDIFile->setCaption(QString::fromStdString(file));
        window.ModeSet(1);
    }
    void record() { QTest::mouseClick(window.Btn_Record, Qt::LeftButton); }
    bool waitForState0(int ms = 8000) {
        return waitFor([&] { return window.Pnl_State->caption() == "Select MIDI File"; }, ms);
    }
    std::string output(const char *name = "tune.wav") { return dir.path(name); }

    SettingsFile noSettings;
    TempDir dir;
    std::string song;
    MainWindow window;
    std::vector<ui::MessageBoxRequest> boxes;
    QMessageBox::StandardButton answer = QMessageBox::Ok;
};

} // namespace test
