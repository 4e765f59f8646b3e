// The program's push buttons: painted, never focused, clicked with the
// mouse only, on release over the button.
#pragma once

#include <QWidget>

#include <functional>

class TPushButton : public QWidget {
    Q_OBJECT
public:
    /// A flat button has no frame or background until the pointer is over it.
    explicit TPushButton(QWidget *parent = nullptr, bool flat = false);

    void setCaption(const QString &caption);
    QString caption() const { return caption_; }

    /// Runs when the left button is released over the button it was pressed on.
    std::function<void()> OnClick;
    /// Clicks as the mouse would: nothing when disabled.
    void click();
    /// Ends a press in progress without a click.
    void cancelPress();

protected:
    void paintEvent(QPaintEvent *) override;
    void mousePressEvent(QMouseEvent *) override;
    void mouseReleaseEvent(QMouseEvent *) override;
    void mouseMoveEvent(QMouseEvent *) override;
    void enterEvent(QEnterEvent *) override;
    void leaveEvent(QEvent *) override;
    void changeEvent(QEvent *) override;

private:
    bool flat_;
    bool pressed_ = false; // the left button went down on this button
    bool over_ = false;    // the pointer is over it
    QString caption_;
};
