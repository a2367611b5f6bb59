// qrvterm-run end to end: the program itself, run against the simulated
// module and against a pseudo-terminal the test plays, judged by its exit
// status and its reports.
#include "commands/commandsetfiles.h"
#include "runner/runreport.h"
#include "fakedevicetree.h"
#include "ptypair.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <QRegularExpression>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

struct Run
{
    int exitStatus = -1;
    QByteArray out, err;
    QJsonObject json;
    QJsonArray commands() const { return json.value(QStringLiteral("commands")).toArray(); }
    QJsonObject command(int i) const { return commands().at(i).toObject(); }
};

} // namespace

class TestRunner : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString WriteSet(const QString &name, const QList<QByteArray> &commands)
    {
        if (SaveCommandSet(m_dir.path(), name, commands) != SaveResult::Saved)
            return QString();
        return CommandSetPath(m_dir.path(), name);
    }

    // Runs the program to its end, the event loop turning meanwhile (the
    // test may be playing the module on a pty).
    Run Execute(QStringList arguments)
    {
        Run run;
        const QString json = m_dir.filePath(QStringLiteral("report.json"));
        QFile::remove(json);
        arguments << QStringLiteral("--json") << json;
        QProcess process;
        process.start(QStringLiteral(QRV_RUNNER_PATH), arguments);
        if (!process.waitForStarted())
            return run;
        QElapsedTimer clock;
        clock.start();
        while (process.state() != QProcess::NotRunning && clock.elapsed() < 60000)
            QTest::qWait(10);
        run.out = process.readAllStandardOutput();
        run.err = process.readAllStandardError();
        if (process.exitStatus() == QProcess::NormalExit && process.state() == QProcess::NotRunning)
            run.exitStatus = process.exitCode();
        QFile file(json);
        if (file.open(QIODevice::ReadOnly))
            run.json = QJsonDocument::fromJson(file.readAll()).object();
        return run;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void exampleSetPasses()
    {
        QVERIFY(WriteExampleCommandSet(m_dir.path()));
        const QString junit = m_dir.filePath(QStringLiteral("report.xml"));
        const Run run = Execute({QStringLiteral("--port"), QStringLiteral("Simulated module"), QStringLiteral("--speed"),
                                 QStringLiteral("115200"), QStringLiteral("--end"), QStringLiteral("CR"),
                                 QStringLiteral("--junit"), junit, CommandSetPath(m_dir.path(), QStringLiteral("example"))});
        QVERIFY2(run.exitStatus == 0, run.out + run.err);
        QCOMPARE(run.commands().size(), 6);
        for (const QJsonValue &value : run.commands()) {
            const QJsonObject c = value.toObject();
            QCOMPARE(c.value(QStringLiteral("result")).toString(), QStringLiteral("OK"));
            QCOMPARE(c.value(QStringLiteral("outcome")).toString(), QStringLiteral("passed"));
            QVERIFY(c.value(QStringLiteral("elapsedMs")).toDouble() >= 0);
        }
        // Echo on until ATE0: "AT" and "ATE0" come back, later commands do not.
        QCOMPARE(run.command(0).value(QStringLiteral("echo")).toString(), QStringLiteral("AT"));
        QCOMPARE(run.command(1).value(QStringLiteral("echo")).toString(), QStringLiteral("ATE0"));
        QVERIFY(run.command(2).value(QStringLiteral("echo")).isNull());
        // Replies with information lines keep them, and only them.
        const QJsonArray csca = run.command(3).value(QStringLiteral("reply")).toArray();
        QCOMPARE(csca.size(), 1);
        QVERIFY(csca.at(0).toString().startsWith(QLatin1String("+CSCA: ")));
        const QJsonArray cmgr = run.command(4).value(QStringLiteral("reply")).toArray();
        QVERIFY(cmgr.size() >= 2);
        QVERIFY(cmgr.at(0).toString().startsWith(QLatin1String("+CMGR: ")));
        QVERIFY(run.out.contains("6 commands: 6 passed, 0 failed, 0 timed out, 0 not run"));

        // The JUnit report: one test case per command, none failed.
        QFile file(junit);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&file);
        int cases = 0, failures = -1;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (xml.name() == QLatin1String("testsuite"))
                failures = xml.attributes().value(QLatin1String("failures")).toInt();
            cases += xml.name() == QLatin1String("testcase");
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(cases, 6);
        QCOMPARE(failures, 0);
    }

    void refusedCommandStopsTheRun()
    {
        // The simulated module asks for no PIN: +CPIN=<pin> is refused with
        // +CME ERROR: 3 once +CMEE=1 asks for numeric codes.
        const QString set = WriteSet(QStringLiteral("refused"),
                                     {"AT", "AT+CMEE=1", "AT+CPIN=\"1234\"", "AT+CSQ"});
        const QStringList common = {QStringLiteral("--port"), QStringLiteral("Simulated module"),
                                    QStringLiteral("--speed"), QStringLiteral("115200")};
        Run run = Execute(common + QStringList {set});
        QCOMPARE(run.exitStatus, 1);
        QCOMPARE(run.commands().size(), 3);
        QCOMPARE(run.command(2).value(QStringLiteral("result")).toString(), QStringLiteral("+CME ERROR"));
        QCOMPARE(run.command(2).value(QStringLiteral("errorCode")).toInt(), 3);
        QCOMPARE(run.command(2).value(QStringLiteral("outcome")).toString(), QStringLiteral("failed"));
        QVERIFY(!run.json.value(QStringLiteral("stopReason")).toString().isEmpty());

        // --keep-going runs on, and the status still tells of the failure.
        run = Execute(common + QStringList {QStringLiteral("--keep-going"), set});
        QCOMPARE(run.exitStatus, 1);
        QCOMPARE(run.commands().size(), 4);
        QCOMPARE(run.command(3).value(QStringLiteral("outcome")).toString(), QStringLiteral("passed"));
        QCOMPARE(run.command(3).value(QStringLiteral("reply")).toArray().at(0).toString(), QStringLiteral("+CSQ: 20,99"));
    }

    void silentModuleTimesOut()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        const QString set = WriteSet(QStringLiteral("silent"), {"AT", "AT+CSQ"});
        QElapsedTimer clock;
        clock.start();
        const Run run = Execute({QStringLiteral("--port"), pty.slavePath(), QStringLiteral("--timeout"),
                                 QStringLiteral("0.4"), set});
        QCOMPARE(run.exitStatus, 1);
        QCOMPARE(run.commands().size(), 1);
        QCOMPARE(run.command(0).value(QStringLiteral("outcome")).toString(), QStringLiteral("timeout"));
        QVERIFY(run.command(0).value(QStringLiteral("result")).isNull());
        QVERIFY(clock.elapsed() >= 400);
        // What the program wrote: the command and its end character only.
        QCOMPARE(pty.readFor(50), QByteArray("AT\r"));
    }

    void urcsAreReportedApart()
    {
        // The module is asked for RING and +CREG: 1 while commands wait for
        // their replies (each reply comes 300 ms late).
        const QString set = WriteSet(QStringLiteral("urcs"), {"AT+QSIMURC=100,\"RING\"", "AT+QSIMURC=50,\"+CREG: 1\"",
                                                              "AT+CSQ", "AT+CREG?"});
        const Run run = Execute({QStringLiteral("--port"), QStringLiteral("Simulated module"), QStringLiteral("--speed"),
                                 QStringLiteral("115200"), QStringLiteral("--sim-delay"), QStringLiteral("300"), set});
        QVERIFY2(run.exitStatus == 0, run.out + run.err);
        QCOMPARE(run.commands().size(), 4);
        const QJsonArray urcs = run.json.value(QStringLiteral("urcs")).toArray();
        QCOMPARE(urcs.size(), 2);
        QCOMPARE(urcs.at(0).toObject().value(QStringLiteral("text")).toString(), QStringLiteral("RING"));
        QCOMPARE(urcs.at(0).toObject().value(QStringLiteral("duringCommand")).toInt(), 1);
        QCOMPARE(urcs.at(1).toObject().value(QStringLiteral("text")).toString(), QStringLiteral("+CREG: 1"));
        for (int i = 0; i < 3; ++i) {
            const QJsonObject c = run.command(i);
            QCOMPARE(c.value(QStringLiteral("result")).toString(), QStringLiteral("OK"));
            // A URC does not end a command: each waited for its late OK.
            QVERIFY2(c.value(QStringLiteral("elapsedMs")).toDouble() >= 250, qPrintable(QString::number(i)));
        }
        QCOMPARE(run.command(2).value(QStringLiteral("reply")).toArray(), QJsonArray {QStringLiteral("+CSQ: 20,99")});
        // The command's own name is its reply, not a URC.
        QVERIFY(run.command(3).value(QStringLiteral("reply")).toArray().at(0).toString().startsWith(
            QLatin1String("+CREG: ")));
        QVERIFY(run.out.contains("URC"));
    }

    void portHangingUpEndsWithStatusTwo()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        // The program must not inherit the master, or closing it here would
        // not hang up its port.
        ::fcntl(pty.masterFd(), F_SETFD, FD_CLOEXEC);
        const QString set = WriteSet(QStringLiteral("hangup"), {"AT", "AT+CSQ", "AT"});
        // The test answers the first command and hangs up on the second.
        QByteArray heard;
        int commands = 0;
        QSocketNotifier notifier(pty.masterFd(), QSocketNotifier::Read);
        connect(&notifier, &QSocketNotifier::activated, this, [&] {
            char buffer[256];
            const ssize_t n = ::read(pty.masterFd(), buffer, sizeof buffer);
            if (n <= 0)
                return;
            heard.append(buffer, n);
            while (heard.contains('\r')) {
                heard.remove(0, heard.indexOf('\r') + 1);
                if (++commands == 1) {
                    pty.write("\r\nOK\r\n");
                } else {
                    notifier.setEnabled(false);
                    pty.closeMaster();
                    return;
                }
            }
        });
        const Run run = Execute({QStringLiteral("--port"), pty.slavePath(), set});
        QVERIFY2(run.exitStatus == 2, run.out + run.err);
        QCOMPARE(run.commands().size(), 2);
        QCOMPARE(run.command(0).value(QStringLiteral("outcome")).toString(), QStringLiteral("passed"));
        QCOMPARE(run.command(1).value(QStringLiteral("outcome")).toString(), QStringLiteral("port-lost"));
        QVERIFY(run.json.value(QStringLiteral("stopReason")).toString().contains(QLatin1String("went away")));
    }

    // --reconnect through the simulated module's reset: the boot messages
    // are URCs, the run goes on, the outage is in the reports, and --log
    // holds the whole exchange.
    void runGoesOnThroughAReset()
    {
        const QString set = WriteSet(QStringLiteral("reset"), {"AT", "AT+CFUN=1,1", "ATI", "AT+CSQ"});
        const QString log = m_dir.filePath(QStringLiteral("exchange.log"));
        const QString junit = m_dir.filePath(QStringLiteral("reset.xml"));
        const Run run = Execute({QStringLiteral("--port"), QStringLiteral("Simulated module"), QStringLiteral("--speed"),
                                 QStringLiteral("115200"), QStringLiteral("--reconnect"), QStringLiteral("5"),
                                 QStringLiteral("--log"), log, QStringLiteral("--junit"), junit, set});
        QVERIFY2(run.exitStatus == 0, run.out + run.err);
        QCOMPARE(run.commands().size(), 4);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(run.command(i).value(QStringLiteral("outcome")).toString(), QStringLiteral("passed"));
        const QJsonArray outages = run.json.value(QStringLiteral("outages")).toArray();
        QCOMPARE(outages.size(), 1);
        const QJsonObject outage = outages.at(0).toObject();
        QVERIFY(outage.value(QStringLiteral("backAtMs")).toDouble() > outage.value(QStringLiteral("lostAtMs")).toDouble());
        QVERIFY(!outage.value(QStringLiteral("backAt")).toString().isEmpty());
        QStringList urcs;
        for (const QJsonValue &u : run.json.value(QStringLiteral("urcs")).toArray())
            urcs << u.toObject().value(QStringLiteral("text")).toString();
        QCOMPARE(urcs, (QStringList {QStringLiteral("RDY"), QStringLiteral("+CFUN: 1"), QStringLiteral("+CPIN: READY"),
                                     QStringLiteral("SMS Ready")}));
        QVERIFY(run.out.contains("port lost") && run.out.contains("port back"));
        QFile xml(junit);
        QVERIFY(xml.open(QIODevice::ReadOnly));
        const QByteArray junitText = xml.readAll();
        QVERIFY(junitText.contains("port lost at") && junitText.contains("port back at"));

        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray exchange = file.readAll();
        QVERIFY2(exchange.startsWith("AT\r"), exchange.constData());
        static const QRegularExpression order(QStringLiteral(
            "AT\\+CFUN=1,1\\r.*OK\\r\\n.*\\r\\n----- Simulated module lost [^\\r]+ -----\\r\\n"
            "\\r\\n----- Simulated module back [^\\r]+ -----\\r\\n.*RDY.*SMS Ready\\r\\n.*ATI\\r.*AT\\+CSQ\\r.*OK\\r\\n$"),
            QRegularExpression::DotMatchesEverythingOption);
        QVERIFY2(order.match(QString::fromLatin1(exchange)).hasMatch(), exchange.constData());
    }

    // --list and --probe over a made-up device tree whose ttys are ptys:
    // the identity on each line; AT only to the USB ports, never to a
    // built-in one unless named, nor to one another program holds.
    void listAndProbe()
    {
        FakeDeviceTree tree;
        PtyPair modem, silent, console, held;
        for (PtyPair *p : {&modem, &silent, &console})
            p->releaseSlaveHold(); // only the held one is open elsewhere (here)
        for (PtyPair *p : {&modem, &silent, &console, &held})
            ::fcntl(p->masterFd(), F_SETFD, FD_CLOEXEC);
        const QString byId = QStringLiteral("usb-Quectel_EC25_ABC-if02-port0");
        tree.addUsbTty(QStringLiteral("ttyUSB2"), modem.slavePath(), QStringLiteral("ABC"), 2, byId);
        tree.addUsbTty(QStringLiteral("ttyUSB3"), silent.slavePath(), QStringLiteral("ABC"), 3);
        tree.addUsbTty(QStringLiteral("ttyUSB4"), held.slavePath(), QStringLiteral("ABC"), 4);
        tree.addBuiltInTty(QStringLiteral("ttyS0"), console.slavePath(), 4);
        tree.addBuiltInTty(QStringLiteral("ttyS1"), console.slavePath(), 0); // a slot with no UART
        const auto run = [&](const QStringList &arguments) {
            QProcess process;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("QRV_DEVICE_ROOT"), tree.root());
            process.setProcessEnvironment(env);
            process.start(QStringLiteral(QRV_RUNNER_PATH), arguments);
            QByteArray heard;
            QSocketNotifier notifier(modem.masterFd(), QSocketNotifier::Read);
            connect(&notifier, &QSocketNotifier::activated, this, [&] {
                char buffer[64];
                const ssize_t n = ::read(modem.masterFd(), buffer, sizeof buffer);
                if (n > 0 && (heard += QByteArray(buffer, int(n))).endsWith('\r'))
                    modem.write("AT\r\r\nOK\r\n");
            });
            QElapsedTimer clock;
            clock.start();
            while (process.state() != QProcess::NotRunning && clock.elapsed() < 30000)
                QTest::qWait(10);
            return std::make_pair(process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()));
        };
        const QString dev = tree.dev();
        const auto [listStatus, listed] = run({QStringLiteral("--list")});
        QCOMPARE(listStatus, 0);
        QCOMPARE(listed.split(u'\n', Qt::SkipEmptyParts),
                 (QStringList {dev + QStringLiteral("/ttyS0  built-in serial port"),
                               dev + QStringLiteral("/ttyUSB2  Quectel EC25, interface 2 (") + byId + u')',
                               dev + QStringLiteral("/ttyUSB3  Quectel EC25, interface 3"),
                               dev + QStringLiteral("/ttyUSB4  Quectel EC25, interface 4")}));

        const auto [probeStatus, probed] = run({QStringLiteral("--probe"), QStringLiteral("--timeout"), QStringLiteral("0.3")});
        QCOMPARE(probeStatus, 0);
        const QStringList lines = probed.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QVERIFY2(lines[0].startsWith(dev + QStringLiteral("/ttyUSB2  OK  Quectel EC25")), qPrintable(probed));
        QVERIFY2(lines[1].startsWith(dev + QStringLiteral("/ttyUSB3  no answer")), qPrintable(probed));
        QVERIFY2(lines[2].startsWith(dev + QStringLiteral("/ttyUSB4  not probed: ")), qPrintable(probed));
        QVERIFY(lines[2].contains(QStringLiteral("(pid %1)").arg(QCoreApplication::applicationPid())));
        QCOMPARE(held.readFor(50), QByteArray());
        QCOMPARE(console.readFor(50), QByteArray());

        // Named, a built-in port is probed; the simulated module answers.
        const auto [namedStatus, named] = run({QStringLiteral("--probe"), QStringLiteral("--timeout"), QStringLiteral("0.3"),
                                               QStringLiteral("--port"), dev + QStringLiteral("/ttyS0"),
                                               QStringLiteral("--port"), QStringLiteral("Simulated module")});
        QCOMPARE(namedStatus, 0);
        QVERIFY2(named.contains(dev + QStringLiteral("/ttyS0  no answer")), qPrintable(named));
        QVERIFY2(named.contains(QStringLiteral("Simulated module  OK")), qPrintable(named));
        QCOMPARE(console.readFor(50), QByteArray("AT\r"));
    }

    // A device that does not come back within --reconnect ends the run as a
    // lost port does, the outage without a return.
    void reconnectGivesUp()
    {
        auto pty = std::make_unique<PtyPair>();
        ::fcntl(pty->masterFd(), F_SETFD, FD_CLOEXEC);
        const QString set = WriteSet(QStringLiteral("gone"), {"AT", "AT"});
        QSocketNotifier notifier(pty->masterFd(), QSocketNotifier::Read);
        connect(&notifier, &QSocketNotifier::activated, this, [&] {
            notifier.setEnabled(false);
            pty.reset();
        });
        QElapsedTimer clock;
        clock.start();
        const Run run = Execute({QStringLiteral("--port"), pty->slavePath(), QStringLiteral("--reconnect"),
                                 QStringLiteral("0.5"), set});
        QVERIFY2(run.exitStatus == 2, run.out + run.err);
        QVERIFY(clock.elapsed() >= 500);
        QCOMPARE(run.command(0).value(QStringLiteral("outcome")).toString(), QStringLiteral("port-lost"));
        const QJsonArray outages = run.json.value(QStringLiteral("outages")).toArray();
        QCOMPARE(outages.size(), 1);
        QVERIFY(outages.at(0).toObject().value(QStringLiteral("backAtMs")).isNull());
        QVERIFY(run.json.value(QStringLiteral("stopReason")).toString().contains(QLatin1String("not back within 0.5 s")));
    }

    void reportsCarryAnyBytes()
    {
        // Replies may hold bytes XML cannot carry and Chinese text (code page
        // 936): both reports stay readable and keep the text.
        RunReport report;
        report.setName = QStringLiteral("测试");
        Transaction t;
        t.index = 1;
        t.command = "AT+CMGR=1";
        t.info = {QByteArray("bad\0\x1b[0m\x1a", 9), ToCodePage936(QStringLiteral("你好"))};
        t.final = AtFinalResult::Classify("+CMS ERROR: 321");
        t.outcome = Transaction::Outcome::Failed;
        report.transactions = {t};
        report.urcs = {{5, "RING\x07", 1}};

        QXmlStreamReader xml(ReportJUnit(report));
        QStringList out;
        QString failure;
        while (!xml.atEnd()) {
            xml.readNext();
            if (xml.isStartElement() && xml.name() == QLatin1String("failure"))
                failure = xml.attributes().value(QLatin1String("message")).toString();
            if (xml.isStartElement() && xml.name() == QLatin1String("system-out"))
                out << xml.readElementText();
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(failure, QStringLiteral("+CMS ERROR: 321"));
        QCOMPARE(out.size(), 2);
        QCOMPARE(out[0], QStringLiteral("bad<00><1B>[0m<1A>\n你好\n+CMS ERROR: 321"));
        QVERIFY(out[1].contains(QStringLiteral("RING<07>")));

        const QJsonObject json = QJsonDocument::fromJson(ReportJson(report)).object();
        const QJsonObject c = json.value(QStringLiteral("commands")).toArray().at(0).toObject();
        QCOMPARE(c.value(QStringLiteral("reply")).toArray().at(1).toString(), QStringLiteral("你好"));
        QCOMPARE(c.value(QStringLiteral("errorCode")).toInt(), 321);
        QCOMPARE(c.value(QStringLiteral("result")).toString(), QStringLiteral("+CMS ERROR"));
    }

    void usageAndPortErrors()
    {
        const QString set = WriteSet(QStringLiteral("one"), {"AT"});
        // No port, an unknown end character, no such file: usage errors.
        QCOMPARE(Execute({set}).exitStatus, 2);
        QCOMPARE(Execute({QStringLiteral("--port"), QStringLiteral("Simulated module"), QStringLiteral("--end"),
                          QStringLiteral("CRX"), set})
                     .exitStatus,
                 2);
        QCOMPARE(Execute({QStringLiteral("--port"), QStringLiteral("Simulated module"),
                          m_dir.filePath(QStringLiteral("none.ini"))})
                     .exitStatus,
                 2);
        // A port that does not open: status 2, the reason, and a report.
        const Run run = Execute({QStringLiteral("--port"), m_dir.filePath(QStringLiteral("ttyUSB9")), set});
        QCOMPARE(run.exitStatus, 2);
        QVERIFY2(run.err.contains("no such device"), run.err);
        QCOMPARE(run.json.value(QStringLiteral("exitStatus")).toInt(), 2);
        QCOMPARE(run.commands().size(), 0);

        // A port held by another program: said so, and who it is.
        PtyPair pty;
        QSerialPort holder;
        holder.setPortName(pty.slavePath());
        QVERIFY(holder.open(QIODevice::ReadWrite));
        const Run held = Execute({QStringLiteral("--port"), pty.slavePath(), set});
        QCOMPARE(held.exitStatus, 2);
        const QByteArray told = QStringLiteral("cannot open %1: in use by another program\n%1 is held by %2 (pid %3)")
                                    .arg(pty.slavePath(), OwnCommandName())
                                    .arg(QCoreApplication::applicationPid())
                                    .toUtf8();
        QVERIFY2(held.err.contains(told), held.err);
    }
};

QTEST_GUILESS_MAIN(TestRunner)
#include "test_runner.moc"
