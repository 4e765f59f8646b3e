// The progress gauge: a black bar on white in a black frame, with the
// percentage drawn inverted over it.
#pragma once

#include <QWidget>

class TGauge : public QWidget {
    Q_OBJECT
public:
    explicit TGauge(QWidget *parent = nullptr);

    int MinValue() const { return min_; }
    int MaxValue() const { return max_; }
    int Progress() const { return progress_; }
    /// Clamps into the range; redraws only when the shown percentage changes.
    void setProgress(int progress);

    /// trunc(100 × (progress − min) / (max − min)); 0 when max = min.
    int PercentDone() const;
    /// Where the bar ends (exclusive), in the gauge's own coordinates.
    int BarEnd() const;
    /// How many times the gauge has composed its picture (tests).
    int Paints() const { return paints_; }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    int min_ = 0;
    int max_ = 100;
    int progress_ = 0;
    int paints_ = 0;
};
