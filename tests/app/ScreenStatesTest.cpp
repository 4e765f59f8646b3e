// The five screen states: captions, enabling, visibility and status line,
// and the choice of a MIDI file.
#include "app/MainWindow.h"
#include "support/TestFiles.h"
#include "ui/Dialogs.h"

#include <gtest/gtest.h>

namespace {

class ScreenStatesTest : public ::testing::Test {
protected:
    void SetUp() override {
        window.show();
        window.Mode_Record();
    }
    void TearDown() override { ui::setFileDialogHook({}); }

    struct Shape {
        const char *select, *record, *close, *status;
        bool control, option, selectOn, recordOn, closeOn;
    };
    void expectShape(const Shape &s) {
        EXPECT_EQ(window.Btn_Select->caption(), s.select);
        EXPECT_EQ(window.Btn_Record->caption(), s.record);
        EXPECT_EQ(window.Btn_Close->caption(), s.close);
        EXPECT_EQ(window.Pnl_State->caption(), s.status);
        EXPECT_EQ(window.Pnl_Control->isEnabled(), s.control);
        EXPECT_EQ(window.Pnl_Option->isEnabled(), s.option);
        EXPECT_EQ(window.Btn_Select->isEnabled(), s.selectOn);
        EXPECT_EQ(window.Btn_Record->isEnabled(), s.recordOn);
        EXPECT_EQ(window.Btn_Close->isEnabled(), s.closeOn);
        EXPECT_TRUE(window.Pnl_Control->isVisible());
        EXPECT_TRUE(window.Pnl_Option->isVisible());
        EXPECT_FALSE(window.Pnl_Directory->isVisible());
        EXPECT_FALSE(window.Pnl_Directory->isEnabled());
    }

    test::SettingsFile noSettings;
    MainWindow window;
    const std::string song = "/music/song.mid";
};

} // namespace

TEST_F(ScreenStatesTest, EachStateHasItsShape) {
    window.MP_MIDI->FileName = song;
    window.ModeSet(1);
    expectShape({"ReSelect", "Record", "Close", "Standby OK", true, true, true, true, true});
    EXPECT_EQ(window.Pnl_MIDIFile->caption().toStdString(), song);

    window.ModeSet(2);
    expectShape({"---", "Stop", "---", "Now Recording", true, false, false, true, false});
    EXPECT_EQ(window.Pnl_MIDIFile->caption().toStdString(), song);

    window.ModeSet(4);
    expectShape(
        {"---", "---", "---", "MPEG1 Audio Layer III Encoding", false, false, false, false, false});

    window.ModeSet(3);
    EXPECT_EQ(window.Pnl_State->caption(), "Select WAVE File Directory");
    EXPECT_FALSE(window.Pnl_Control->isVisible());
    EXPECT_FALSE(window.Pnl_Option->isVisible());
    EXPECT_TRUE(window.Pnl_Directory->isVisible());
    EXPECT_TRUE(window.Pnl_Directory->isEnabled());
    EXPECT_FALSE(window.Pnl_Control->isEnabled());
    EXPECT_EQ(window.Pnl_Directory->pos(), window.Pnl_Control->pos());
    // The three buttons keep what state 4 gave them.
    EXPECT_EQ(window.Btn_Record->caption(), "---");
    EXPECT_FALSE(window.Btn_Select->isEnabled());
}

TEST_F(ScreenStatesTest, StateZeroForgetsTheChoice) {
    window.MP_MIDI->FileName = song;
    window.MP_WAVE->FileName = "/out/song.wav";
    window.ModeSet(2);
    window.Gauge_Progress->setProgress(60);
    window.ModeSet(0);
    expectShape({"Select", "---", "Close", "Select MIDI File", true, true, true, false, true});
    EXPECT_EQ(window.Pnl_MIDIFile->caption(), ""); // empty, not "File Not Set"
    EXPECT_EQ(window.Gauge_Progress->Progress(), 0);
    EXPECT_TRUE(window.MP_MIDI->FileName.empty());
    EXPECT_TRUE(window.MP_WAVE->FileName.empty());
}

TEST_F(ScreenStatesTest, AStateAboveFourChangesNothing) {
    window.MP_MIDI->FileName = song;
    window.ModeSet(2);
    window.ModeSet(5);
    window.ModeSet(0xFFFFFFFF);
    expectShape({"---", "Stop", "---", "Now Recording", true, false, false, true, false});
    EXPECT_EQ(window.MP_MIDI->FileName, song);
}

TEST_F(ScreenStatesTest, SelectChoosesAFileAndReSelectCancelledForgetsIt) {
    ui::FileDialogRequest asked;
    ui::setFileDialogHook([&](const ui::FileDialogRequest &r) -> std::optional<QString> {
        asked = r;
        return QString::fromStdString(song);
    });
    window.Btn_Select->click();
    EXPECT_EQ(asked.title, "MIDI File Select");
    EXPECT_EQ(asked.filter, "Standard MIDI File (*.mid)");
    EXPECT_EQ(window.MP_MIDI->FileName, song);
    EXPECT_EQ(window.Pnl_MIDIFile->caption().toStdString(), song);
    EXPECT_EQ(window.Pnl_State->caption(), "Standby OK");

    // "ReSelect", then cancel: state 0, with no file; the dialog offered the last one.
    ui::setFileDialogHook([&](const ui::FileDialogRequest &r) -> std::optional<QString> {
        asked = r;
        return std::nullopt;
    });
    window.Btn_Select->click();
    EXPECT_EQ(asked.previous.toStdString(), song);
    EXPECT_TRUE(window.MP_MIDI->FileName.empty());
    EXPECT_EQ(window.Btn_Select->caption(), "Select");
    EXPECT_EQ(window.Pnl_State->caption(), "Select MIDI File");
    EXPECT_FALSE(window.Btn_Record->isEnabled());
}

TEST_F(ScreenStatesTest, TheDirectoryButtonEntersTheChooser) {
    window.Btn_WAVEFileDirectory->click();
    EXPECT_TRUE(window.Pnl_Directory->isVisible());
    EXPECT_EQ(window.Pnl_State->caption(), "Select WAVE File Directory");
}
