// The session's AT transactions: what the log of a conversation holds, read
// back from the session log, the same as the runner's report of the same
// module, and the pane over them.
#include "faultymodule.h"

#include "commands/commandsetfiles.h"
#include "runner/sessionreport.h"
#include "session/terminalsession.h"
#include "session/transactionlog.h"
#include "widgets/logview.h"
#include "widgets/transactionsmodel.h"
#include "widgets/transactionspane.h"

#include <QAccessible>
#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A recorded conversation: each command, then what the module sent after it.
struct Step
{
    QByteArray command;
    QByteArray reply;
};

const QList<Step> kConversation = {
    { "ATE1", "ATE1\r\r\nOK\r\n" },
    // A URC in the middle of the answer.
    { "AT+CSQ", "AT+CSQ\r\r\n+CMTI: \"SM\",3\r\n\r\n+CSQ: 17,99\r\n\r\nOK\r\n" },
    // A prompt, then the body ended by SUB.
    { "AT+CMGS=\"10086\"", "AT+CMGS=\"10086\"\r\r\n> " },
    { "hello\x1a", "hello\x1a\r\n+CMGS: 12\r\n\r\nOK\r\n" },
    { "ATE0", "ATE0\r\r\nOK\r\n" },
    // Echo off from here; an error; a two-line URC between commands.
    { "AT+CPIN?", "\r\n+CME ERROR: 10\r\n\r\n+CMT: ,24\r\n0791448720003023240DD0E474D81C0EBB010000111011315214000BE474D81C0EBB5DE3771B\r\n" },
    // No answer at all, then the same command answered.
    { "AT", "" },
    { "AT", "\r\nOK\r\n" },
};

// Puts the conversation into the log in pieces of `piece` bytes, the
// transactions reading after each (0: replies at once, read at the end);
// with marked, the terminal's copy of each command goes into the log too.
void Play(SessionLog &log, TransactionLog &transactions, int piece, bool marked)
{
    for (const Step &step : kConversation) {
        const qint64 at = log.size();
        if (marked)
            log.Append(step.command + "\r\n", SessionLog::Origin::Terminal);
        transactions.CommandSent(step.command, at);
        for (qsizetype i = 0; i < step.reply.size();) {
            const qsizetype n = piece > 0 ? std::min<qsizetype>(piece, step.reply.size() - i) : step.reply.size();
            log.Append(step.reply.constData() + i, n);
            if (piece > 0)
                transactions.CatchUp();
            i += n;
        }
    }
    transactions.CatchUp();
}

QList<QByteArray> Lines(std::initializer_list<const char *> lines)
{
    QList<QByteArray> out;
    for (const char *line : lines)
        out << line;
    return out;
}

} // namespace

