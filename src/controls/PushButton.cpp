// Push button painting (system frame, embossed disabled caption, flat
// title buttons) and the release-over-button click.
#include "controls/PushButton.h"

#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionButton>

TPushButton::TPushButton(QWidget *parent, bool flat) : QWidget(parent), flat_(flat) {
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_Hover);
    setMouseTracking(true);
}

void TPushButton::setCaption(const QString &caption) {
    caption_ = caption;
    update();
}

void TPushButton::click() {
    if (isEnabled() && OnClick)
        OnClick();
}

void TPushButton::cancelPress() {
    pressed_ = false;
    update();
}

void TPushButton::paintEvent(QPaintEvent *) {
    QPainter p(this);
    const bool sunken = pressed_ && over_;
    if (flat_) {
        // No frame and no background: the picture behind shows through,
        // with a thin edge while the pointer is over the button.
        if (over_ && isEnabled()) {
            const QColor light = palette().light().color();
            const QColor dark = palette().dark().color();
            const QRect r = rect().adjusted(0, 0, -1, -1);
            p.setPen(sunken ? dark : light);
            p.drawLine(r.topLeft(), r.topRight());
            p.drawLine(r.topLeft(), r.bottomLeft());
            p.setPen(sunken ? light : dark);
            p.drawLine(r.topRight(), r.bottomRight());
            p.drawLine(r.bottomLeft(), r.bottomRight());
        }
    } else {
        QStyleOptionButton option;
        option.initFrom(this);
        option.state &= ~QStyle::State_HasFocus;
        option.state |= sunken ? QStyle::State_Sunken : QStyle::State_Raised;
        style()->drawControl(QStyle::CE_PushButtonBevel, &option, &p, this);
    }
    QRect text = rect();
    if (sunken)
        text.translate(1, 1);
    if (isEnabled()) {
        p.setPen(palette().color(QPalette::Active, QPalette::ButtonText));
        p.drawText(text, Qt::AlignCenter | Qt::TextSingleLine, caption_);
    } else {
        // The embossed caption: highlight one pixel right and down, then
        // shadow in place.
        p.setPen(palette().color(QPalette::Active, QPalette::Light));
        p.drawText(text.translated(1, 1), Qt::AlignCenter | Qt::TextSingleLine, caption_);
        p.setPen(palette().color(QPalette::Active, QPalette::Dark));
        p.drawText(text, Qt::AlignCenter | Qt::TextSingleLine, caption_);
    }
}

void TPushButton::mousePressEvent(QMouseEvent *e) {
    if (e->button() != Qt::LeftButton)
        return;
    pressed_ = true;
    over_ = rect().contains(e->position().toPoint());
    update();
}

void TPushButton::mouseMoveEvent(QMouseEvent *e) {
    const bool over = rect().contains(e->position().toPoint());
    if (over != over_) {
        over_ = over;
        update();
    }
}

void TPushButton::mouseReleaseEvent(QMouseEvent *e) {
    if (e->button() != Qt::LeftButton || !pressed_)
        return;
    pressed_ = false;
    over_ = rect().contains(e->position().toPoint());
    update();
    if (over_)
        click();
}

void TPushButton::enterEvent(QEnterEvent *) {
    over_ = true;
    update();
}

void TPushButton::leaveEvent(QEvent *) {
    over_ = false;
    update();
}

void TPushButton::changeEvent(QEvent *e) {
    if (e->type() == QEvent::EnabledChange) {
        pressed_ = false;
        update();
    }
    QWidget::changeEvent(e);
}
