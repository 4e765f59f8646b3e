// The window's timer: enabling it or changing its interval restarts it, and
// at most one tick is ever pending.
#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

class TTimer : public QObject {
    Q_OBJECT
public:
    explicit TTimer(QObject *parent = nullptr);

    bool Enabled() const { return enabled_; }
    void setEnabled(bool enabled);
    int Interval() const { return interval_; }
    void setInterval(int ms);

    std::function<void()> OnTimer;

private:
    void update();

    QTimer timer_;
    bool enabled_ = true;
    int interval_ = 1000;
};