class TestTransactions : public QObject
{
    Q_OBJECT

private slots:
    // The rows of a recorded conversation, whatever pieces the bytes come
    // in and whether the log holds the terminal's copy of the commands.
    void recordedConversation_data()
    {
        QTest::addColumn<int>("piece");
        QTest::addColumn<bool>("marked");
        QTest::newRow("whole replies") << 0 << false;
        QTest::newRow("byte by byte") << 1 << false;
        QTest::newRow("7-byte pieces, commands in the log") << 7 << true;
    }
    void recordedConversation()
    {
        QFETCH(int, piece);
        QFETCH(bool, marked);
        SessionLog log;
        TransactionLog t(log);
        // Commands are timed by their clock, answers by the log's.
        qint64 now = 1000;
        t.setClock([&now] { return now += 10; });
        log.setClock([&now] { return now += 10; });
        Play(log, t, piece, marked);

        // 8 commands, the +CMTI during the second, the +CMT pair after the sixth.
        QCOMPARE(t.count(), 10);
        QCOMPARE(t.commandCount(), 8);
        TransactionLog::Row r;
        QVERIFY(t.row(2, &r));
        QCOMPARE(r.kind, TransactionLog::Kind::Urc);
        QCOMPARE(r.number, 2);
        QCOMPARE(t.details(2).urc, QByteArray("+CMTI: \"SM\",3"));
        // A line's range holds its text and the CR or LF that ended it.
        QCOMPARE(log.Slice(r.from, r.to - r.from), QByteArray("+CMTI: \"SM\",3\r"));

        const auto command = [&](qsizetype row) { return t.details(row); };
        TransactionLog::Details d = command(1);
        QCOMPARE(d.command, QByteArray("AT+CSQ"));
        QVERIFY(d.echoed);
        QCOMPARE(d.info, Lines({"+CSQ: 17,99"}));
        QCOMPARE(d.final.code, AtFinalResult::Code::Ok);

        d = command(3);
        QCOMPARE(d.final.code, AtFinalResult::Code::Prompt);
        d = command(4);
        QCOMPARE(d.command, QByteArray("hello\x1a"));
        QVERIFY(d.echoed);
        QCOMPARE(d.info, Lines({"+CMGS: 12"}));

        d = command(6);
        QCOMPARE(d.command, QByteArray("AT+CPIN?"));
        QVERIFY(!d.echoed);
        QVERIFY(d.info.isEmpty());
        QCOMPARE(d.final.code, AtFinalResult::Code::CmeError);
        QCOMPARE(d.final.number, 10);
        QVERIFY(t.row(6, &r));
        QCOMPARE(r.errorNumber, 10);
        QVERIFY(r.resultMs > 0);

        QVERIFY(t.row(7, &r));
        QCOMPARE(r.kind, TransactionLog::Kind::Urc);
        QCOMPARE(r.number, 0);
        QVERIFY(t.details(7).urc.startsWith("+CMT: ,24\n0791"));

        // The AT nothing answered: ended by the next, without a result.
        QVERIFY(t.row(8, &r));
        QVERIFY(r.ended);
        QCOMPARE(r.finalCode, AtFinalResult::Code::None);
        QCOMPARE(r.resultMs, -1);
        QVERIFY(t.row(9, &r));
        QCOMPARE(r.finalCode, AtFinalResult::Code::Ok);
        QCOMPARE(t.openRow(), -1);

        // A command's range starts where the log stood when it was sent and
        // ends after its result: the terminal's copy, then its answer.
        QVERIFY(t.row(1, &r));
        const QByteArray bytes = log.Slice(r.from, r.to - r.from);
        QCOMPARE(bytes, (marked ? QByteArray("AT+CSQ\r\n") : QByteArray()) + kConversation[1].reply.chopped(1));
    }

    // Past its memory limit the rows go to a file and come back; the
    // memory stays near the limit; a Clear of the log empties it.
    void longSessionInBoundedMemory()
    {
        SessionLog log;
        TransactionLog t(log);
        t.setMemoryLimit(256 * 1024);
        constexpr int kCount = 60000;
        for (int i = 0; i < kCount; ++i) {
            const QByteArray command = "AT+CSQ=" + QByteArray::number(i);
            t.CommandSent(command, log.size());
            const QByteArray reply = command + "\r\r\n+CSQ: " + QByteArray::number(i % 32) + ",99\r\n\r\nOK\r\n";
            log.Append(reply);
        }
        // Nothing is read until asked for; then in slices, each call
        // getting on, the same rows as at once.
        QCOMPARE(t.count(), 0);
        QCOMPARE(t.unreadBytes(), log.size());
        int calls = 0;
        while (!t.CatchUp(0))
            ++calls;
        QVERIFY2(calls >= int(log.size() / (64 * 1024)), QByteArray::number(calls).constData());
        QCOMPARE(t.unreadBytes(), 0);
        QCOMPARE(t.count(), kCount);
        QVERIFY2(t.memoryUsage() < 1024 * 1024, QByteArray::number(t.memoryUsage()).constData());
        for (int i : {0, 12345, kCount / 2, kCount - 1}) {
            const TransactionLog::Details d = t.details(i);
            QCOMPARE(d.command, "AT+CSQ=" + QByteArray::number(i));
            QCOMPARE(d.info, QList<QByteArray> { "+CSQ: " + QByteArray::number(i % 32) + ",99" });
        }
        log.Clear();
        QCOMPARE(t.count(), 0);
        t.CommandSent("AT", log.size());
        QVERIFY(t.CatchUp());
        QCOMPARE(t.count(), 1);
        QCOMPARE(t.details(0).command, QByteArray("AT"));
    }

