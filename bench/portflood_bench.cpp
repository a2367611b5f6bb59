// The window's receive path on a port that another program floods: built
// for Linux and for Windows, so that the same flood over the same path
// (ser2net on 127.0.0.1 in front of a pty) is measured natively and under
// Wine (bench/wine_flood.sh drives both).
//
//   portflood_bench PORT BYTES RESULT_FILE
//
// Opens PORT in the window (TerminalDialog, session log, colouring view; the
// platform is offscreen unless told otherwise), writes RESULT_FILE.ready
// once the port is open, then takes bytes until BYTES came or nothing came
// for 5 s, and writes to RESULT_FILE (a Windows console program's output is
// lost under Wine when piped) one line:
//   received seconds process-cpu window-cpu sha256
// seconds from the first byte to the last; CPU seconds of the whole process
// and of the window's thread over the same time.
#include "console/terminaldialog.h"
#include "cputime.h"
#include "windowport.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: portflood_bench PORT BYTES RESULT_FILE\n");
        return 2;
    }
    const QString port = QString::fromLocal8Bit(argv[1]);
    const qint64 bytes = QByteArray(argv[2]).toLongLong();
    const QString resultFile = QString::fromLocal8Bit(argv[3]);

    SessionLog log;
    TerminalDialog dialog(log);
    if (!StartOnPort(dialog, port))
        return 1;
    QFile result(resultFile);
    if (!result.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(resultFile));
        return 1;
    }
    const qint64 start = log.size();
    QFile ready(resultFile + QStringLiteral(".ready"));
    if (!ready.open(QIODevice::WriteOnly))
        return 1;
    ready.close();

    // Sleeps between events as the window's loop does.
    QElapsedTimer clock, quiet;
    clock.start();
    quiet.start();
    qint64 seen = start;
    double cpu0 = 0, windowCpu0 = 0;
    qint64 firstNs = -1, lastNs = 0;
    double cpuAtLast = 0, windowCpuAtLast = 0;
    QEventLoop flood;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &flood, [&] {
        if (log.size() != seen) {
            if (firstNs < 0) {
                firstNs = clock.nsecsElapsed();
                cpu0 = ProcessCpuSeconds();
                windowCpu0 = ThreadCpuSeconds();
            }
            seen = log.size();
            lastNs = clock.nsecsElapsed();
            cpuAtLast = ProcessCpuSeconds();
            windowCpuAtLast = ThreadCpuSeconds();
            quiet.restart();
        }
        if (seen - start >= bytes || quiet.elapsed() >= 5000)
            flood.quit();
    });
    check.start(5);
    flood.exec();

    const qint64 received = log.size() - start;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (qint64 at = 0; at < received; at += 1 << 22)
        hash.addData(log.Slice(start + at, std::min<qint64>(1 << 22, received - at)));
    result.write(QStringLiteral("%1 %2 %3 %4 %5\n")
                     .arg(received)
                     .arg(double(lastNs - std::max<qint64>(firstNs, 0)) / 1e9, 0, 'f', 3)
                     .arg(cpuAtLast - cpu0, 0, 'f', 4)
                     .arg(windowCpuAtLast - windowCpu0, 0, 'f', 4)
                     .arg(QString::fromLatin1(hash.result().toHex()))
                     .toUtf8());
    result.close();
    dialog.Session().Close();
    return 0;
}
