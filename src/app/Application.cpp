// The error guard and the error box.
#include "app/Application.h"

#include "app/Dialogs.h"
#include "app/U1.h"
#include "controls/PushButton.h"

#include <exception>

const char *const TApplication::Title = "Kestrune v0.3";

TApplication::TApplication(int &argc, char **argv) : QApplication(argc, argv) {
    setApplicationName(Title);
    setApplicationDisplayName(Title);
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
                   {QString::fromStdString(Title), QString::fromStdString(ErrorBoxText(message)),
                    QMessageBox::Critical, QMessageBox::Ok});
}

bool TApplication::notify(QObject *receiver, QEvent *event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &e) {
        ShowException(e.what());
    } catch (...) {
        ShowException("原因不明のエラー");
    }
    return true;
}
