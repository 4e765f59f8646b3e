// The window's screens, frames, sizes and placement; the error guard and
// the error box.
#include "app/Application.h"
#include "app/MainWindow.h"
#include "support/TestFiles.h"
#include "ui/Dialogs.h"

#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// The designed sizes, scaled as the layout is by the window font's height.
QSize designed(const MainWindow &w, int width, int height) {
    const double scale = QFontMetrics(w.font()).height() / 12.0;
    return QSize(int(std::lround(width * scale)), int(std::lround(height * scale)));
}

QPoint centred(const QWidget &w) {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QSize outer = w.frameGeometry().size();
    return {std::max(0, (screen.width() - outer.width()) / 2),
            std::max(0, (screen.height() - outer.height()) / 2)};
}

} // namespace

TEST(Window, TitleAndRecordingScreensHaveTheirFramesAndSizes) {
    test::SettingsFile noSettings;
    MainWindow window;
    EXPECT_EQ(F1, &window);
    window.show();
    EXPECT_EQ(window.windowTitle(), "Kestrune v0.3");
    EXPECT_EQ(window.size(), designed(window, 352, 152));
    EXPECT_TRUE(window.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(window.Pnl_Title->isVisible());
    EXPECT_FALSE(window.Pnl_Main->isVisible());
    EXPECT_EQ(window.Pnl_Title->pos(), QPoint(0, 0));
    EXPECT_EQ(window.pos(), centred(window)); // centred at the first show

    window.move(10, 20);
    window.Mode_Record();
    EXPECT_TRUE(window.isVisible()); // shown again after the frame changed
    EXPECT_EQ(window.size(), designed(window, 404, 282));
    EXPECT_EQ(window.minimumSize(), window.maximumSize()); // a fixed dialog frame
    const Qt::WindowFlags flags = window.windowFlags();
    EXPECT_FALSE(flags & Qt::FramelessWindowHint);
    EXPECT_TRUE(flags & Qt::WindowTitleHint);
    EXPECT_FALSE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(window.pos(), centred(window)); // no stored position: centred
    EXPECT_TRUE(window.Pnl_Main->isVisible());
    EXPECT_FALSE(window.Pnl_Title->isVisible());
    EXPECT_EQ(window.Pnl_State->caption(), "Select MIDI File");

    window.move(30, 40);
    window.Btn_Close->click();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.size(), designed(window, 352, 152));
    EXPECT_TRUE(window.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(window.pos(), centred(window)); // the title screen always comes up centred
    EXPECT_EQ(window.Position(), MainWindow::poDesigned);
}

TEST(Window, ScreenCentreNeverGoesNegative) {
    MainWindow window;
    window.setFixedSize(5000, 4000); // larger than the screen
    window.show();
    EXPECT_EQ(window.pos(), QPoint(0, 0));
}

TEST(Window, QuitEndsTheEventLoop) {
    MainWindow window;
    window.show();
    bool quit = false;
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, [&] { quit = true; });
    QTimer::singleShot(0, &window, [&] { window.Btn_Title_Quit->click(); });
    QTimer::singleShot(3000, qApp, [] { QCoreApplication::exit(1); }); // a safety net
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(quit);
}

TEST(ErrorBox, AppendsAFullStopOnlyAfterCharactersAboveIt) {
    const std::pair<const char *, const char *> cases[] = {
        {"File not found", "File not found."},
        {"Done.", "Done."},
        {"Stop!", "Stop!"},
        {"", ""},
        {"(see log)", "(see log)"}, // ")" sorts below "."
        {"Error 42", "Error 42."},
        {"MCI デバイスがありません", "MCI デバイスがありません."},
    };
    for (auto [message, shown] : cases)
        EXPECT_EQ(TApplication::ErrorBoxText(message), shown) << message;
}

TEST(ErrorBox, AnErrorInAHandlerIsShownAndTheProgramGoesOn) {
    test::SettingsFile noSettings;
    MainWindow window;
    window.show();
    std::vector<ui::MessageBoxRequest> shown;
    ui::setMessageBoxHook([&](const ui::MessageBoxRequest &r) {
        shown.push_back(r);
        return QMessageBox::Ok;
    });
    // A press of "Select" with a device error raised in its handler.
    window.Mode_Record();
    window.Btn_Select->OnClick = [] { throw EMCIDeviceError("MCI デバイスがありません"); };
    QTest::mouseClick(window.Btn_Select, Qt::LeftButton);
    ui::setMessageBoxHook({});
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, "Kestrune v0.3");
    EXPECT_EQ(shown[0].text, "MCI デバイスがありません.");
    EXPECT_EQ(shown[0].icon, QMessageBox::Critical);
    EXPECT_EQ(shown[0].buttons, QMessageBox::Ok);
    // The window still works.
    window.ModeSet(4);
    EXPECT_EQ(window.Pnl_State->caption(), "MPEG1 Audio Layer III Encoding");
}

TEST(Window, AFileOnTheCommandLineStartsTheRecordingScreenWithItChosen) {
    test::SettingsFile noSettings;
    MainWindow window;
    window.show();
    const QString relative = "some folder/song.mid";
    window.OpenFromCommandLine(relative);
    EXPECT_TRUE(window.Pnl_Main->isVisible());
    EXPECT_FALSE(window.Pnl_Title->isVisible());
    // Chosen as "Select" would choose it: a full path, and standby.
    const std::string full = QDir::current().absoluteFilePath(relative).toStdString();
    EXPECT_EQ(window.MP_MIDI->FileName, full);
    EXPECT_EQ(window.Pnl_MIDIFile->caption().toStdString(), full);
    EXPECT_EQ(window.Pnl_State->caption(), "Standby OK");
    EXPECT_EQ(window.Btn_Record->caption(), "Record");
}

TEST(Window, NamingRoutinesReadTheControls) {
    test::SettingsFile noSettings;
    MainWindow window;
    window.MP_MIDI->FileName = "/music/Song.mid";
    window.CBox_RecordingQuality->setItemIndex(5);
    window.CB_PutQualityInformationonWAVEFileName->setChecked(true);
    window.CB_PreferencesWAVEFileDirectory->setChecked(true);
    window.Edit_WAVEFileDirectory->setText("/rec/");
    EXPECT_EQ(window.WavePath() + window.WaveName(), "/rec/Song_22050161.wav");
    window.CB_PreferencesWAVEFileDirectory->setChecked(false);
    EXPECT_EQ(window.WavePath(), "/music/");
    window.QualitySetting();
    EXPECT_EQ(window.TemplateBaseName, "KWQF0005");
    EXPECT_EQ(window.TemplateStoredName, "KWQF0005.bin");
    EXPECT_EQ(window.TemplateOpenName, "KWQF0005.wav");
    EXPECT_EQ(MainWindow::QualityPath(), MainWindow::EPath() + "binlib/");
}
