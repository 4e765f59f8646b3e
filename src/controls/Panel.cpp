// Panel drawing, and the input filter that makes a disabled panel deaf
// without greying what is on it.
#include "controls/Panel.h"

#include <QApplication>
#include <QEvent>
#include <QPainter>

namespace {

void drawBevel(QPainter &p, QRect r, const QColor &topLeft, const QColor &bottomRight) {
    p.setPen(topLeft);
    p.drawLine(r.left(), r.top(), r.right(), r.top());
    p.drawLine(r.left(), r.top(), r.left(), r.bottom());
    p.setPen(bottomRight);
    p.drawLine(r.right(), r.top(), r.right(), r.bottom());
    p.drawLine(r.left(), r.bottom(), r.right(), r.bottom());
}

bool isInput(QEvent::Type type) {
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Shortcut:
    case QEvent::ShortcutOverride:
    case QEvent::ContextMenu:
    case QEvent::HoverEnter:
    case QEvent::HoverMove:
    case QEvent::Enter:
        return true;
    default:
        return false;
    }
}

// One filter for the whole application: input for a widget on a disabled
// panel is dropped before it arrives.
class PanelInputFilter : public QObject {
public:
    bool eventFilter(QObject *target, QEvent *event) override {
        if (target->isWidgetType() && isInput(event->type()) &&
            TPanel::inputBlocked(static_cast<QWidget *>(target)))
            return true;
        return false;
    }
};

void installFilterOnce() {
    static PanelInputFilter *filter = [] {
        auto *f = new PanelInputFilter;
        qApp->installEventFilter(f);
        return f;
    }();
    (void)filter;
}

} // namespace

TPanel::TPanel(QWidget *parent) : QWidget(parent) {
    installFilterOnce();
    setAutoFillBackground(true);
}

void TPanel::setEnabled(bool enabled) {
    enabled_ = enabled;
}

bool TPanel::inputBlocked(const QWidget *widget) {
    for (const QWidget *w = widget; w; w = w->parentWidget()) {
        if (const auto *panel = qobject_cast<const TPanel *>(w); panel && !panel->enabled_)
            return true;
        if (w->isWindow())
            break;
    }
    return false;
}

void TPanel::paintEvent(QPaintEvent *) {
    QPainter p(this);
    p.fillRect(rect(), palette().button());
    if (!Caption.isEmpty()) {
        p.setPen(palette().buttonText().color());
        p.drawText(rect(), Qt::AlignCenter, Caption);
    }
    drawBevel(p, rect(), palette().light().color(), palette().dark().color());
}

TTextPanel::TTextPanel(QWidget *parent) : QWidget(parent) {}

void TTextPanel::setCaption(const QString &caption) {
    caption_ = caption;
    update();
}

void TTextPanel::paintEvent(QPaintEvent *) {
    QPainter p(this);
    const QRect outer = rect();
    const QRect inner = outer.adjusted(1, 1, -1, -1);
    p.fillRect(outer, palette().button());
    drawBevel(p, outer, palette().light().color(), palette().dark().color());
    drawBevel(p, inner, palette().dark().color(), palette().light().color());
    const QRect text = inner.adjusted(1, 1, -1, -1);
    p.setClipRect(text);
    p.setPen(palette().buttonText().color());
    // Centred with no elision: a text wider than the panel overflows both
    // sides equally and the clip cuts its beginning and its end.
    const int width = p.fontMetrics().horizontalAdvance(caption_);
    const QRect wide(text.center().x() - width / 2 - 1, text.top(), width + 2, text.height());
    p.drawText(wide, Qt::AlignCenter | Qt::TextSingleLine, caption_);
}
