// Panels: the raised-bevel container panels of the two screens, and the
// one-line text panels with a raised outer and lowered inner bevel.
#pragma once

#include <QWidget>

/// A container panel with a 1-pixel raised bevel. Disabling it blocks all
/// input to the controls on it without greying them.
class TPanel : public QWidget {
    Q_OBJECT
public:
    explicit TPanel(QWidget *parent = nullptr);

    void setEnabled(bool enabled);
    bool isEnabled() const { return enabled_; }
    /// True when `widget` lies on a panel (this or an outer one) that is disabled.
    static bool inputBlocked(const QWidget *widget);

    QString Caption;

protected:
    void paintEvent(QPaintEvent *) override;

private:
    bool enabled_ = true;
};

/// A panel that shows one line of text, centred both ways and clipped at
/// both ends when it is wider than the panel (never shortened or wrapped).
class TTextPanel : public QWidget {
    Q_OBJECT
public:
    explicit TTextPanel(QWidget *parent = nullptr);
    void setCaption(const QString &caption);
    QString caption() const { return caption_; }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QString caption_;
};
