// Time from process start to the title screen shown, median of 10 runs.
// The parent starts this program again as a child that does what the
// program's main() does and says "shown" once the window has been painted.
// Usage: bench_startup [runs]   (the platform is Qt's default, or offscreen
// when there is no display)
#include "app/Application.h"
#include "app/MainWindow.h"

#include <QElapsedTimer>
#include <QPaintEvent>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

class FirstPaint : public QObject {
public:
    bool eventFilter(QObject *target, QEvent *event) override {
        if (event->type() == QEvent::Paint && target == F1->Image_Title && !done_) {
            done_ = true;
            // The title picture is painted: report once that paint is done.
            QMetaObject::invokeMethod(
                qApp,
                [] {
                    std::printf("shown\n");
                    std::fflush(stdout);
                    QCoreApplication::exit(0);
                },
                Qt::QueuedConnection);
        }
        return false;
    }

private:
    bool done_ = false;
};

int child(int argc, char **argv) {
    if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    TApplication app(argc, argv);
    FirstPaint watcher;
    auto *window = new MainWindow;
    window->Image_Title->installEventFilter(&watcher);
    window->show();
    const int code = TApplication::exec();
    delete window;
    return code;
}

} // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0)
        return child(argc, argv);
    const int runs = argc > 1 ? std::atoi(argv[1]) : 10;
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QProcess process;
        QElapsedTimer timer;
        timer.start();
        process.start(argv[0], {"--child"});
        process.waitForReadyRead(10000);
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        process.waitForFinished(10000);
        if (!process.readAllStandardOutput().contains("shown")) {
            std::printf("run %d: the window was not shown\n", i);
            return 1;
        }
        times.push_back(ms);
        std::printf("%.1f ms\n", ms);
    }
    std::sort(times.begin(), times.end());
    std::printf("start to title screen: median %.1f ms over %d runs (target < 150 ms)\n",
                times[times.size() / 2], runs);
    return 0;
}
