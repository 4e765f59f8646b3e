// The real dialogs behind the seam.
#include "ui/Dialogs.h"

#include <QFileDialog>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

namespace ui {
namespace {

MessageBoxHook g_messageBoxHook;
FileDialogHook g_fileDialogHook;

} // namespace

void setMessageBoxHook(MessageBoxHook hook) {
    g_messageBoxHook = std::move(hook);
}
void setFileDialogHook(FileDialogHook hook) {
    g_fileDialogHook = std::move(hook);
}

QMessageBox::StandardButton messageBox(QWidget *parent, const MessageBoxRequest &request) {
    if (g_messageBoxHook)
        return g_messageBoxHook(request);
    QMessageBox box(request.icon, request.caption, request.text, request.buttons, parent);
    box.setWindowModality(Qt::ApplicationModal);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

std::optional<QString> openFile(QWidget *parent, const FileDialogRequest &request) {
    if (g_fileDialogHook)
        return g_fileDialogHook(request);
    QFileDialog dialog(parent, request.title, QString(), request.filter);
    dialog.setFileMode(QFileDialog::AnyFile); // a typed name need not exist
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setWindowModality(Qt::ApplicationModal);
    if (!request.previous.isEmpty())
        dialog.selectFile(request.previous);
    // Centred across, a third of the way down the main window's monitor.
    QTimer::singleShot(0, &dialog, [&dialog, parent] {
        QScreen *screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
        const QRect area = screen->geometry();
        const QSize size = dialog.frameGeometry().size();
        dialog.move(area.left() + (area.width() - size.width()) / 2,
                    area.top() + (area.height() - size.height()) / 3);
    });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().first();
}

} // namespace ui
