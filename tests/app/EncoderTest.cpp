// The MP3 encoding step: a real run with LAME, paths that a shell would
// split, a slow encoder the window waits for, and encoders that fail.
#include "app/Application.h"
#include "app/ExecWait.h"
#include "recording/RunPlan.h"
#include "support/EventLoop.h"
#include "support/RunFixture.h"

#include <QElapsedTimer>
#include <QTimer>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

class EncoderTest : public test::RunFixture {
protected:
    // A shell script as the encoder: it notes its arguments, then copies.
    std::string script(const std::string &path, const std::string &body) {
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        ::chmod(path.c_str(), 0755);
        return path;
    }
    void encodeWith(const std::string &encoder) {
        window.CB_MPEG1AudioLayerIIIEncode->setChecked(true);
        window.Edit_MPEG1AudioLayerIIIEncoderDirectory->setText(QString::fromStdString(encoder));
    }
    static std::string read(const std::string &path) {
        std::ifstream in(path);
        return {std::istreambuf_iterator<char>(in), {}};
    }
};

} // namespace

TEST_F(EncoderTest, LameWritesTheMp3BesideTheWave) {
    encodeWith("/usr/bin/lame");
    record();
    ASSERT_TRUE(waitForState0(20000));
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(std::filesystem::exists(output("tune.wav")));
    ASSERT_TRUE(std::filesystem::exists(output("tune.mp3")));
    EXPECT_GT(std::filesystem::file_size(output("tune.mp3")), 1000u);
}

TEST_F(EncoderTest, PathsReachTheEncoderWholeWhateverTheyHold) {
    const std::string odd = dir.path("it's a \"folder\" ü/");
    std::filesystem::create_directory(odd);
    const std::string notes = dir.path("args.txt");
    const std::string encoder =
        script(odd + "enc oder ü.sh", "printf '%s\\n' \"$#\" \"$1\" \"$2\" \"$PWD\" > '" + notes +
                                          "'\nexec /usr/bin/lame --silent \"$1\" \"$2\"");
    const std::string song2 = odd + "sóng 'one'.mid";
    std::filesystem::copy_file(song, song2);
    choose(song2);
    window.CB_PutQualityInformationonWAVEFileName->setChecked(true);
    encodeWith(encoder);
    record();
    ASSERT_TRUE(waitForState0());
    EXPECT_TRUE(boxes.empty());
    const std::string wave = odd + "sóng 'one'_44100162.wav";
    // The MP3 is written under a temporary name in its own folder, then
    // renamed into place.
    std::istringstream args(read(notes));
    std::string count, first, second, folder;
    std::getline(args, count);
    std::getline(args, first);
    std::getline(args, second);
    std::getline(args, folder);
    EXPECT_EQ(count, "2");
    EXPECT_EQ(first, wave);
    EXPECT_EQ(second.rfind(odd + ".kestrune-", 0), 0u) << second;
    EXPECT_EQ(folder, std::filesystem::current_path().string());
    EXPECT_FALSE(std::filesystem::exists(second));
    EXPECT_TRUE(std::filesystem::exists(wave));
    EXPECT_TRUE(HoldsMpegAudio(odd + "sóng 'one'_44100162.mp3"));
}

TEST_F(EncoderTest, TheWindowWaitsInStateFourAndKeepsHandlingEvents) {
    const std::string marker = dir.path("ran");
    encodeWith(script(dir.path("slow.sh"), "sleep 1\ntouch '" + marker +
                                               "'\nexec /usr/bin/lame --silent \"$1\" \"$2\""));
    bool sawStateFour = false;
    int ticks = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (window.Pnl_State->caption() == "MPEG1 Audio Layer III Encoding") {
            sawStateFour = true;
            ++ticks; // a timer runs while the encoder does
            EXPECT_FALSE(window.Btn_Select->isEnabled());
            EXPECT_EQ(window.Btn_Record->caption(), "---");
            EXPECT_FALSE(window.Pnl_Option->isEnabled());
        }
    });
    watch.start(50);
    record();
    ASSERT_TRUE(waitForState0(10000));
    EXPECT_TRUE(sawStateFour);
    EXPECT_GE(ticks, 5);
    EXPECT_TRUE(std::filesystem::exists(marker));
    EXPECT_TRUE(boxes.empty());
}

TEST_F(EncoderTest, EncodersThatCannotRunOrFailAreReported) {
    std::ofstream(dir.path("text.txt")) << "not a program\n";
    const struct {
        const char *name;
        std::string encoder;
        const char *says;
    } cases[] = {
        {"not a program", dir.path("text.txt"), "could not be started"},
        {"exits with 1", script(dir.path("fail.sh"), "exit 1"), "exit status 1"},
        {"killed", script(dir.path("killed.sh"), "kill -9 $$"), "signal 9"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        boxes.clear();
        choose(song);
        encodeWith(c.encoder);
        record();
        ASSERT_TRUE(waitForState0());
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, "Kestrune v0.3");
        EXPECT_NE(boxes[0].text.indexOf(QString::fromStdString(c.encoder)), -1);
        EXPECT_NE(boxes[0].text.indexOf(c.says), -1) << boxes[0].text.toStdString();
        EXPECT_TRUE(std::filesystem::exists(output())); // the WAVE file stays
    }
}

