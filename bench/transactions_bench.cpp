// The transactions of a long session: what following them costs, how much
// memory they take beyond the session log's own, and how long the pane
// takes to open over them and to jump to one in the middle.
//
//   build/bench/transactions_bench [megabytes]
//       Feeds a session log of `megabytes` (1024) of modem traffic, as the
//       session does (a command sent, its answer in reads of 511 bytes, a
//       URC now and then), telling the transaction log of each command;
//       then shows the receive view and the pane over it on the offscreen
//       platform. Prints what telling the commands cost per MB, the time to
//       open the pane (shown and painted, its reading of the log begun),
//       the time until it has read the whole log in its slices and the
//       longest the window's event loop waited meanwhile, the rows and the
//       transaction log's resident memory, the process's resident memory
//       before the pane and after it read everything, and the time to
//       select the row in the middle (the view selects and shows its
//       bytes, both painted).
#include "residentmemory.h"
#include "session/sessionlog.h"
#include "session/transactionlog.h"
#include "widgets/lineindex.h"
#include "widgets/logview.h"
#include "widgets/transactionsmodel.h"
#include "widgets/transactionspane.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QStringEncoder>
#include <QTableView>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {

struct Step
{
    QByteArray command;
    QByteArray reply;
};

// A module's day: signal and registration polls, SMS listings with Chinese
// text, a network scan, data, an error now and then, URCs between.
QList<Step> Traffic()
{
    QStringEncoder gbk("GBK");
    QList<Step> steps;
    for (int n = 1; n <= 64; ++n) {
        steps.append(Step{"AT+CSQ", "AT+CSQ\r\r\n+CSQ: " + QByteArray::number(n % 32) + ",99\r\n\r\nOK\r\n"});
        steps.append(Step{"AT+CEREG?", "AT+CEREG?\r\r\n+CEREG: 2,5,\"1A2B\",\"01C2D3E4\",7\r\n\r\nOK\r\n"});
        QByteArray list = "AT+CMGL=\"ALL\"\r\r\n";
        for (int i = 1; i <= 3; ++i) {
            list += "+CMGL: " + QByteArray::number(i) + ",\"REC READ\",\"+8613800" + QByteArray::number(100000 + n)
                    + "\",,\"26/12/06,10:0" + QByteArray::number(i) + ":00+32\"\r\n";
            list += gbk.encode(QStringLiteral("短信测试第%1条：模块工作正常，信号强度良好。").arg(n)) + "\r\n";
        }
        steps.append(Step{"AT+CMGL=\"ALL\"", list + "\r\nOK\r\n"});
        if (n % 4 == 0)
            steps.append(Step{"AT+COPS=?", "AT+COPS=?\r\r\n+COPS: (2,\"CHINA MOBILE\",\"CMCC\",\"46000\"),(1,\"CHINA "
                                       "UNICOM\",\"UNICOM\",\"46001\"),,(0-4),(0-2)\r\n\r\nOK\r\n"});
        if (n % 8 == 0) {
            QByteArray data = "AT+QIRD=0,600\r\r\n+QIRD: 600\r\n";
            for (int i = 0; i < 600; ++i)
                data += "0123456789ABCDEF"[(i * 7 + n) % 16];
            steps.append(Step{"AT+QIRD=0,600", data + "\r\n\r\nOK\r\n"});
        }
        if (n % 5 == 0)
            steps.append(Step{"AT+CPIN?", "AT+CPIN?\r\r\n+CME ERROR: 10\r\n\r\n+CMTI: \"SM\"," + QByteArray::number(n) + "\r\n"});
    }
    return steps;
}

