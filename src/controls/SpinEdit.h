// The spin edit: a one-character number box changed only by its arrows or
// the Up and Down keys.
#pragma once

#include <QLineEdit>
#include <QTimer>

class TSpinEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TSpinEdit(QWidget *parent = nullptr);

    int MinValue = 0;
    int MaxValue = 5;
    int Increment = 1;

    /// The shown text, unclamped; empty or non-numeric text reads as 0.
    int Value() const;
    /// Shows the value clamped into MinValue to MaxValue.
    void setValue(int value);

    /// The arrows' width inside the right edge.
    static constexpr int kArrowWidth = 15;

protected:
    void paintEvent(QPaintEvent *) override;
    void keyPressEvent(QKeyEvent *) override;
    void mousePressEvent(QMouseEvent *) override;
    void mouseReleaseEvent(QMouseEvent *) override;
    void mouseMoveEvent(QMouseEvent *) override;
    void focusOutEvent(QFocusEvent *) override;
    void contextMenuEvent(QContextMenuEvent *) override {}

private:
    enum Arrow { None, Up, Down };
    Arrow arrowAt(const QPoint &pos) const;
    void step(Arrow arrow);
    void repeat();

    Arrow pressed_ = None;
    bool overPressed_ = false;
    QTimer repeat_;
};
