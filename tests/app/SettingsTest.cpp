// The load and store passes through the real window: defaults, the file a
// store writes, the load edge cases, and a store that cannot write.
#include "app/Application.h"
#include "app/MainWindow.h"
#include "support/TestFiles.h"
#include "ui/Dialogs.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { window.show(); }
    void load(const std::string &keys) {
        settings.write("[Kestrune v0.3]\n" + keys);
        window.Mode_Record();
    }
    // The file as a store writes it, with the two positions blanked out.
    std::string stored() {
        window.Btn_Close->click();
        return std::regex_replace(settings.read(), std::regex("(Main Position \\w+)=-?\\d+"),
                                  "$1=#");
    }

    test::SettingsFile settings;
    MainWindow window;
};

QPoint centred(const QWidget &w) {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    return {(screen.width() - w.frameGeometry().width()) / 2,
            (screen.height() - w.frameGeometry().height()) / 2};
}

} // namespace

TEST_F(SettingsTest, WithoutAFileTheDefaultsShowAndCloseWritesTheTenKeys) {
    window.Mode_Record();
    EXPECT_EQ(window.CBox_RecordingQuality->ItemIndex(), 0);
    EXPECT_EQ(window.CBox_RecordingQuality->currentText(), "44100 Hertz / 16 bit / Stereo");
    EXPECT_FALSE(window.CB_RecordingDelayTime->isChecked());
    EXPECT_EQ(window.SE_RecordingDelayTime->text(), "2");
    EXPECT_FALSE(window.CB_PreferencesWAVEFileDirectory->isChecked());
    EXPECT_FALSE(window.CB_PutQualityInformationonWAVEFileName->isChecked());
    EXPECT_FALSE(window.CB_MPEG1AudioLayerIIIEncode->isChecked());
    EXPECT_TRUE(window.Edit_WAVEFileDirectory->text().isEmpty());
    EXPECT_TRUE(window.Edit_MPEG1AudioLayerIIIEncoderDirectory->text().isEmpty());
    EXPECT_EQ(window.pos(), centred(window));

    window.move(438, 312);
    window.Btn_Close->click();
    EXPECT_EQ(settings.read(), "[Kestrune v0.3]\n"
                               "Recording Quality=0\n"
                               "Recording Delay=0\n"
                               "Recording Delay Time=2\n"
                               "Preferences WAVE File Directory=0\n"
                               "WAVE File Directory=\n"
                               "Put Quality Information on WAVE File Name=0\n"
                               "MPEG1 Audio Layer III Encode=0\n"
                               "MPEG1 Audio Layer III Encoder Directory=\n"
                               "Main Position Top=312\n"
                               "Main Position Left=438\n");
    EXPECT_TRUE(window.Pnl_Title->isVisible());
}

TEST_F(SettingsTest, ValuesComeBackWhereTheyWereAndOtherContentStays) {
    settings.write("; mine\n[Elsewhere]\nx=1\n");
    window.Mode_Record();
    window.CBox_RecordingQuality->setItemIndex(7);
    window.CB_RecordingDelayTime->setChecked(true);
    window.SE_RecordingDelayTime->setValue(4);
    window.CB_PreferencesWAVEFileDirectory->setChecked(true);
    window.Edit_WAVEFileDirectory->setText("/home/me/Music rec/");
    window.CB_MPEG1AudioLayerIIIEncode->setChecked(true);
    window.Edit_MPEG1AudioLayerIIIEncoderDirectory->setText("/usr/bin/lame");
    window.move(120, 80);
    window.Btn_Close->click();
    EXPECT_EQ(settings.read().rfind("; mine\n[Elsewhere]\nx=1\n\n[Kestrune v0.3]\n", 0), 0u);

    MainWindow again;
    again.show();
    again.Mode_Record();
    EXPECT_EQ(again.CBox_RecordingQuality->ItemIndex(), 7);
    EXPECT_TRUE(again.CB_RecordingDelayTime->isChecked());
    EXPECT_EQ(again.SE_RecordingDelayTime->Value(), 4);
    EXPECT_TRUE(again.CB_PreferencesWAVEFileDirectory->isChecked());
    EXPECT_EQ(again.Edit_WAVEFileDirectory->text(), "/home/me/Music rec/");
    EXPECT_TRUE(again.CB_MPEG1AudioLayerIIIEncode->isChecked());
    EXPECT_EQ(again.Edit_MPEG1AudioLayerIIIEncoderDirectory->text(), "/usr/bin/lame");
    EXPECT_EQ(again.pos(), QPoint(120, 80));
}

