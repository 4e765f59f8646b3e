// Spin edit behaviour: refused typing, arrow steps with repeat, clamping.
#include "controls/SpinEdit.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QStyleOption>

#include <algorithm>

TSpinEdit::TSpinEdit(QWidget *parent) : QLineEdit(parent) {
    setMaxLength(1);
    setTextMargins(0, 0, kArrowWidth, 0);
    setAcceptDrops(false);
    setContextMenuPolicy(Qt::NoContextMenu);
    setFocusPolicy(Qt::ClickFocus);
    repeat_.setTimerType(Qt::PreciseTimer);
    connect(&repeat_, &QTimer::timeout, this, &TSpinEdit::repeat);
}

int TSpinEdit::Value() const {
    bool ok = false;
    const int v = text().trimmed().toInt(&ok);
    return ok ? v : 0;
}

void TSpinEdit::setValue(int value) {
    setText(QString::number(std::clamp(value, MinValue, MaxValue)));
}

TSpinEdit::Arrow TSpinEdit::arrowAt(const QPoint &pos) const {
    if (pos.x() < width() - kArrowWidth - 1 || pos.x() >= width() - 1 || pos.y() < 0 ||
        pos.y() >= height())
        return None;
    return pos.y() < height() / 2 ? Up : Down;
}

void TSpinEdit::step(Arrow arrow) {
    if (arrow == Up)
        setValue(Value() + Increment);
    else if (arrow == Down)
        setValue(Value() - Increment);
}

void TSpinEdit::repeat() {
    repeat_.setInterval(100);
    if (overPressed_)
        step(pressed_);
}

void TSpinEdit::keyPressEvent(QKeyEvent *e) {
    if (e->key() == Qt::Key_Up || e->key() == Qt::Key_Down) {
        step(e->key() == Qt::Key_Up ? Up : Down);
        return;
    }
    // Paste and cut are ignored; nothing can be typed.
    if (e->matches(QKeySequence::Paste) || e->matches(QKeySequence::Cut) ||
        e->matches(QKeySequence::Undo) || e->matches(QKeySequence::Redo))
        return;
    if (e->matches(QKeySequence::DeleteEndOfLine) || e->key() == Qt::Key_Delete ||
        (e->modifiers() & Qt::ShiftModifier && e->key() == Qt::Key_Insert))
        return;
    if (e->key() == Qt::Key_Backspace || e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter ||
        (!e->text().isEmpty() && e->text().at(0).isPrint())) {
        QApplication::beep();
        return;
    }
    QLineEdit::keyPressEvent(e);
}

void TSpinEdit::mousePressEvent(QMouseEvent *e) {
    const Arrow arrow = arrowAt(e->position().toPoint());
    if (arrow == None || e->button() != Qt::LeftButton) {
        QLineEdit::mousePressEvent(e);
        return;
    }
    pressed_ = arrow;
    overPressed_ = true;
    repeat_.start(400);
    update();
}

void TSpinEdit::mouseMoveEvent(QMouseEvent *e) {
    if (pressed_ == None) {
        QLineEdit::mouseMoveEvent(e);
        return;
    }
    const bool over = arrowAt(e->position().toPoint()) == pressed_;
    if (over != overPressed_) {
        overPressed_ = over;
        update();
    }
}

void TSpinEdit::mouseReleaseEvent(QMouseEvent *e) {
    if (pressed_ == None) {
        QLineEdit::mouseReleaseEvent(e);
        return;
    }
    repeat_.stop();
    const Arrow arrow = pressed_;
    pressed_ = None;
    update();
    if (e->button() == Qt::LeftButton && arrowAt(e->position().toPoint()) == arrow)
        step(arrow);
}

void TSpinEdit::focusOutEvent(QFocusEvent *e) {
    const int v = Value();
    if (v < MinValue || v > MaxValue)
        setValue(v);
    QLineEdit::focusOutEvent(e);
}

void TSpinEdit::paintEvent(QPaintEvent *e) {
    QLineEdit::paintEvent(e);
    QPainter p(this);
    const int left = width() - kArrowWidth - 1;
    const int half = height() / 2;
    for (Arrow arrow : {Up, Down}) {
        const QRect r(left, arrow == Up ? 1 : half, kArrowWidth,
                      arrow == Up ? half - 1 : height() - half - 1);
        QStyleOptionButton option;
        option.initFrom(this);
        option.rect = r;
        option.state |=
            (pressed_ == arrow && overPressed_) ? QStyle::State_Sunken : QStyle::State_Raised;
        style()->drawControl(QStyle::CE_PushButtonBevel, &option, &p, this);
        QStyleOption arrowOption;
        arrowOption.initFrom(this);
        arrowOption.rect = r.adjusted(3, 2, -3, -2);
        style()->drawPrimitive(arrow == Up ? QStyle::PE_IndicatorArrowUp
                                           : QStyle::PE_IndicatorArrowDown,
                               &arrowOption, &p, this);
    }
}
