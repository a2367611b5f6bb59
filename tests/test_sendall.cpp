// Send All from the window: the button's runs against a scripted pty peer
// and the simulated module, with the command list as the window holds it.

#include "app/simulatedport.h"
#include "dialogsupport.h"
#include "at/sendallengine.h"

#include <QElapsedTimer>
#include <QRadioButton>
#include <QTableWidget>
#include <QTest>

namespace {

// A main window on a pty whose module side the test plays.
struct Bench : PtyDialog
{
    QTableWidget *list = FindControl<QTableWidget>(d, "commandList");
    QPushButton *sendAll = FindControl<QPushButton>(d, "sendAllButton");

    void SetRows(const QStringList &commands)
    {
        list->setRowCount(0);
        for (const QString &c : commands) {
            FindControl<QPushButton>(d, "addButton")->click();
            list->item(list->rowCount() - 1, 1)->setText(c);
        }
    }
    void EndChar(const char *radio) { FindControl<QRadioButton>(d, radio)->setChecked(true); }

    // Plays the module until the run ends (or timeoutMs): each command
    // (ended by CR) is answered by reply(index); returns the commands with
    // the times (ms since the press) they arrived, and sets endedMs.
    struct Arrival
    {
        QByteArray command;
        qint64 ms;
    };
    QList<Arrival> Play(const std::function<QByteArray(int)> &reply, qint64 *endedMs, int timeoutMs = 10000)
    {
        QList<Arrival> got;
        QByteArray pending;
        QElapsedTimer clock;
        clock.start();
        sendAll->click();
        *endedMs = -1;
        while (clock.elapsed() < timeoutMs) {
            pending += pty.readFor(5);
            qsizetype cr;
            while ((cr = pending.indexOf('\r')) >= 0) {
                got.append({pending.left(cr), clock.elapsed()});
                pending.remove(0, cr + 1);
                const QByteArray answer = reply(int(got.size()) - 1);
                if (!answer.isEmpty())
                    pty.write(answer);
            }
            if (!d.Session().sendAllActive()) {
                *endedMs = clock.elapsed();
                break;
            }
        }
        return got;
    }
};

QStringList Commands(const QList<Bench::Arrival> &arrivals)
{
    QStringList out;
    for (const auto &a : arrivals)
        out << QString::fromLatin1(a.command);
    return out;
}

const QStringList kExample{"AT", "ATE0", "AT+CMGF=1", "AT+CSCA?", "AT+CMGR=1", "AT+CMGD=1"};

} // namespace

class TestSendAll : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TerminalDialog::SetPortLister([] { return QStringList(); });
        UseSimulatedModule();
    }

    void allCommandsInOrderOnePerReply();
    void nullEndCharLineBreaks();
    void rowsAddedOrDeletedDuringARun();
    void simulatedModuleInPieces();
    void closingTheWindowEndsTheRun();
    void stopEndsTheRunWithoutAnotherCommand();
};

void TestSendAll::allCommandsInOrderOnePerReply()
{
    Bench b;
    b.EndChar("endCrRadio");
    b.SetRows(kExample);
    qint64 ended = 0;
    bool greyedDuringRun = true;
    const auto got = b.Play(
        [&](int) {
            greyedDuringRun = greyedDuringRun && !b.sendAll->isEnabled();
            return QByteArray("\r\nOK\r\n");
        },
        &ended);
    QCOMPARE(Commands(got), kExample);
    QVERIFY(greyedDuringRun);
    QVERIFY(b.sendAll->isEnabled());
    QCOMPARE(b.d.Session().sendAll().Reason(), SendAllEngine::EndReason::EndOfList);
    // One command per reply, each at a later poll; the run ends about one
    // poll after the last write.
    for (int i = 1; i < got.size(); ++i)
        QVERIFY2(got[i].ms - got[i - 1].ms >= 50, qPrintable(QString::number(got[i].ms - got[i - 1].ms)));
    QVERIFY(ended >= got.last().ms);
    QVERIFY2(ended - got.last().ms <= 400, qPrintable(QString::number(ended - got.last().ms)));
}

// Under NULL each command of the run first adds CR LF to a log that is not
// empty (the command itself is not logged), and goes out without end bytes.
void TestSendAll::nullEndCharLineBreaks()
{
    Bench b;
    b.EndChar("endNullRadio");
    b.SetRows({"AT", "ATI"});
    b.log.Append("ready");
    b.d.SendAllClicked();
    QCOMPARE(b.pty.read(2, 1000), QByteArray("AT"));
    QCOMPARE(b.log.Text(), QByteArray("ready\r\n"));
    b.pty.write("OK");
    QCOMPARE(b.pty.read(3, 1000), QByteArray("ATI"));
    QTRY_VERIFY(!b.d.Session().sendAllActive());
    QCOMPARE(b.log.Text(), QByteArray("ready\r\nOK\r\n"));
}

