// watch_bench: how long the window's thread is held when a reconnect wait
// ends (the device back, Stop): DeviceWatch stops watching /dev,
// /dev/serial/by-id and a link's folder. Median and worst of N rounds.
//
//   watch_bench [rounds]
#include "serial/devicewatch.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    DeviceWatch watch;
    std::vector<double> stop, start;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer clock;
        clock.start();
        watch.watch({QStringLiteral("/dev"), QStringLiteral("/dev/serial/by-id"), QDir::tempPath()});
        start.push_back(double(clock.nsecsElapsed()) / 1e6);
        clock.restart();
        watch.watch({});
        stop.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    std::sort(stop.begin(), stop.end());
    std::sort(start.begin(), start.end());
    std::printf("start watching: median %.3f ms, worst %.3f ms\n", start[start.size() / 2], start.back());
    std::printf("stop watching:  median %.3f ms, worst %.3f ms (%d rounds)\n", stop[stop.size() / 2], stop.back(), rounds);
    return 0;
}
