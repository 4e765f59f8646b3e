#include "app/Timer.h"

#include "platform/Exception.h"

#include <QCoreApplication>

TTimer::TTimer(QObject *parent) : QObject(parent) {
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] {
        if (OnTimer)
            OnTimer();
    });
}

void TTimer::setEnabled(bool enabled) {
    if (enabled != enabled_) {
        enabled_ = enabled;
        update();
    }
}

void TTimer::setInterval(int ms) {
    if (ms != interval_) {
        interval_ = ms;
        update();
    }
}

void TTimer::update() {
    timer_.stop();
    if (enabled_ && interval_ > 0 && OnTimer) {
        timer_.start(interval_);
        if (!timer_.isActive())
            throw Exception(
                QCoreApplication::translate("TTimer", "タイマーを取得できません").toStdString());
    }
}
