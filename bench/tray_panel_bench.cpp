// The tray application's panel: time from a click on the item to the panel's first frame, with
// 4 x 100 tasks loaded from the in-process demo instance. Needs an X server (bench/run uses Xvfb).

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>

#include "bench_profile.h"
#include "bench_tasks.h"
#include "desktop/app/trayline_app.h"
#include "desktop/platform/status_notifier_item.h"
#include "desktop/ui/tray_icon.h"

using namespace trayline;

namespace {

// Ends `loop` once the panel has painted and that frame has been flushed (the flush happens before
// control returns to the event loop).
class FirstFrame : public QObject {
public:
    explicit FirstFrame(QEventLoop& loop) : loop_(loop) {}
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && !painted_) {
            painted_ = true;
            QTimer::singleShot(0, &loop_, &QEventLoop::quit);
        }
        return false;
    }
    void reset() { painted_ = false; }

private:
    QEventLoop& loop_;
    bool painted_ = false;
};

qint64 openOnce(TraylineApp& app, FirstFrame& frame, QEventLoop& loop) {
    frame.reset();
    QElapsedTimer clock;
    clock.start();
    app.tray().togglePanel();  // what a click on the item does
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    loop.exec();
    const qint64 us = clock.nsecsElapsed() / 1000;
    app.tray().hidePanel();
    QApplication::processEvents();
    return us;
}

}  // namespace

int main(int argc, char** argv) {
    bench::BenchProfile profile;
    QApplication qtApp(argc, argv);
    demo::DemoInstance instance;
    instance.start();
    bench::BenchProfile::signIn(instance);
    bench::fillLists(instance);

    TraylineApp::Options options;
    options.hasApplicationIdentity = false;
    options.model.startPolling = false;
    TraylineApp app(std::move(options));
    QEventLoop waitRefresh;
    QObject::connect(&app.model(), &AppModel::refreshFinished, &waitRefresh, &QEventLoop::quit);
    app.model().refresh();
    waitRefresh.exec();

    app.tray().start();  // as at launch; prepares the panel while idle
    QApplication::processEvents();

    QEventLoop loop;
    FirstFrame frame(loop);
    app.tray().panel()->installEventFilter(&frame);
    const qint64 first = openOnce(app, frame, loop);
    std::vector<qint64> times;
    for (int i = 0; i < 20; ++i)
        times.push_back(openOnce(app, frame, loop));
    std::sort(times.begin(), times.end());
    std::printf("panel open, click -> first frame, %zu tasks loaded: first %.1f ms, then median of 20 "
                "%.1f ms (budget <= 100 ms)\n",
                app.model().myTasks().size() + app.model().groupTasks().size() +
                    app.model().doneThisMonth().size() + app.model().doneLastMonth().size(),
                first / 1000.0, times[times.size() / 2] / 1000.0);

    // What one count change costs the item: every size drawn and turned into the bus's pixmaps.
    const ui::TrayIconPainter painter;
    std::vector<qint64> renders;
    for (std::int64_t n = 0; n < 200; ++n) {
        QElapsedTimer clock;
        clock.start();
        SniPixmaps pixmaps;
        for (const QImage& image : painter.renderSet({n, n * 7, n % 2 == 0}))
            pixmaps.append(toSniPixmap(image));
        renders.push_back(clock.nsecsElapsed() / 1000);
    }
    std::sort(renders.begin(), renders.end());
    std::printf("icon set render per count change (6 sizes, with the bus's pixmaps): median of 200 %.2f ms "
                "(budget < 2 ms)\n", renders[renders.size() / 2] / 1000.0);
    return 0;
}