    // Saved as the runner's report: the same fields, decoded, pending said.
    void savedAsRunnerReport()
    {
        SessionLog log;
        TransactionLog t(log);
        Play(log, t, 0, false);
        t.CommandSent("AT+CGMI", log.size());
        // Not read yet: the report reads it.
        QCOMPARE(t.commandCount(), 8);
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        QString error;
        QVERIFY(WriteSessionReport(out, t, {QStringLiteral("M1"), QStringLiteral("sim"), QString(),
                                            QStringLiteral("115200 8N1"), QStringLiteral("CR")}, &error));
        QJsonParseError parse;
        const QJsonObject root = QJsonDocument::fromJson(out.data(), &parse).object();
        QCOMPARE(parse.error, QJsonParseError::NoError);
        QVERIFY(root.value(QStringLiteral("session")).toBool());
        QCOMPARE(root.value(QStringLiteral("exitStatus")).toInt(), 1);
        const QJsonArray commands = root.value(QStringLiteral("commands")).toArray();
        QCOMPARE(commands.size(), 9);
        const QJsonObject csq = commands.at(1).toObject();
        QCOMPARE(csq.value(QStringLiteral("index")).toInt(), 2);
        QCOMPARE(csq.value(QStringLiteral("outcome")).toString(), QStringLiteral("passed"));
        QCOMPARE(csq.value(QStringLiteral("decoded")).toObject().value(QStringLiteral("rssi_dbm")).toInt(), -79);
        QVERIFY(commands.at(3).toObject().value(QStringLiteral("body")).toBool());
        const QJsonObject pin = commands.at(5).toObject();
        QCOMPARE(pin.value(QStringLiteral("outcome")).toString(), QStringLiteral("failed"));
        QCOMPARE(pin.value(QStringLiteral("errorCode")).toInt(), 10);
        QCOMPARE(commands.at(6).toObject().value(QStringLiteral("outcome")).toString(), QStringLiteral("pending"));
        QVERIFY(commands.at(8).toObject().value(QStringLiteral("why")).toString().contains(QLatin1String("still waiting")));
        const QJsonArray urcs = root.value(QStringLiteral("urcs")).toArray();
        QCOMPARE(urcs.size(), 2);
        QCOMPARE(urcs.at(0).toObject().value(QStringLiteral("duringCommand")).toInt(), 2);
        QVERIFY(urcs.at(1).toObject().value(QStringLiteral("duringCommand")).isNull());
    }