TEST_F(EncoderTest, AFolderOrAnEmptyPathSkipsEncodingSilently) {
    for (const std::string &encoder : {dir.root(), std::string()}) {
        choose(song);
        encodeWith(encoder);
        record();
        ASSERT_TRUE(waitForState0());
    }
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(std::filesystem::exists(output("tune.mp3")));
}

TEST_F(EncoderTest, TheChooserReplacesThePathOnlyWhenConfirmed) {
    ui::FileDialogRequest asked;
    ui::setFileDialogHook([&](const ui::FileDialogRequest &r) -> std::optional<QString> {
        asked = r;
        return QString("/usr/bin/lame");
    });
    window.Edit_MPEG1AudioLayerIIIEncoderDirectory->setText("/old/encoder");
    window.Btn_MP3EncoderDirectory->click();
    EXPECT_EQ(asked.title, "MPEG1 Audio Layer III Encoder Select");
    EXPECT_EQ(asked.filter, "8hz-mp3 Encoder (8hz-mp3.exe);;All Files (*)");
    EXPECT_EQ(window.Edit_MPEG1AudioLayerIIIEncoderDirectory->text(), "/usr/bin/lame");
    EXPECT_FALSE(window.CB_MPEG1AudioLayerIIIEncode->isChecked());
    ui::setFileDialogHook([](const ui::FileDialogRequest &) { return std::optional<QString>(); });
    window.Btn_MP3EncoderDirectory->click();
    ui::setFileDialogHook({});
    EXPECT_EQ(window.Edit_MPEG1AudioLayerIIIEncoderDirectory->text(), "/usr/bin/lame");
}

TEST_F(EncoderTest, EndingTheProgramWhileEncodingEndsTheEncoderAndKeepsTheWave) {
    static_cast<TApplication *>(qApp)->InstallQuitSignals();
    qApp->setQuitOnLastWindowClosed(false); // the tests go on after this one
    const std::string started = dir.path("started");
    const struct {
        const char *name;
        const char *encoderBody;
        std::function<void()> end;
    } cases[] = {
        {"SIGTERM", "", [] { std::raise(SIGTERM); }},
        {"SIGHUP", "", [] { std::raise(SIGHUP); }},
        {"window closed", "", [&] { window.close(); }},
        {"session ends", "", [] { TApplication::SessionEnding(); }},
        // An encoder that ignores SIGTERM is killed two seconds later.
        {"encoder ignores SIGTERM", "trap '' TERM\n", [] { std::raise(SIGINT); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(started.c_str());
        std::remove(output("tune.mp3").c_str());
        window.show();
        choose(song);
        // It writes part of its MP3 file, notes its process id, then hangs.
        encodeWith(script(dir.path("hang.sh"), std::string(c.encoderBody) +
                                                   "printf partial > \"$2\"\necho $$ > '" +
                                                   started + "'\nsleep 60\nexit 0"));
        QTimer watch;
        QElapsedTimer sinceEnd;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (!sinceEnd.isValid() && std::filesystem::exists(started) &&
                std::filesystem::file_size(started) > 0) {
                sinceEnd.start();
                c.end();
            }
        });
        watch.start(20);
        record();
        ASSERT_TRUE(waitForState0(8000));
        ASSERT_TRUE(sinceEnd.isValid());
        // It did not wait for the encoder's minute (SIGKILL comes after 2 s).
        EXPECT_LT(sinceEnd.elapsed(), 5000);
        EXPECT_TRUE(boxes.empty());
        // The encoder is gone, its unfinished MP3 file too; the WAVE stays.
        const pid_t encoder = std::stoi(read(started));
        EXPECT_NE(::kill(encoder, 0), 0);
        EXPECT_FALSE(std::filesystem::exists(output("tune.mp3")));
        EXPECT_GT(test::readWave(output()).frames(), 0);
    }
    qApp->setQuitOnLastWindowClosed(true);
}

TEST(ExecWait, WaitsForTheProcessAndReportsHowItEnded) {
    QObject window;
    const ProcessHandle missing = ExecProcess("/no/such/program", {}, "");
    EXPECT_FALSE(missing);
    EXPECT_NE(missing.error.find("No such file"), std::string::npos);
    const ProcessHandle ok = ExecProcess("/bin/sh", {"-c", "exit 0"}, "/");
    ASSERT_TRUE(ok);
    EXPECT_TRUE(ExecWait(&window, ok).succeeded());
    const ProcessHandle three = ExecProcess("/bin/sh", {"-c", "exit 3"}, "");
    const ProcessEnd end = ExecWait(&window, three);
    EXPECT_FALSE(end.succeeded());
    EXPECT_EQ(end.describe(), "exit status 3");
}
