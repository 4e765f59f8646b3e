// Modal dialogs and message boxes, run with exec() as the nested message
// loops the program relies on. Tests answer them through the hooks; the
// program always shows the real ones.
#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>
#include <optional>

class QWidget;

namespace ui {

struct MessageBoxRequest {
    QString caption;
    QString text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
};

struct FileDialogRequest {
    QString title;
    QString filter;   // Qt's form: "Description (*.ext)"; entries separated by ";;"
    QString previous; // the dialog's previous result, pre-filled in the name box
};

using MessageBoxHook = std::function<QMessageBox::StandardButton(const MessageBoxRequest &)>;
using FileDialogHook = std::function<std::optional<QString>(const FileDialogRequest &)>;

/// Tests only: answer message boxes and file dialogs without showing them.
void setMessageBoxHook(MessageBoxHook hook);
void setFileDialogHook(FileDialogHook hook);

/// Shows a modal message box owned by `parent`; returns the button pressed.
QMessageBox::StandardButton messageBox(QWidget *parent, const MessageBoxRequest &request);

/// Shows the modal open-file dialog; the full path chosen or typed, or
/// nothing when cancelled.
std::optional<QString> openFile(QWidget *parent, const FileDialogRequest &request);

} // namespace ui
