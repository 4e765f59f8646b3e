#include "app/OpenDialog.h"

#include "ui/Dialogs.h"

#include <QStringList>
#include <QWidget>

TOpenDialog::TOpenDialog(QWidget *owner) : QObject(owner), owner_(owner) {}

QString TOpenDialog::QtFilter(const QString &filter) {
    const QStringList parts = filter.split('|');
    QStringList entries;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString description = parts[i];
        const QString patterns = QString(parts[i + 1]).replace(';', ' ');
        if (description.endsWith("(" + patterns + ")"))
            entries << description;
        else
            entries << description + " (" + patterns + ")";
    }
    return entries.join(";;");
}

bool TOpenDialog::Execute() {
    const auto chosen = ui::openFile(owner_, {Title, QtFilter(Filter), FileName});
    if (!chosen)
        return false;
    FileName = *chosen;
    return true;
}