    // The window's session and qrvterm-run against the same module (echo on
    // and off, a URC during a command, a prompt and its body, an error): the
    // same commands, echoes, replies, results and URCs.
    void sameAsTheRunner()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QList<QByteArray> set = { "ATE1", "AT+CSQ", "AT+CMGS=\"10086\"", "hello", "ATE0", "AT+CGMI", "AT+CPIN?", "AT" };
        const auto play = [](FaultyModule &m, const QByteArray &line, bool &echo) {
            const QByteArray command = QByteArray(line).replace('\r', QByteArray());
            QByteArray answer = "\r\nOK\r\n";
            if (command == "AT+CSQ")
                answer = "\r\n+CREG: 5\r\n\r\n+CSQ: 17,99\r\n\r\nOK\r\n";
            else if (command == "AT+CMGS=\"10086\"")
                answer = "\r\n> ";
            else if (command == "hello")
                answer = "\r\n+CMGS: 12\r\n\r\nOK\r\n";
            else if (command == "AT+CGMI")
                answer = "\r\nQRV\r\n\r\nOK\r\n";
            else if (command == "AT+CPIN?")
                answer = "\r\n+CME ERROR: 10\r\n";
            m.Answer(command, answer, 5, echo);
            if (command == "ATE0")
                echo = false;
        };
        bool runnerEcho = true;
        FaultyModule forRunner(dir.filePath(QStringLiteral("m1")),
                               [&](FaultyModule &m, const QByteArray &line, int) { play(m, line, runnerEcho); });
        QVERIFY(SaveCommandSet(dir.path(), QStringLiteral("set"), set) == SaveResult::Saved);
        const QString json = dir.filePath(QStringLiteral("run.json"));
        QProcess runner;
        runner.start(QStringLiteral(QRV_RUNNER_PATH),
                     {QStringLiteral("--port"), forRunner.link(), QStringLiteral("--keep-going"), QStringLiteral("--json"),
                      json, CommandSetPath(dir.path(), QStringLiteral("set"))});
        QVERIFY(runner.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(runner.state() == QProcess::NotRunning, 30000);
        QFile file(json);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject ran = QJsonDocument::fromJson(file.readAll()).object();

        bool sessionEcho = true;
        FaultyModule forSession(dir.filePath(QStringLiteral("m2")),
                                [&](FaultyModule &m, const QByteArray &line, int) { play(m, line, sessionEcho); });
        SessionLog log;
        TerminalSession session(log);
        SerialSettings settings;
        settings.portName = forSession.link();
        settings.baudRate = 115200;
        QCOMPARE(session.Open(settings), SerialSession::OpenResult::Opened);
        session.setEndChar(1);
        TransactionLog &t = session.transactions();
        for (qsizetype i = 0; i < set.size(); ++i) {
            // The body after the prompt goes with Ctrl+Z, as the runner sends it.
            session.setEndChar(set[i] == "hello" ? 4 : 1);
            QVERIFY(session.SendCommandText(set[i], false));
            QVERIFY(t.CatchUp());
            const qsizetype row = t.count() - 1;
            TransactionLog::Row r;
            QTRY_VERIFY_WITH_TIMEOUT(t.CatchUp() && t.row(row, &r) && r.ended, 5000);
        }
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        QString error;
        QVERIFY(WriteSessionReport(out, t, {}, &error));
        const QJsonObject seen = QJsonDocument::fromJson(out.data()).object();

        const QJsonArray a = ran.value(QStringLiteral("commands")).toArray();
        const QJsonArray b = seen.value(QStringLiteral("commands")).toArray();
        QCOMPARE(a.size(), set.size());
        QCOMPARE(b.size(), a.size());
        QCOMPARE(a.at(2).toObject().value(QStringLiteral("result")).toString(), QStringLiteral("PROMPT"));
        QVERIFY(a.at(3).toObject().value(QStringLiteral("body")).toBool());
        QCOMPARE(a.at(6).toObject().value(QStringLiteral("errorCode")).toInt(), 10);
        QVERIFY(a.at(5).toObject().value(QStringLiteral("echo")).isNull());
        for (qsizetype i = 0; i < a.size(); ++i)
            for (const char *key :
                 {"index", "command", "echo", "reply", "result", "resultText", "errorCode", "outcome", "body"})
                QVERIFY2(a.at(i).toObject().value(QLatin1String(key)) == b.at(i).toObject().value(QLatin1String(key)),
                         qPrintable(QStringLiteral("command %1, %2").arg(i + 1).arg(QLatin1String(key))));
        const QJsonArray ua = ran.value(QStringLiteral("urcs")).toArray();
        const QJsonArray ub = seen.value(QStringLiteral("urcs")).toArray();
        QCOMPARE(ub.size(), 1);
        QCOMPARE(ub.size(), ua.size());
        for (const char *key : {"text", "duringCommand"})
            QCOMPARE(ub.at(0).toObject().value(QLatin1String(key)), ua.at(0).toObject().value(QLatin1String(key)));
        session.Close();
    }

