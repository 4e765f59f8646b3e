// The error guard and the error box.
#include "app/Application.h"

#include "app/MainWindow.h"
#include "controls/PushButton.h"
#include "platform/Texts.h"
#include "settings/Title.h"
#include "ui/Dialogs.h"

#include <QSessionManager>
#include <QSocketNotifier>

#include <csignal>
#include <exception>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalWrite = -1;

void onQuitSignal(int) {
    // Only a write is safe here; the window thread does the rest.
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalWrite, &byte, 1);
}

} // namespace

const char *const TApplication::Title = kProgramTitle;

TApplication::TApplication(int &argc, char **argv) : QApplication(argc, argv) {
    setApplicationName(Title);
    setApplicationDisplayName(Title);
    // The texts of the layers below the window, in the window's language.
    platform::setTranslator([](const char *context, const char *text) {
        return QCoreApplication::translate(context, text).toStdString();
    });
}

std::string TApplication::ErrorBoxText(const std::string &message) {
    // Compared as bytes: the last byte of a multi-byte character is always
    // above the full stop, as the lead byte of a double-byte one was.
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        return message + ".";
    return message;
}

void TApplication::ShowException(const std::string &message) {
    // A press in progress ends without a click.
    if (QWidget *grabber = QWidget::mouseGrabber())
        grabber->releaseMouse();
    for (QWidget *w : QApplication::allWidgets())
        if (auto *button = qobject_cast<TPushButton *>(w))
            button->cancelPress();
    ui::messageBox(F1,
                   {translate("TApplication", Title), QString::fromStdString(ErrorBoxText(message)),
                    QMessageBox::Critical, QMessageBox::Ok});
}

bool TApplication::notify(QObject *receiver, QEvent *event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &e) {
        ShowException(e.what());
    } catch (...) {
        ShowException(translate("TApplication", "原因不明のエラー").toStdString());
    }
    return true;
}

void TApplication::InstallTranslation(const QLocale &locale) {
    if (translator_) {
        removeTranslator(translator_);
        delete translator_;
        translator_ = nullptr;
    }
    if (locale.language() == QLocale::Japanese)
        return;
    auto *english = new QTranslator(this);
    if (english->load(QStringLiteral(":/i18n/kestrune_en.qm"))) {
        installTranslator(english);
        translator_ = english;
    } else {
        delete english;
    }
}

void TApplication::InstallQuitSignals() {
    if (signalPipe_[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe_) != 0)
        return;
    g_signalWrite = signalPipe_[1];
    auto *notifier = new QSocketNotifier(signalPipe_[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char byte;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe_[0], &byte, 1);
        QuitSignalled();
    });
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    connect(this, &QGuiApplication::commitDataRequest, this,
            [](QSessionManager &) { SessionEnding(); });
}

void TApplication::SessionEnding() {
    if (F1)
        F1->FinishRunForExit();
}

void TApplication::QuitSignalled() {
    if (F1 && F1->isVisible())
        F1->close(); // the last window: the program ends after it
    else
        quit();
}
