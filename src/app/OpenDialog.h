// A file-open dialog with a title, a filter in "description|pattern" pairs,
// and the previous result, which pre-fills the name box.
#pragma once

#include <QObject>
#include <QString>

class QWidget;

class TOpenDialog : public QObject {
    Q_OBJECT
public:
    explicit TOpenDialog(QWidget *owner);

    QString Title;
    QString Filter;   // "Standard MIDI File (*.mid)|*.mid"
    QString FileName; // the previous result; the chosen full path after Execute

    /// Shows the dialog; true when the user confirmed a file.
    bool Execute();

    /// The filter in Qt's form: "Description (patterns)" entries joined by ";;".
    static QString QtFilter(const QString &filter);

private:
    QWidget *owner_;
};