    // A long session: the table is given the rows on screen only; the
    // pane's bar, the keys and selectRow move over all of them.
    void paneShowsAWindowOfALongSession()
    {
        SessionLog log;
        TransactionLog t(log);
        LogView view;
        view.setLog(&log);
        constexpr int kCount = 5000;
        for (int i = 0; i < kCount; ++i) {
            const QByteArray command = "AT+N=" + QByteArray::number(i);
            t.CommandSent(command, log.size());
            const QByteArray reply = command + "\r\r\nOK\r\n";
            log.Append(reply);
        }
        view.logChanged(false);
        TransactionsPane pane(t, &view);
        pane.show();
        TransactionsModel *model = pane.model();
        // Read in the pane's slices.
        QTRY_COMPARE(model->total(), kCount);
        const auto commandAt = [&](int row) { return model->index(row, TransactionsModel::Command).data().toString(); };
        QCOMPARE(model->total(), kCount);
        QVERIFY2(model->rowCount() < 100, QByteArray::number(model->rowCount()).constData());
        const int visible = pane.scrollBar()->pageStep();
        // Opened at the end, the last row wholly in view.
        QCOMPARE(pane.scrollBar()->maximum(), kCount - visible);
        QCOMPARE(model->first(), kCount - visible);
        QCOMPARE(commandAt(visible - 1), QStringLiteral("AT+N=4999"));

        pane.scrollBar()->setValue(2500);
        QCOMPARE(commandAt(0), QStringLiteral("AT+N=2500"));
        pane.selectRow(4000);
        QCOMPARE(pane.selectedRow(), 4000);
        QVERIFY(view.selectedText().startsWith(QLatin1String("AT+N=4000")));
        QCOMPARE(commandAt(pane.table()->currentIndex().row()), QStringLiteral("AT+N=4000"));

        pane.table()->setFocus();
        QTest::keyClick(pane.table(), Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(pane.selectedRow(), kCount - 1);
        QCOMPARE(model->first(), kCount - visible);
        QTest::keyClick(pane.table(), Qt::Key_Down);
        QCOMPARE(pane.selectedRow(), kCount - 1);
        QTest::keyClick(pane.table(), Qt::Key_PageUp);
        QCOMPARE(pane.selectedRow(), kCount - 1 - (visible - 1));
        QTest::keyClick(pane.table(), Qt::Key_Home, Qt::ControlModifier);
        QCOMPARE(pane.selectedRow(), 0);
        QCOMPARE(model->first(), 0);
        QTest::keyClick(pane.table(), Qt::Key_Up);
        QCOMPARE(pane.selectedRow(), 0);
        QCOMPARE(view.selectedText().section(QLatin1Char('\n'), 0, 0), QStringLiteral("AT+N=0"));

        // Moved away from the end, new rows do not move it.
        const QByteArray more = "AT+N=5000";
        t.CommandSent(more, log.size());
        pane.refresh();
        QCOMPARE(model->first(), 0);
        QCOMPARE(model->total(), kCount + 1);
        QCOMPARE(pane.scrollBar()->maximum(), kCount + 1 - visible);
    }

    // The pane: rows follow the log, a URC in its own column, an error in
    // words, selecting a row selects its bytes in the view, and the cells
    // are read through accessibility.
    void paneFollowsAndSelects()
    {
        SessionLog log;
        TransactionLog t(log);
        LogView view;
        view.setLog(&log);
        TransactionsPane pane(t, &view);
        QCOMPARE(pane.model()->rowCount(), 0);
        QSignalSpy shown(&pane, &TransactionsPane::shownChanged);
        pane.show();
        QCOMPARE(shown.size(), 1);
        Play(log, t, 0, false);
        view.logChanged(false);
        pane.refresh();
        TransactionsModel *model = pane.model();
        QCOMPARE(model->rowCount(), 10);
        QCOMPARE(model->index(2, TransactionsModel::Unsolicited).data().toString(), QStringLiteral("+CMTI: \"SM\",3"));
        QVERIFY(model->index(2, TransactionsModel::Command).data().toString().isEmpty());
        QCOMPARE(model->index(1, TransactionsModel::Reply).data().toString(), QStringLiteral("+CSQ: 17,99"));
        QVERIFY(model->index(1, TransactionsModel::Meaning).data().toString().contains(QLatin1String("-79 dBm")));
        QVERIFY(model->index(6, TransactionsModel::Result).data().toString().contains(QLatin1String("SIM not inserted")));
        QCOMPARE(model->index(8, TransactionsModel::Result).data().toString(), QStringLiteral("no result"));

        // A command waiting shows so until its answer comes.
        t.CommandSent("AT+CGMI", log.size());
        pane.refresh();
        QCOMPARE(model->index(10, TransactionsModel::Result).data().toString(), QStringLiteral("waiting"));
        const QByteArray answer = "\r\nQRV\r\n\r\nOK\r\n";
        log.Append(answer);
        view.logChanged(false);
        pane.refresh();
        QCOMPARE(model->index(10, TransactionsModel::Result).data().toString(), QStringLiteral("OK"));

        pane.table()->selectRow(1);
        TransactionLog::Row r;
        QVERIFY(t.row(1, &r));
        QCOMPARE(view.selectionStart(), r.from);
        QCOMPARE(view.selectionEnd(), r.to);
        QVERIFY(view.selectedText().contains(QLatin1String("+CSQ: 17,99")));

        QAccessibleInterface *table = QAccessible::queryAccessibleInterface(pane.table());
        QVERIFY(table && table->tableInterface());
        QAccessibleInterface *cell = table->tableInterface()->cellAt(2, TransactionsModel::Unsolicited);
        QVERIFY(cell);
        QCOMPARE(cell->text(QAccessible::Name), QStringLiteral("+CMTI: \"SM\",3"));

        log.Clear();
        view.logChanged(false);
        pane.refresh();
        QCOMPARE(model->rowCount(), 0);
        pane.close();
        QCOMPARE(shown.size(), 2);
        QCOMPARE(shown.last().at(0).toBool(), false);
    }
};

QTEST_MAIN(TestTransactions)
#include "test_transactions.moc"
