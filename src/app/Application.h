// The application with its error guard: every handler runs inside notify(),
// and an error it raises ends the handler and is shown in the error box.
#pragma once

#include <QApplication>
#include <QLocale>
#include <QTranslator>

#include <string>

class TApplication : public QApplication {
    Q_OBJECT
public:
    TApplication(int &argc, char **argv);

    /// The program's one name at run time.
    static const char *const Title;

    bool notify(QObject *receiver, QEvent *event) override;

    /// The error box: caption the title, a stop icon, OK.
    static void ShowException(const std::string &message);
    /// The error box's text: a full stop appended to a message whose last
    /// byte sorts after the full stop.
    static std::string ErrorBoxText(const std::string &message);

    /// The program's own texts, in Japanese, under a Japanese locale; under any
    /// other, the English translation of its Japanese ones.
    void InstallTranslation(const QLocale &locale = QLocale());

    /// SIGTERM, SIGINT and the end of the desktop session close the main
    /// window as its own close would, so that a recording in progress is
    /// saved before the program ends.
    void InstallQuitSignals();

    /// The desktop session is ending: a recording in progress is saved and
    /// an encoder still running is ended; the session then goes on.
    static void SessionEnding();

private:
    void QuitSignalled();
    int signalPipe_[2] = {-1, -1};
    QTranslator *translator_ = nullptr;
};
