// The transactions of a long session: what following them costs, how much
// memory they take beyond the session log's own, and how long the pane
// takes to open over them and to jump to one in the middle.
//
//   build/bench/transactions_bench [megabytes]
//       Feeds a session log of `megabytes` (1024) of modem traffic, as the
//       session does (a command sent, its answer in reads of 511 bytes, a
//       URC now and then), into the log and the transaction log; then
//       shows the receive view and the pane over it on the offscreen
//       platform. Prints the transaction log's own time per MB, its rows
//       and resident memory, the process's resident memory before and
//       after the pane opened, the time to open the pane (shown and
//       painted) and to select the row in the middle (the view selects and
//       shows its bytes, both painted).
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
            const qint64 at = log.size();
            log.Append(step.reply.constData() + i, n);
            clock.start();
            transactions.Received(at, step.reply.constData() + i, n);
            trackerNs += clock.nsecsElapsed();
        }
    }
    const double fedMB = double(log.size()) / MB;
    std::printf("session log              %.0f MB (%.0f MB in memory), fed in %.1f s\n", fedMB,
                double(log.residentBytes()) / MB, double(wall.elapsed()) / 1000);
    std::printf("transaction log          %lld rows (%lld commands), %.2f ms per MB of log (%.1f s in all)\n",
                qlonglong(transactions.count()), qlonglong(transactions.commandCount()), trackerNs / 1e6 / fedMB,
                trackerNs / 1e9);
    std::printf("  resident               %.1f MB of records and texts (the rest in its temporary file)\n",
                double(transactions.memoryUsage()) / MB);

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
    PaintNow(app);
    const qint64 openMs = wall.elapsed();
    const qint64 afterPane = ResidentBytes();
    std::printf("pane                     opened over %lld rows in %lld ms\n", qlonglong(pane.model()->total()),
                qlonglong(openMs));

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

    std::printf("resident                 %.0f MB at start, %.0f MB with the view, %.0f MB with the pane open\n",
                double(startResident) / MB, double(beforePane) / MB, double(afterPane) / MB);
    std::printf("the pane's memory        %.1f MB beyond the log's own (the transaction log's records and texts, "
                "and what opening the pane added)\n",
                double(transactions.memoryUsage() + std::max<qint64>(afterPane - beforePane, 0)) / MB);
    return 0;
}