TEST_F(SettingsTest, OutOfRangeQualityLeavesNoSelectionAndStoresMinusOne) {
    for (const char *value : {"12", "-5"}) {
        load(std::string("Recording Quality=") + value + "\n");
        EXPECT_EQ(window.CBox_RecordingQuality->ItemIndex(), -1) << value;
        EXPECT_NE(stored().find("Recording Quality=-1\n"), std::string::npos) << value;
    }
}

TEST_F(SettingsTest, DelayTimeIsClampedAndStoredClamped) {
    load("Recording Delay Time=9\n");
    EXPECT_EQ(window.SE_RecordingDelayTime->text(), "5");
    EXPECT_NE(stored().find("Recording Delay Time=5\n"), std::string::npos);
    load("Recording Delay Time=-3\n");
    EXPECT_EQ(window.SE_RecordingDelayTime->text(), "0");
    EXPECT_NE(stored().find("Recording Delay Time=0\n"), std::string::npos);
}

TEST_F(SettingsTest, BooleansReadAsNumbers) {
    const std::pair<const char *, bool> cases[] = {{"2", true},  {"-1", true},    {"1", true},
                                                   {"0", false}, {"true", false}, {"yes", false},
                                                   {"", false},  {"$10", true}};
    for (auto [text, checked] : cases) {
        load(std::string("Recording Delay=") + text + "\n");
        EXPECT_EQ(window.CB_RecordingDelayTime->isChecked(), checked) << text;
        EXPECT_NE(stored().find(std::string("Recording Delay=") + (checked ? "1" : "0") + "\n"),
                  std::string::npos)
            << text;
    }
}

TEST_F(SettingsTest, HexadecimalFormsSelectTheirIndex) {
    const std::pair<const char *, int> cases[] = {
        {"0x3", 3},
        {"$3", 3},
        {"x3", 3},
        {"3x", 0},
        {"-$3", 0},
        {" 5", 5},
        // Blanks around a value are the file's; quoted, a trailing one is the value's.
        {"5 ", 5},
        {"\"5 \"", 0}};
    for (auto [text, index] : cases) {
        load(std::string("Recording Quality=") + text + "\n");
        EXPECT_EQ(window.CBox_RecordingQuality->ItemIndex(), index) << text;
    }
}

TEST_F(SettingsTest, PositionsAreAppliedUnchangedAndOnlyBothMissingCentres) {
    load("Main Position Top=100\n");
    EXPECT_EQ(window.Top(), 100);
    EXPECT_EQ(window.Left(), -1000); // off the screen, and not centred
    load("Main Position Top=-1000\nMain Position Left=-1000\n");
    EXPECT_EQ(window.pos(), centred(window));
    load("Main Position Top=5000\nMain Position Left=-300\n");
    EXPECT_EQ(window.pos(), QPoint(-300, 5000));
}

TEST_F(SettingsTest, AWriteProtectedFileIsReportedAndTheRecordingScreenStays) {
    load("Recording Quality=2\n");
    ::chmod(settings.path().c_str(), 0444);
    std::vector<ui::MessageBoxRequest> shown;
    ui::setMessageBoxHook([&](const ui::MessageBoxRequest &r) {
        shown.push_back(r);
        return QMessageBox::Ok;
    });
    QTest::mouseClick(window.Btn_Close, Qt::LeftButton);
    ui::setMessageBoxHook({});
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text.toStdString(), settings.path() + " に書き込めません.");
    EXPECT_TRUE(window.Pnl_Main->isVisible());
    EXPECT_FALSE(window.Pnl_Title->isVisible());
    EXPECT_EQ(settings.read(), "[Kestrune v0.3]\nRecording Quality=2\n");
}

