// A frame clock and nothing else: what waking a Qt program's main thread at
// the meters' rate costs by itself, measured beside the program with its
// window shown. The window is the size of the program's and stays unpainted
// after it is first shown; the timer does nothing.

#include "Processes.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <cstdlib>
#include <unistd.h>

namespace bench {

int frameClock(int argc, char** argv)
{
    const int milliseconds = std::atoi(argv[2]);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QWidget window;
    window.resize(400, 530);
    window.show();
    QTimer clock;
    clock.setTimerType(Qt::PreciseTimer);  // as the meters' clock
    QObject::connect(&clock, &QTimer::timeout, [] {});
    clock.start(milliseconds);
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char c;
        if (read(0, &c, 1) <= 0)
            app.quit();
    });
    [[maybe_unused]] const auto written = write(1, "ready\n", 6);
    return app.exec();
}

} // namespace bench
