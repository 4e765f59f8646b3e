// Gauge geometry and its off-screen, exclusive-or composition.
#include "controls/Gauge.h"

#include <QImage>
#include <QPainter>

#include <algorithm>

TGauge::TGauge(QWidget *parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

int TGauge::PercentDone() const {
    if (max_ == min_)
        return 0;
    return static_cast<int>(100LL * (progress_ - min_) / (max_ - min_));
}

int TGauge::BarEnd() const {
    const int w = width() - 2 + 1; // inner width + 1
    return w * PercentDone() / 100;
}

void TGauge::setProgress(int progress) {
    const int before = PercentDone();
    progress_ = std::clamp(progress, min_, max_);
    if (PercentDone() != before)
        update();
}

void TGauge::paintEvent(QPaintEvent *) {
    ++paints_;
    // Compose the whole gauge off-screen, then copy it in one step.
    QImage image(size(), QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter p(&image);
        p.setPen(Qt::black);
        p.drawRect(0, 0, width() - 1, height() - 1);
        const int innerHeight = height() - 2;
        const int end = BarEnd();
        if (end > 1)
            p.fillRect(1, 1, end - 1, innerHeight, Qt::black);

        QFont f = font();
        f.setStyleStrategy(QFont::NoAntialias); // exclusive-or wants whole pixels
        p.setFont(f);
        const QString text = QString("%1%").arg(PercentDone());
        const QFontMetrics metrics(f);
        const int w = width() - 2 + 1;
        const int x = (w - metrics.horizontalAdvance(text)) / 2;
        const int y = (innerHeight + 1 - metrics.height()) / 2;
        p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
        p.setPen(Qt::white);
        p.drawText(QRect(x, y, metrics.horizontalAdvance(text), metrics.height()),
                   Qt::AlignLeft | Qt::AlignTop, text);
    }
    QPainter(this).drawImage(0, 0, image);
}