TEST_F(SettingsTest, TheJapaneseTextsAreEnglishUnderOtherLocales) {
    auto *app = static_cast<TApplication *>(qApp);
    std::vector<ui::MessageBoxRequest> shown;
    ui::setMessageBoxHook([&](const ui::MessageBoxRequest &r) {
        shown.push_back(r);
        return QMessageBox::Ok;
    });
    const std::pair<QLocale, std::string> locales[] = {
        {QLocale(QLocale::Japanese, QLocale::Japan), " に書き込めません."},
        {QLocale(QLocale::English, QLocale::UnitedKingdom), " cannot be written."},
        {QLocale(QLocale::German, QLocale::Germany), " cannot be written."},
    };
    for (const auto &[locale, says] : locales) {
        SCOPED_TRACE(locale.name().toStdString());
        app->InstallTranslation(locale);
        shown.clear();
        load("Recording Quality=2\n");
        ::chmod(settings.path().c_str(), 0444);
        QTest::mouseClick(window.Btn_Close, Qt::LeftButton);
        ::chmod(settings.path().c_str(), 0644);
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].text.toStdString(), settings.path() + says);
        // The texts the program shows in English stay as they are.
        EXPECT_EQ(window.Btn_Record->caption(), "---");
        EXPECT_EQ(window.CBox_RecordingQuality->itemText(0), "44100 Hertz / 16 bit / Stereo");
        EXPECT_EQ(window.windowTitle(), "Kestrune v0.3");
    }
    app->InstallTranslation(QLocale(QLocale::Japanese));
    ui::setMessageBoxHook({});
}

TEST_F(SettingsTest, AFolderNameWithALineBreakIsRefusedWithoutDamage) {
    load("Recording Quality=1\n");
    window.Edit_WAVEFileDirectory->setText("/tmp/odd\nMain Position Top=1/");
    std::vector<ui::MessageBoxRequest> shown;
    ui::setMessageBoxHook([&](const ui::MessageBoxRequest &r) {
        shown.push_back(r);
        return QMessageBox::Ok;
    });
    QTest::mouseClick(window.Btn_Close, Qt::LeftButton);
    ui::setMessageBoxHook({});
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].text.toStdString().find("に書き込めません"), std::string::npos);
    // The keys before it were written; nothing else came in.
    const std::string text = settings.read();
    EXPECT_EQ(text.find("odd"), std::string::npos);
    EXPECT_EQ(text.find("\nWAVE File Directory="), std::string::npos);
    EXPECT_NE(text.find("Preferences WAVE File Directory=0"), std::string::npos);
    EXPECT_TRUE(window.Pnl_Main->isVisible());
}

TEST_F(SettingsTest, ALargeSettingsFileIsReadAndRewrittenWhole) {
    // Another tool's section with one very long line, before ours.
    const std::string blob = "blob=" + std::string(10u << 20, 'x');
    settings.write("[Another Tool]\n" + blob +
                   "\n\n[Kestrune v0.3]\nRecording Quality=4\n"
                   "WAVE File Directory=/rec/\n");
    window.Mode_Record();
    EXPECT_EQ(window.CBox_RecordingQuality->ItemIndex(), 4);
    EXPECT_EQ(window.Edit_WAVEFileDirectory->text(), "/rec/");
    window.Btn_Close->click();
    const std::string after = settings.read();
    EXPECT_EQ(after.compare(0, 15 + blob.size() + 1, "[Another Tool]\n" + blob + "\n"), 0);
    for (const char *key :
         {"Recording Quality=4", "Recording Delay=", "Recording Delay Time=",
          "Preferences WAVE File Directory=", "WAVE File Directory=/rec/",
          "Put Quality Information on WAVE File Name=", "MPEG1 Audio Layer III Encode=",
          "MPEG1 Audio Layer III Encoder Directory=", "Main Position Top=", "Main Position Left="})
        EXPECT_NE(after.find(std::string("\n") + key), std::string::npos) << key;
}

TEST_F(SettingsTest, AFifoAsTheSettingsFileIsRefusedByNameAndNothingWaitsOnIt) {
    ASSERT_EQ(::mkfifo(settings.path().c_str(), 0644), 0);
    // Should the program wait on the FIFO, a writer opened from here after
    // ten seconds lets it go on, and the test fails instead of hanging.
    std::atomic<bool> done{false}, hadToRelease{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 1000 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        while (!done) {
            const int fd = ::open(settings.path().c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                hadToRelease = true;
                ::close(fd);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    std::vector<ui::MessageBoxRequest> shown;
    ui::setMessageBoxHook([&](const ui::MessageBoxRequest &r) {
        shown.push_back(r);
        return QMessageBox::Ok;
    });
    window.Mode_Record(); // the defaults
    EXPECT_EQ(window.CBox_RecordingQuality->ItemIndex(), 0);
    QTest::mouseClick(window.Btn_Close, Qt::LeftButton);
    ui::setMessageBoxHook({});
    done = true;
    watchdog.join();
    EXPECT_FALSE(hadToRelease);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text.toStdString(), settings.path() + " に書き込めません.");
    struct stat st {};
    ASSERT_EQ(::stat(settings.path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)); // left as it was
}
