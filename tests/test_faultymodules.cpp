// qrvterm-run against modules that misbehave: never read, stop reading in
// the middle, drop the line before their OK, boot-loop, chatter without end,
// answer after the time-out, send garbage and half lines, drop the line in
// the middle of one. Each run is judged by what must hold for any run: it
// ends by itself within the bound its options imply, its reports are
// written and parse, no command is counted (or sent) twice, and the exit
// status agrees with the outcomes.
#include "commands/commandsetfiles.h"
#include "faultymodule.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <QXmlStreamReader>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <unistd.h>

namespace {

struct Run
{
    int exitStatus = -1; // -1: killed, or did not end by itself
    qint64 wallMs = 0;
    QByteArray out, err;
    QJsonObject json;
    bool junitParses = false;
    int junitCases = 0;
    QJsonArray commands() const { return json.value(QStringLiteral("commands")).toArray(); }
    QString outcome(int i) const { return commands().at(i).toObject().value(QStringLiteral("outcome")).toString(); }
    QString Told() const { return QString::fromUtf8(out + err); }
};

} // namespace

class TestFaultyModules : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_runs = 0;

    QString WriteSet(const QList<QByteArray> &commands)
    {
        const QString name = QStringLiteral("set%1").arg(++m_runs);
        if (SaveCommandSet(m_dir.path(), name, commands) != SaveResult::Saved)
            return QString();
        return CommandSetPath(m_dir.path(), name);
    }
    QString Link() { return m_dir.filePath(QStringLiteral("module%1").arg(m_runs + 1)); }

    // Runs the program against the module (the event loop turning, so the
    // module plays), killing it past hardLimitMs. signalAtMs >= 0 sends
    // signal to it then.
    Run Execute(QStringList arguments, qint64 hardLimitMs, int signalAtMs = -1, int signal = SIGTERM)
    {
        Run run;
        const QString json = m_dir.filePath(QStringLiteral("r%1.json").arg(m_runs));
        const QString junit = m_dir.filePath(QStringLiteral("r%1.xml").arg(m_runs));
        arguments << QStringLiteral("--json") << json << QStringLiteral("--junit") << junit;
        QProcess process;
        QElapsedTimer clock;
        clock.start();
        // QRV_RUNNER runs another build of the program against the same modules.
        process.start(qEnvironmentVariable("QRV_RUNNER", QStringLiteral(QRV_RUNNER_PATH)), arguments);
        if (!process.waitForStarted())
            return run;
        bool signalled = false;
        while (process.state() != QProcess::NotRunning && clock.elapsed() < hardLimitMs) {
            QTest::qWait(10);
            if (signalAtMs >= 0 && !signalled && clock.elapsed() >= signalAtMs) {
                ::kill(pid_t(process.processId()), signal);
                signalled = true;
            }
        }
        run.wallMs = clock.elapsed();
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        } else if (process.exitStatus() == QProcess::NormalExit) {
            run.exitStatus = process.exitCode();
        }
        run.out = process.readAllStandardOutput();
        run.err = process.readAllStandardError();
        QFile file(json);
        if (file.open(QIODevice::ReadOnly))
            run.json = QJsonDocument::fromJson(file.readAll()).object();
        QFile xml(junit);
        if (xml.open(QIODevice::ReadOnly)) {
            QXmlStreamReader reader(&xml);
            while (!reader.atEnd()) {
                if (reader.readNext() == QXmlStreamReader::StartElement && reader.name() == QLatin1String("testcase"))
                    ++run.junitCases;
            }
            run.junitParses = !reader.hasError();
        }
        return run;
    }

    // What holds for any run: it ended by itself within boundMs (plus the
    // close: at most a second of draining and the pause), wrote reports that
    // parse, counted each command once, sent no command more often than its
    // attempts, and its exit status agrees with what its commands did.
    void CheckRun(const Run &run, qint64 boundMs, const FaultyModule &module, const QList<QByteArray> &set)
    {
        const QString told = run.Told();
        QVERIFY2(run.exitStatus >= 0, qPrintable(QStringLiteral("did not end in %1 ms: ").arg(run.wallMs) + told));
        QVERIFY2(run.wallMs <= boundMs + 2500, qPrintable(QStringLiteral("%1 ms > bound %2 ms: ").arg(run.wallMs).arg(boundMs) + told));
        QVERIFY2(!run.json.isEmpty(), qPrintable(told));
        QVERIFY2(run.junitParses, qPrintable(told));
        QCOMPARE(run.json.value(QStringLiteral("exitStatus")).toInt(), run.exitStatus);
        const QJsonArray commands = run.commands();
        QCOMPARE(run.junitCases, int(commands.size()));
        // Every row is listed, run or not.
        QCOMPARE(commands.size(), set.size());
        bool allPassed = commands.size() == set.size();
        bool lost = false;
        for (int i = 0; i < commands.size(); ++i) {
            const QJsonObject c = commands.at(i).toObject();
            QCOMPARE(c.value(QStringLiteral("index")).toInt(), i + 1);
            const QString outcome = c.value(QStringLiteral("outcome")).toString();
            QVERIFY2(QStringList({QStringLiteral("passed"), QStringLiteral("failed"), QStringLiteral("timeout"),
                                  QStringLiteral("port-lost"), QStringLiteral("stopped"), QStringLiteral("not-run")})
                         .contains(outcome),
                     qPrintable(outcome));
            allPassed = allPassed
                        && (outcome == QLatin1String("passed")
                            || (outcome == QLatin1String("not-run") && c.value(QStringLiteral("why")).toString() == QLatin1String("empty row")));
            lost = lost || outcome == QLatin1String("port-lost");
            // Sent no more often than its attempts (a body's command goes
            // again with it, so bodies are not counted here).
            if (!c.value(QStringLiteral("body")).toBool()) {
                int attempts = std::max(1, c.value(QStringLiteral("attempts")).toInt());
                // A body sent again goes after its command again.
                const QJsonObject next = commands.at(i + 1).toObject();
                if (next.value(QStringLiteral("body")).toBool())
                    attempts += std::max(1, next.value(QStringLiteral("attempts")).toInt()) - 1;
                const QByteArray command = set.at(i);
                const int sent = int(std::count(module.heard.begin(), module.heard.end(), command));
                QVERIFY2(sent <= attempts * int(std::count(set.begin(), set.end(), command)),
                         qPrintable(QStringLiteral("%1 sent %2 times: ").arg(QString::fromLatin1(command)).arg(sent) + told));
            }
        }
        if (allPassed)
            QCOMPARE(run.exitStatus, 0);
        else
            QVERIFY2(run.exitStatus == 1 || run.exitStatus == 2 || run.exitStatus > 128, qPrintable(told));
        if (lost && run.exitStatus < 128)
            QCOMPARE(run.exitStatus, 2);
    }

    QStringList Args(const QString &link, const QString &set, const QStringList &more)
    {
        return QStringList {QStringLiteral("--port"), link, QStringLiteral("--speed"), QStringLiteral("115200")} + more
               + QStringList {set};
    }

    static void Ok(FaultyModule &m, const QByteArray &line) { m.Answer(line, "\r\nOK\r\n"); }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    // A module that never reads: every command times out within its write
    // bound, one of 20 KB as well; none waits behind another for ever.
    void neverReads()
    {
        QList<QByteArray> set;
        for (int i = 0; i < 8; ++i)
            set << "AT+QNOTE=" + QByteArray(4000, char('A' + i));
        set << "AT+QBIG=" + QByteArray(20000, 'x');
        FaultyModule module(Link(), [](FaultyModule &, const QByteArray &, int) {});
        module.StopReading();
        const QString file = WriteSet(set);
        // Per command: the time-out, its bytes' wire time (0.35 s, 1.7 s for
        // the big one) and as much again as a margin, the quiet after a
        // time-out (at most 3 s; here the line is quiet: 0.5 s).
        const Run run = Execute(Args(module.link(), file, {"--timeout", "0.5", "--keep-going"}), 60000);
        CheckRun(run, 9 * 1500 + 3000, module, set);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(run.commands().size(), set.size());
        for (int i = 0; i < set.size(); ++i)
            QCOMPARE(run.outcome(i), QStringLiteral("timeout"));
        QVERIFY2(run.commands().last().toObject().value(QStringLiteral("why")).toString().contains(
                     QLatin1String("did not take it")),
                 run.out.constData());
        QCOMPARE(run.exitStatus, 1);
    }

    // Reads two commands, then stops reading in the middle of the third.
    void stopsReadingMidCommand()
    {
        const QList<QByteArray> set = {"AT", "ATI", "AT+QLONG=" + QByteArray(30000, 'y'), "AT+CSQ"};
        FaultyModule module(Link(), [](FaultyModule &m, const QByteArray &line, int) {
            Ok(m, line);
            if (m.heard.size() == 2)
                m.StopReading();
        });
        const Run run = Execute(Args(module.link(), WriteSet(set), {"--timeout", "1", "--keep-going"}), 60000);
        CheckRun(run, 4 * 2000 + 3 * 3000 + 3000, module, set);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(run.outcome(0), QStringLiteral("passed"));
        QCOMPARE(run.outcome(1), QStringLiteral("passed"));
        QCOMPARE(run.outcome(2), QStringLiteral("timeout"));
        QCOMPARE(run.outcome(3), QStringLiteral("timeout"));
    }

    // Drops its line before the OK of every AT+CFUN=1,1: the reset is what
    // was asked for, so it passes, and it is sent once; the run goes on.
    void dropsTheLineBeforeOk()
    {
        const QList<QByteArray> set = {"AT", "AT+CFUN=1,1", "ATI", "AT+CSQ"};
        FaultyModule module(Link(), [](FaultyModule &m, const QByteArray &line, int) {
            if (line == "AT+CFUN=1,1") {
                m.Send(line + "\r");
                m.Drop(300);
            } else {
                Ok(m, line);
            }
        });
        const Run run = Execute(Args(module.link(), WriteSet(set), {"--timeout", "3", "--reconnect", "5"}), 60000);
        CheckRun(run, 4 * 6000 + 11 * 10000, module, set);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(run.exitStatus, 0);
        QCOMPARE(int(std::count(module.heard.begin(), module.heard.end(), QByteArray("AT+CFUN=1,1"))), 1);
        QCOMPARE(run.json.value(QStringLiteral("outages")).toArray().size(), 1);
        QVERIFY(run.commands().at(1).toObject().value(QStringLiteral("why")).toString().contains(QLatin1String("reset")));
        // The device it came back on is said with the outage.
        QVERIFY(run.json.value(QStringLiteral("outages")).toArray().at(0).toObject().value(QStringLiteral("device"))
                    .toString().startsWith(QLatin1String("/dev/pts/")));
    }

    // A module that drops its line at every command: with --keep-going each
    // command is told as port-lost and none is sent again; the outages are
    // limited.
    void dropsTheLineAtEveryCommand()
    {
        const QList<QByteArray> set = {"AT", "ATI", "AT+CSQ", "AT+CREG?", "AT+COPS?", "AT+CGSN"};
        FaultyModule module(Link(), [](FaultyModule &m, const QByteArray &, int) { m.Drop(100); });
        const Run run = Execute(Args(module.link(), WriteSet(set),
                                     {"--timeout", "2", "--reconnect", "2", "--max-outages", "3", "--keep-going"}),
                                60000);
        CheckRun(run, 6 * 4000 + 4 * (2000 + 5000), module, set);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(run.exitStatus, 2);
        QCOMPARE(run.json.value(QStringLiteral("outages")).toArray().size(), 4);
        QVERIFY(run.json.value(QStringLiteral("stopReason")).toString().contains(QLatin1String("at most 3")));
        // Four commands lost their line; the rest were not reached.
        for (int i = 0; i < run.commands().size(); ++i)
            QCOMPARE(run.outcome(i), i < 4 ? QStringLiteral("port-lost") : QStringLiteral("not-run"));
    }

    // Up 2 s, down 0.3 s, for ever, answering nothing: the first command
    // waiting when the line drops ends the run, at once.
    void bootLoops()
    {
        const QList<QByteArray> set = {"ATI", "AT+CSQ", "AT+CGSN"};
        FaultyModule module(Link(), [](FaultyModule &, const QByteArray &, int) {});
        module.BootLoop(2000, 300);
        const Run run = Execute(Args(module.link(), WriteSet(set), {"--timeout", "10", "--reconnect", "5"}), 60000);
        CheckRun(run, 2500, module, set);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(run.exitStatus, 2);
        QCOMPARE(run.outcome(0), QStringLiteral("port-lost"));
        QCOMPARE(int(std::count(module.heard.begin(), module.heard.end(), QByteArray("ATI"))), 1);
    }

    // After its reset it sends +CREG: 1 every 0.2 s without end: the quiet
    // wait after the reset has a limit, and the commands are answered amid
    // the URCs.
    void chattersWithoutEnd()
    {
        const QList<QByteArray> set = {"AT+CFUN=1,1", "ATI", "AT+CSQ"};
        // Restarting, it takes no command between its OK and the drop.
        auto restarting = std::make_shared<bool>(false);
        FaultyModule module(Link(), [restarting](FaultyModule &m, const QByteArray &line, int) {
            if (*restarting)
                return;
            m.Send(line + "\r\r\nOK\r\n");
            if (line == "AT+CFUN=1,1") {
                *restarting = true;
                QTimer::singleShot(50, &m, [&m, restarting] {
                    m.Drop(300);
                    m.Chatter("\r\n+CREG: 1\r\n", 200);
                    *restarting = false;
                });
            }
        });
        const Run run = Execute(Args(module.link(), WriteSet(set), {"--timeout", "3", "--reconnect", "5"}), 60000);
        // The reset and its drop, the outage, the quiet wait's limit (5 s),
        // two commands.
        CheckRun(run, 500 + 5000 + 5000 + 2 * 3000, module, set);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(run.exitStatus, 0);
        QVERIFY2(run.json.value(QStringLiteral("urcs")).toArray().size() >= 20, qPrintable(run.Told()));
        QVERIFY(run.wallMs >= 5000); // it did wait out the limit
    }

    // Answers its first command 1.3 s late (the time-out is 1 s), then ERROR
    // to the second: the late OK is the first one's, not the second's; and
    // once more with the late answer after the quiet wait, before the next
    // command's echo (a module that answers one command at a time).
    void answersAfterTheTimeout_data()
    {
        QTest::addColumn<int>("lateMs");
        QTest::newRow("within the quiet wait") << 1300;
        QTest::newRow("after the quiet wait") << 2200;
    }
    void answersAfterTheTimeout()
    {
        QFETCH(int, lateMs);
        const QList<QByteArray> set = {"AT+CGSN", "AT+CPIN?", "AT"};
        FaultyModule module(Link(), [lateMs](FaultyModule &m, const QByteArray &line, int) {
            if (line == "AT+CGSN")
                m.Answer(line, "\r\n864125034179267\r\n\r\nOK\r\n", lateMs);
            else if (line == "AT+CPIN?")
                m.Answer(line, "\r\nERROR\r\n");
            else
                Ok(m, line);
        });
        const Run run = Execute(Args(module.link(), WriteSet(set), {"--timeout", "1", "--keep-going"}), 60000);
        CheckRun(run, 3 * (1000 + 1000 + 3000), module, set);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(run.outcome(0), QStringLiteral("timeout"));
        QVERIFY2(run.commands().at(0).toObject().value(QStringLiteral("lateResult")).toString() == QLatin1String("OK"),
                 QJsonDocument(run.json).toJson().constData());
        QCOMPARE(run.outcome(1), QStringLiteral("failed"));
        QCOMPARE(run.commands().at(1).toObject().value(QStringLiteral("resultText")).toString(), QStringLiteral("ERROR"));
        QCOMPARE(run.outcome(2), QStringLiteral("passed"));
        QCOMPARE(run.exitStatus, 1);
    }

    // Garbage (control bytes, 0xFF, NUL, no line ends) and half lines around
    // its answers; and a module that drops its line in the middle of one.
    void garbageAndHalfLines()
    {
        const QList<QByteArray> set = {"AT", "ATI", "AT+CSQ"};
        FaultyModule module(Link(), [](FaultyModule &m, const QByteArray &line, int) {
            m.Send(QByteArray("\xFF\x00\x1b[2J\x80\xFE+CS", 11));
            m.Answer(line, QByteArray("\r\n\xFF\xFE\x01 half", 10) + "\r\nOK\r\n+CRE");
        });
        const Run run = Execute(Args(module.link(), WriteSet(set), {"--timeout", "1"}), 30000);
        CheckRun(run, 3 * 5000, module, set);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(run.exitStatus, 0);

        const QList<QByteArray> set2 = {"AT", "AT+CSQ", "ATI"};
        FaultyModule dropping(Link(), [](FaultyModule &m, const QByteArray &line, int) {
            if (line == "AT+CSQ") {
                m.Send("AT+CSQ\r\r\n+CSQ: 2");
                QTimer::singleShot(100, &m, [&m] { m.Drop(-1); });
            } else {
                Ok(m, line);
            }
        });
        const Run run2 = Execute(Args(dropping.link(), WriteSet(set2), {"--timeout", "5"}), 30000);
        CheckRun(run2, 2000, dropping, set2);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(run2.exitStatus, 2);
        QCOMPARE(run2.outcome(1), QStringLiteral("port-lost"));
        QCOMPARE(run2.commands().size(), 3);
        QCOMPARE(run2.outcome(2), QStringLiteral("not-run"));
    }

    // A retried message body goes after its command again: the module's
    // ERROR to the first body is the failure, and the second attempt, sent
    // after a new prompt, passes.
    void retriedBodyGoesWithItsCommand()
    {
        const QList<QByteArray> set = {"AT+CMGF=1", "AT+CMGS=\"10086\"", "hello"};
        FaultyModule module(Link(), [](FaultyModule &m, const QByteArray &line, int count) {
            if (line.startsWith("AT+CMGS"))
                m.Answer(line, "\r\n> ");
            else if (line == "hello")
                m.Answer(line, count == 1 ? "\r\nERROR\r\n" : "\r\n+CMGS: 7\r\n\r\nOK\r\n");
            else
                Ok(m, line);
        });
        QFile checks(m_dir.filePath(QStringLiteral("body.checks")));
        QVERIFY(checks.open(QIODevice::WriteOnly));
        checks.write("[3]\nretries = 2\npause = 0.2\n");
        checks.close();
        const Run run = Execute(Args(module.link(), WriteSet(set), {"--timeout", "2", "--expect", checks.fileName()}), 30000);
        CheckRun(run, 3 * 5000 + 3 * 5000, module, set);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(run.exitStatus, 0);
        const QJsonObject body = run.commands().at(2).toObject();
        QCOMPARE(body.value(QStringLiteral("attempts")).toInt(), 2);
        QCOMPARE(body.value(QStringLiteral("outcome")).toString(), QStringLiteral("passed"));
        QCOMPARE(module.heard, (QList<QByteArray> {"AT+CMGF=1", "AT+CMGS=\"10086\"", "hello", "AT+CMGS=\"10086\"", "hello"}));
    }

    // A run ended from outside: --deadline, and SIGTERM or SIGINT while a
    // command waits. The command waiting is stopped, the reports are written,
    // the exit status says so.
    void endedFromOutside()
    {
        const QList<QByteArray> set = {"AT", "AT+CSQ", "ATI"};
        FaultyModule module(Link(), [](FaultyModule &m, const QByteArray &line, int) {
            if (line == "AT")
                Ok(m, line);
        });
        const QString file = WriteSet(set);
        Run run = Execute(Args(module.link(), file, {"--timeout", "60", "--deadline", "1.5"}), 30000);
        CheckRun(run, 1500, module, set);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(run.exitStatus, 1);
        QCOMPARE(run.outcome(1), QStringLiteral("stopped"));
        QVERIFY(run.json.value(QStringLiteral("stopReason")).toString().contains(QLatin1String("deadline of 1.5 s")));

        module.heard.clear();
        run = Execute(Args(module.link(), file, {"--timeout", "60"}), 30000, 800, SIGTERM);
        CheckRun(run, 800, module, set);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(run.exitStatus, 128 + SIGTERM);
        QCOMPARE(run.outcome(1), QStringLiteral("stopped"));
        QCOMPARE(run.json.value(QStringLiteral("stopReason")).toString(), QStringLiteral("stopped by SIGTERM"));

        module.heard.clear();
        run = Execute(Args(module.link(), file, {"--timeout", "60"}), 30000, 800, SIGINT);
        CheckRun(run, 800, module, set);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(run.exitStatus, 128 + SIGINT);
    }
};

QTEST_GUILESS_MAIN(TestFaultyModules)
#include "test_faultymodules.moc"
