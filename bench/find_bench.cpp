// Find over a long log, as the find bar runs it (LogSearch from the event
// loop): the time to the first match and to the whole count, and the longest
// the event loop was held meanwhile; then next and previous at once.
//
//   build/bench/find_bench [megabytes]   (200)
#include "session/logsearch.h"
#include "session/sessionlog.h"
#include "text/codepage936.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>

namespace {

// What a module sends, again and again: replies, SMS listings in Chinese.
QByteArray Block()
{
    QByteArray out;
    for (int n = 0; out.size() < 64 * 1024; ++n) {
        out += "AT+CSQ\r\r\n+CSQ: " + QByteArray::number(n % 32) + ",99\r\n\r\nOK\r\n";
        out += "AT+CMGL=\"ALL\"\r\r\n+CMGL: 1,\"REC READ\",\"+8613800100000\",,\"26/12/06,10:01:00+32\"\r\n";
        out += ToCodePage936(QStringLiteral("短信测试：模块工作正常，信号强度良好。\r\n"));
        out += "\r\nOK\r\n";
    }
    return out;
}

void Run(const SessionLog &log, const char *label, const QByteArray &pattern, bool caseSensitive)
{
    LogSearch search(log);
    QElapsedTimer clock;
    qint64 firstNs = -1;
    qint64 countedNs = -1;
    qint64 worstGapNs = 0;
    qint64 lastTick = 0;
    QEventLoop loop;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        worstGapNs = std::max(worstGapNs, now - lastTick);
        lastTick = now;
    });
    QObject::connect(&search, &LogSearch::firstFound, [&] { firstNs = clock.nsecsElapsed(); });
    QObject::connect(&search, &LogSearch::countChanged, [&](qsizetype, bool counted) {
        if (counted) {
            countedNs = clock.nsecsElapsed();
            loop.quit();
        }
    });
    clock.start();
    tick.start();
    search.start(GbkFinder(pattern, caseSensitive), 0);
    loop.exec();
    tick.stop();
    QElapsedTimer step;
    step.start();
    const qsizetype next = search.next(log.size() / 2);
    const double nextMs = double(step.nsecsElapsed()) / 1e6;
    step.restart();
    const qsizetype previous = search.previous(log.size() / 2);
    const double previousMs = double(step.nsecsElapsed()) / 1e6;
    std::printf("%-28s %9lld matches: first %8.3f ms, counted %8.1f ms, longest loop stall %6.2f ms; "
                "next from the middle %7.3f ms, previous %7.3f ms%s\n",
                label, qlonglong(search.count()), firstNs < 0 ? -1.0 : double(firstNs) / 1e6,
                double(countedNs) / 1e6, double(worstGapNs) / 1e6, nextMs, previousMs,
                (next < 0 && previous < 0) ? " (none)" : "");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int megabytes = argc > 1 ? std::max(1, atoi(argv[1])) : 200;
    SessionLog log;
    const QByteArray block = Block();
    while (log.size() < qsizetype(megabytes) * 1024 * 1024)
        log.Append(block);
    // One rare reply near the end.
    log.Append("\r\n+CPIN: SIM PIN\r\n");
    log.Append(block);
    std::printf("log of %.1f MB\n", double(log.size()) / (1024 * 1024));
    Run(log, "\"ok\" (any case)", "ok", false);
    Run(log, "\"+CSQ: 17,99\"", "+CSQ: 17,99", true);
    Run(log, "\"信号强度\" (GBK)", ToCodePage936(QStringLiteral("信号强度")), false);
    Run(log, "\"+cpin: sim pin\" (near the end)", "+cpin: sim pin", false);
    Run(log, "\"NO CARRIER\" (nowhere)", "NO CARRIER", false);
    return 0;
}