void PaintNow(QApplication &app)
{
    for (int i = 0; i < 5; ++i)
        app.processEvents(QEventLoop::AllEvents, 20);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const qint64 MB = 1024 * 1024;
    const qint64 megabytes = argc > 1 ? std::max(atoi(argv[1]), 1) : 1024;

    SessionLog log;
    TransactionLog transactions(log);
    const QList<Step> steps = Traffic();
    const qint64 startResident = ResidentBytes();
    qint64 trackerNs = 0;
    QElapsedTimer wall;
    wall.start();
    QElapsedTimer clock;
    for (qsizetype s = 0; log.size() < megabytes * MB; s = (s + 1) % steps.size()) {
        const Step &step = steps[s];
        clock.start();
        transactions.CommandSent(step.command, log.size());
        trackerNs += clock.nsecsElapsed();
        for (qsizetype i = 0; i < step.reply.size(); i += 511) {
            const qsizetype n = std::min<qsizetype>(511, step.reply.size() - i);
            log.Append(step.reply.constData() + i, n);
        }
    }
    const double fedMB = double(log.size()) / MB;
    // The commands' texts and marks, kept before the pane opens: counted in
    // the pane's memory, as they are kept for it.
    const qint64 toldBytes = transactions.memoryUsage();
    std::printf("session log              %.0f MB (%.0f MB in memory), fed in %.1f s\n", fedMB,
                double(log.residentBytes()) / MB, double(wall.elapsed()) / 1000);
    std::printf("commands told            %.3f ms per MB of log (%.3f s in all), %.1f MB resident\n",
                trackerNs / 1e6 / fedMB, trackerNs / 1e9, double(transactions.memoryUsage()) / MB);

    LogView view;
    view.resize(900, 600);
    view.setLog(&log);
    view.show();
    wall.start();
    view.logChanged(true);
    while (view.lineIndex().indexedSize() < log.size())
        app.processEvents(QEventLoop::AllEvents, 20);
    PaintNow(app);
    std::printf("receive view             indexed and shown in %.2f s (the log's own cost)\n",
                double(wall.elapsed()) / 1000);
    const qint64 beforePane = ResidentBytes();

    wall.start();
    TransactionsPane pane(transactions, &view);
    pane.show();
    app.processEvents();
    const qint64 openMs = wall.elapsed();
    std::printf("pane                     shown and painted in %lld ms, %lld rows read by then\n", qlonglong(openMs),
                qlonglong(pane.model()->total()));
    // The pane reads the rest in slices from its timers. A probe timer due
    // every 5 ms tells how long the window may not answer meanwhile: the
    // longest it was late.
    qint64 latestNs = 0;
    QElapsedTimer sinceProbe;
    sinceProbe.start();
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(5);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        latestNs = std::max(latestNs, sinceProbe.nsecsElapsed() - 5'000'000);
        sinceProbe.start();
    });
    probe.start();
    while (transactions.unreadBytes() > 0)
        app.processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    probe.stop();
    PaintNow(app);
    const qint64 readMs = wall.elapsed();
    const qint64 afterPane = ResidentBytes();
    std::printf("  read all               in %.1f s from the open (%.1f ms per MB); the window answered within "
                "%.1f ms throughout\n",
                double(readMs) / 1000, double(readMs) / fedMB, latestNs / 1e6);
    std::printf("transaction log          %lld rows (%lld commands), %.1f MB of records and texts resident "
                "(the rest in its temporary file)\n",
                qlonglong(transactions.count()), qlonglong(transactions.commandCount()),
                double(transactions.memoryUsage()) / MB);

    const qsizetype middle = pane.model()->total() / 2;
    wall.start();
    pane.selectRow(middle);
    PaintNow(app);
    const qint64 jumpMs = wall.elapsed();
    std::printf("jump to row %-12lld  %lld ms (the view selects %lld..%lld)\n", qlonglong(middle), qlonglong(jumpMs),
                qlonglong(view.selectionStart()), qlonglong(view.selectionEnd()));
    std::printf("  the row                %s | %s\n",
                qPrintable(pane.model()->index(int(middle - pane.model()->first()), TransactionsModel::Command).data().toString()),
                qPrintable(pane.model()->index(int(middle - pane.model()->first()), TransactionsModel::Result).data().toString()));

    std::printf("resident                 %.0f MB at start, %.0f MB with the view, %.0f MB with the pane open and "
                "all read\n",
                double(startResident) / MB, double(beforePane) / MB, double(afterPane) / MB);
    std::printf("the pane's memory        %.1f MB beyond the log's own (what the pane and its reading added)\n",
                double(std::max<qint64>(afterPane - beforePane, 0) + toldBytes) / MB);
    return 0;
}