void TestSendAll::rowsAddedOrDeletedDuringARun()
{
    {
        Bench b;
        b.EndChar("endCrRadio");
        b.SetRows({"AT", "ATE0"});
        qint64 ended = 0;
        const auto got = b.Play(
            [&](int i) {
                if (i == 0)
                    FindControl<QPushButton>(b.d, "addButton")->click(); // an empty row added
                return QByteArray("OK\r\n");
            },
            &ended);
        QCOMPARE(Commands(got), QStringList({"AT", "ATE0"}));
        QCOMPARE(b.d.Session().sendAll().Reason(), SendAllEngine::EndReason::EndOfList);
    }
    {
        Bench b;
        b.EndChar("endCrRadio");
        b.SetRows({"AT", "ATE0", "ATI"});
        qint64 ended = 0;
        const auto got = b.Play(
            [&](int i) {
                if (i == 0)
                    b.list->setRowCount(1); // the rows after the first deleted
                return QByteArray("OK\r\n");
            },
            &ended);
        QCOMPARE(Commands(got), QStringList({"AT"}));
        QCOMPARE(b.d.Session().sendAll().Reason(), SendAllEngine::EndReason::RowsGone);
        QVERIFY(b.sendAll->isEnabled());
    }
}

// The simulated module at 4800 baud sends its replies a few bytes at a
// time: an "OK" split between two reads still moves the run on.
void TestSendAll::simulatedModuleInPieces()
{
    SessionLog log;
    TerminalDialog d(log);
    d.SelectPort(TerminalDialog::kSimulatedPortName);
    FindControl<QRadioButton>(d, "endCrRadio")->setChecked(true);
    FindControl<QPushButton>(d, "startStopButton")->click();
    QVERIFY(d.Session().isOpen());
    QVERIFY(d.Session().ports().simulator());
    auto *list = FindControl<QTableWidget>(d, "commandList");
    for (const QString &c : kExample) {
        FindControl<QPushButton>(d, "addButton")->click();
        list->item(list->rowCount() - 1, 1)->setText(c);
    }
    d.SendAllClicked();
    QTRY_VERIFY_WITH_TIMEOUT(!d.Session().sendAllActive(), 15000);
    QCOMPARE(d.Session().sendAll().Reason(), SendAllEngine::EndReason::EndOfList);
    QCOMPARE(d.Session().sendAll().Sent(), kExample.size());
    // Every command was answered before the next went out: the last one's
    // reply arrives after the run ends, so wait for it.
    QTRY_VERIFY(log.Text().endsWith("OK\r\n"));
    const QByteArray text = log.Text();
    qsizetype at = 0;
    for (const QString &c : kExample.mid(0, 2)) { // echo is off after ATE0
        at = text.indexOf(c.toLatin1(), at);
        QVERIFY2(at >= 0, qPrintable(c));
    }
    QCOMPARE(text.count("OK\r\n"), kExample.size());
    FindControl<QPushButton>(d, "startStopButton")->click();
}

void TestSendAll::closingTheWindowEndsTheRun()
{
    Bench b;
    b.EndChar("endCrRadio");
    b.SetRows(kExample);
    b.sendAll->click();
    QCOMPARE(b.pty.read(3, 1000), QByteArray("AT\r"));
    QVERIFY(b.d.Session().sendAllActive());
    b.d.close();
    QVERIFY(!b.d.Session().sendAllActive());
    QVERIFY(!b.d.Session().isOpen());
    b.pty.write("OK\r\n");
    QCOMPARE(b.pty.readFor(300), QByteArray());
}

// Stop during a run ends it: no poll frames or logs a command during the
// close sequence's pause, nor after it.
void TestSendAll::stopEndsTheRunWithoutAnotherCommand()
{
    Bench b;
    b.EndChar("endSubRadio"); // every command sent is logged
    b.SetRows({"AT", "ATE0"});
    b.d.Session().setSendAllTiming(200, 20000); // the next poll falls inside the 500 ms pause
    b.sendAll->click();
    QCOMPARE(b.pty.read(3, 1000), QByteArray("AT\x1A"));
    b.pty.write("OK\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(b.d.Session().flags().okSeen, 150); // the reply is in, the poll not yet due
    b.ClickStartStop();
    QVERIFY(!b.d.Session().isOpen());
    QVERIFY(!b.d.Session().sendAllActive());
    QVERIFY(b.sendAll->isEnabled());
    const QByteArray logged("AT\x1AOK\r\n");
    QCOMPARE(b.log.Text(), logged);
    QTest::qWait(400);
    QCOMPARE(b.log.Text(), logged);
    QCOMPARE(b.pty.readFor(50), QByteArray());
}

QTEST_MAIN(TestSendAll)
#include "test_sendall.moc"
