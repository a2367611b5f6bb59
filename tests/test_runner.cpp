// qrvterm-run end to end: the program itself, run against the simulated
// module and against a pseudo-terminal the test plays, judged by its exit
// status and its reports.
#include "commands/commandsetfiles.h"
#include "runner/checkfile.h"
#include "runner/runreport.h"
#include "fakedevicetree.h"
#include "ptypair.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSerialPort>
#include <QSet>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <QRegularExpression>
#include <csignal>
#include <fcntl.h>
#include <functional>
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

// A module the test plays on a pty: answers each command line with what
// answer() gives for it, and keeps every byte the program wrote.
class PlayedModule
{
public:
    using Answer = std::function<QByteArray(const QByteArray &line, int count)>;
    explicit PlayedModule(Answer answer) : m_answer(std::move(answer))
    {
        ::fcntl(m_pty.masterFd(), F_SETFD, FD_CLOEXEC);
        m_notifier = std::make_unique<QSocketNotifier>(m_pty.masterFd(), QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] {
            char buffer[256];
            const ssize_t n = ::read(m_pty.masterFd(), buffer, sizeof buffer);
            if (n <= 0)
                return;
            heard.append(buffer, n);
            m_pending.append(buffer, n);
            qsizetype end;
            while ((end = m_pending.indexOf('\r')) >= 0) {
                const QByteArray line = m_pending.left(end);
                m_pending.remove(0, end + 1);
                if (m_pending.startsWith('\n'))
                    m_pending.remove(0, 1);
                m_pty.write(m_answer(line, ++m_count[line]));
            }
        });
    }
    QString path() const { return m_pty.slavePath(); }
    QByteArray heard;

private:
    PtyPair m_pty;
    Answer m_answer;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QByteArray m_pending;
    QHash<QByteArray, int> m_count;
};

// The test suites of a JUnit file: name -> failures.
QMap<QString, int> JUnitSuites(const QString &path, QString *hostname = nullptr)
{
    QMap<QString, int> suites;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return suites;
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == QLatin1String("testsuite")) {
            suites.insert(xml.attributes().value(QLatin1String("name")).toString(),
                          xml.attributes().value(QLatin1String("failures")).toInt());
            if (hostname)
                *hostname = xml.attributes().value(QLatin1String("hostname")).toString();
        }
    }
    if (xml.hasError())
        suites.insert(QStringLiteral("XML error: ") + xml.errorString(), -1);
    return suites;
}

bool LuhnValid(const QString &digits)
{
    int sum = 0;
    for (qsizetype i = 0; i < digits.size(); ++i) {
        int d = digits.at(digits.size() - 1 - i).digitValue();
        if (i % 2 == 1 && (d *= 2) > 9)
            d -= 9;
        sum += d;
    }
    return sum % 10 == 0;
}

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
        // Every row is listed: the one the run did not reach as not run, with why.
        QCOMPARE(run.commands().size(), 4);
        QCOMPARE(run.command(3).value(QStringLiteral("outcome")).toString(), QStringLiteral("not-run"));
        QVERIFY(run.command(3).value(QStringLiteral("why")).toString().startsWith(QLatin1String("stopped at command 3")));
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
        QCOMPARE(run.commands().size(), 2);
        QCOMPARE(run.command(0).value(QStringLiteral("outcome")).toString(), QStringLiteral("timeout"));
        QCOMPARE(run.command(1).value(QStringLiteral("outcome")).toString(), QStringLiteral("not-run"));
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
        QCOMPARE(run.commands().size(), 3);
        QCOMPARE(run.command(2).value(QStringLiteral("outcome")).toString(), QStringLiteral("not-run"));
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
        // Reached through a link, as a module's by-id name (a pty by its own
        // name is not waited for at all, below), which goes with the module.
        const QString link = m_dir.filePath(QStringLiteral("gone-module"));
        QVERIFY(PointLink(link, pty->slavePath()));
        QSocketNotifier notifier(pty->masterFd(), QSocketNotifier::Read);
        connect(&notifier, &QSocketNotifier::activated, this, [&] {
            notifier.setEnabled(false);
            QFile::remove(link);
            pty.reset();
        });
        QElapsedTimer clock;
        clock.start();
        // The first command's line drops: it is told, and (the run keeping
        // going) the device is waited for, then given up.
        Run run = Execute({QStringLiteral("--port"), link, QStringLiteral("--reconnect"), QStringLiteral("0.5"),
                           QStringLiteral("--keep-going"), set});
        QVERIFY2(run.exitStatus == 2, run.out + run.err);
        QVERIFY(clock.elapsed() >= 500);
        QCOMPARE(run.command(0).value(QStringLiteral("outcome")).toString(), QStringLiteral("port-lost"));
        const QJsonArray outages = run.json.value(QStringLiteral("outages")).toArray();
        QCOMPARE(outages.size(), 1);
        QVERIFY(outages.at(0).toObject().value(QStringLiteral("backAtMs")).isNull());
        QVERIFY(run.json.value(QStringLiteral("stopReason")).toString().contains(QLatin1String("not back within 0.5 s")));

        PtyPair bare;
        ::fcntl(bare.masterFd(), F_SETFD, FD_CLOEXEC);
        QSocketNotifier hangUp(bare.masterFd(), QSocketNotifier::Read);
        connect(&hangUp, &QSocketNotifier::activated, this, [&] {
            hangUp.setEnabled(false);
            bare.closeMaster();
        });
        clock.restart();
        run = Execute({QStringLiteral("--port"), bare.slavePath(), QStringLiteral("--reconnect"), QStringLiteral("30"),
                       QStringLiteral("--keep-going"), set});
        QVERIFY2(run.exitStatus == 2, run.out + run.err);
        QVERIFY(clock.elapsed() < 5000);
        QVERIFY(run.json.value(QStringLiteral("outages")).toArray().isEmpty());
    }

    // An empty row (a gap in the set's numbering) is not sent: it is listed
    // as not run and the run goes on; a run that stops lists the rest as
    // skipped in JUnit, with why.
    void emptyRowsAndRowsNotReached()
    {
        const QString set = WriteSet(QStringLiteral("gaps"), {"AT", "", "ATI", "AT+CPIN=\"1234\"", "AT+CMEE=1", "AT"});
        const QString junit = m_dir.filePath(QStringLiteral("gaps.xml"));
        const Run run = Execute({QStringLiteral("--port"), QStringLiteral("Simulated module"), QStringLiteral("--speed"),
                                 QStringLiteral("115200"), QStringLiteral("--timeout"), QStringLiteral("3"),
                                 QStringLiteral("--junit"), junit, set});
        QCOMPARE(run.exitStatus, 1); // AT+CPIN="1234" is refused
        QCOMPARE(run.commands().size(), 6);
        QCOMPARE(run.command(1).value(QStringLiteral("outcome")).toString(), QStringLiteral("not-run"));
        QCOMPARE(run.command(1).value(QStringLiteral("why")).toString(), QStringLiteral("empty row"));
        QCOMPARE(run.command(2).value(QStringLiteral("outcome")).toString(), QStringLiteral("passed"));
        QCOMPARE(run.command(3).value(QStringLiteral("outcome")).toString(), QStringLiteral("failed"));
        QCOMPARE(run.command(4).value(QStringLiteral("outcome")).toString(), QStringLiteral("not-run"));
        QVERIFY2(run.out.contains("6 commands: 2 passed, 1 failed, 0 timed out, 3 not run"), run.out);
        QFile xml(junit);
        QVERIFY(xml.open(QIODevice::ReadOnly));
        QXmlStreamReader reader(&xml);
        int cases = 0, skipped = 0;
        QString suiteSkipped;
        while (!reader.atEnd()) {
            if (reader.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (reader.name() == QLatin1String("testsuite"))
                suiteSkipped = reader.attributes().value(QLatin1String("skipped")).toString();
            cases += reader.name() == QLatin1String("testcase");
            skipped += reader.name() == QLatin1String("skipped");
        }
        QVERIFY(!reader.hasError());
        QCOMPARE(cases, 6);
        QCOMPARE(skipped, 3);
        QCOMPARE(suiteSkipped, QStringLiteral("3"));
        // Without the refused row, the gap alone does not fail the run.
        const Run clean = Execute({QStringLiteral("--port"), QStringLiteral("Simulated module"), QStringLiteral("--speed"),
                                   QStringLiteral("115200"), WriteSet(QStringLiteral("gap"), {"AT", "", "ATI"})});
        QVERIFY2(clean.exitStatus == 0, clean.out + clean.err);
    }

    // Output piped into a program that ends first, and Ctrl+C in the middle
    // of a run: the reports are written, and the simulated module's folder
    // goes with the program.
    void leavesNothingBehind()
    {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), tmp.path());
        const QString set = WriteSet(QStringLiteral("piped"), {"AT", "ATI", "AT+CSQ", "AT+CGMR", "AT+CGSN"});
        const auto leftovers = [&tmp] {
            return QDir(tmp.path()).entryList({QStringLiteral("qrvterm-sim-*")}, QDir::AllEntries | QDir::System);
        };
        const QString piped = tmp.filePath(QStringLiteral("piped.json"));
        QProcess shell;
        shell.setProcessEnvironment(env);
        shell.start(QStringLiteral("/bin/sh"),
                    {QStringLiteral("-c"), QStringLiteral("'%1' --port 'Simulated module' --speed 115200 --sim-delay 100 "
                                                          "--json '%2' '%3' | head -c 1")
                                               .arg(QStringLiteral(QRV_RUNNER_PATH), piped, set)});
        QVERIFY(shell.waitForFinished(30000));
        // head is gone long before the run ends; the run goes on to its end.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(piped), 10000);
        QFile pipedFile(piped);
        QVERIFY(pipedFile.open(QIODevice::ReadOnly));
        const QJsonObject report = QJsonDocument::fromJson(pipedFile.readAll()).object();
        QCOMPARE(report.value(QStringLiteral("commands")).toArray().size(), 5);
        QCOMPARE(report.value(QStringLiteral("exitStatus")).toInt(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(leftovers().isEmpty(), 5000);

        QProcess run;
        run.setProcessEnvironment(env);
        const QString stopped = tmp.filePath(QStringLiteral("stopped.json"));
        run.start(QStringLiteral(QRV_RUNNER_PATH), {QStringLiteral("--port"), QStringLiteral("Simulated module"),
                                                    QStringLiteral("--sim-delay"), QStringLiteral("3000"),
                                                    QStringLiteral("--json"), stopped, set});
        QVERIFY(run.waitForStarted());
        QTest::qWait(800);
        QVERIFY(!leftovers().isEmpty()); // the module is there while it runs
        ::kill(pid_t(run.processId()), SIGINT);
        QVERIFY(run.waitForFinished(10000));
        QCOMPARE(run.exitStatus(), QProcess::NormalExit);
        QCOMPARE(run.exitCode(), 130);
        QVERIFY(QFileInfo::exists(stopped));
        QVERIFY2(leftovers().isEmpty(), qPrintable(leftovers().join(u' ')));
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

    // Three modules in one run, two named by a glob over their links: the
    // one that answers ERROR fails its suite alone, the run exits 1.
    void severalPortsInOneRun()
    {
        const auto ok = [](const QByteArray &line, int) -> QByteArray {
            if (line == "AT+CSQ")
                return "\r\n+CSQ: 17,99\r\n\r\nOK\r\n";
            return "\r\nOK\r\n";
        };
        PlayedModule a(ok), b([](const QByteArray &line, int count) -> QByteArray {
            // Refuses AT+CSQ the first time only: its retry passes.
            return line == "AT+CSQ" && count == 1 ? "\r\nERROR\r\n" : "\r\nOK\r\n";
        });
        PlayedModule c([](const QByteArray &line, int) -> QByteArray {
            return line == "AT+CSQ" ? "\r\nERROR\r\n" : "\r\nOK\r\n";
        });
        QDir links(m_dir.filePath(QStringLiteral("by-id")));
        QVERIFY(links.mkpath(QStringLiteral(".")));
        QVERIFY(QFile::link(b.path(), links.filePath(QStringLiteral("usb-Maker_B-if02-port0"))));
        QVERIFY(QFile::link(c.path(), links.filePath(QStringLiteral("usb-Maker_C-if02-port0"))));
        QVERIFY(QFile::link(a.path(), links.filePath(QStringLiteral("usb-Maker_A-if03-port0"))));
        const QString set = WriteSet(QStringLiteral("rack"), {"AT", "AT+CSQ", "ATI"});
        const QString checks = m_dir.filePath(QStringLiteral("rack.checks"));
        QFile file(checks);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[AT+CSQ]\nretries = 1\npause = 0.1\n[3]\nend = CRLF\n");
        file.close();
        const QString junit = m_dir.filePath(QStringLiteral("rack.xml"));
        const QString csv = m_dir.filePath(QStringLiteral("rack.csv"));
        const Run run = Execute({QStringLiteral("--port"), a.path(), QStringLiteral("--ports"),
                                 links.filePath(QStringLiteral("*-if02-port0")), QStringLiteral("--expect"), checks,
                                 QStringLiteral("--junit"), junit, QStringLiteral("--csv"), csv, set});
        QVERIFY2(run.exitStatus == 1, run.out + run.err);
        const QJsonArray modules = run.json.value(QStringLiteral("modules")).toArray();
        QCOMPARE(modules.size(), 3);
        QCOMPARE(run.json.value(QStringLiteral("exitStatus")).toInt(), 1);
        const QList<int> statuses = {modules.at(0).toObject().value(QStringLiteral("exitStatus")).toInt(),
                                     modules.at(1).toObject().value(QStringLiteral("exitStatus")).toInt(),
                                     modules.at(2).toObject().value(QStringLiteral("exitStatus")).toInt()};
        QCOMPARE(statuses, (QList<int>{0, 0, 1})); // a, then the glob's B and C in name order
        const QJsonObject retried = modules.at(1).toObject().value(QStringLiteral("commands")).toArray().at(1).toObject();
        QCOMPARE(retried.value(QStringLiteral("attempts")).toInt(), 2);
        QCOMPARE(retried.value(QStringLiteral("outcome")).toString(), QStringLiteral("passed"));
        // Each line says whose it is; the failed one's suite alone fails.
        QVERIFY2(run.out.contains("[usb-Maker_C-if02-port0] [2/3] AT+CSQ"), run.out);
        QVERIFY2(run.out.contains("; again in 0.1 s"), run.out);
        QString host;
        const QMap<QString, int> suites = JUnitSuites(junit, &host);
        QCOMPARE(suites.size(), 3);
        QVERIFY(!host.isEmpty());
        // Named by the port as given where it has no by-id name.
        QCOMPARE(suites.value(links.filePath(QStringLiteral("usb-Maker_C-if02-port0@")) + host, -1), 1);
        QCOMPARE(suites.value(links.filePath(QStringLiteral("usb-Maker_B-if02-port0@")) + host, -1), 0);
        QCOMPARE(suites.value(a.path() + QLatin1Char('@') + host, -1), 0);
        // The CSV: a header and a row per module.
        QFile rows(csv);
        QVERIFY(rows.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = rows.readAll().split('\n');
        QCOMPARE(lines.size(), 5); // 4 lines and the empty rest after the last CR LF
        QVERIFY2(lines.at(3).contains(",failed,1,1,0,1,"), lines.at(3));
        // The row with its own end: CR LF; the others CR.
        QVERIFY2(a.heard == "AT\rAT+CSQ\rATI\r\n", a.heard);
        QVERIFY2(b.heard == "AT\rAT+CSQ\rAT+CSQ\rATI\r\n", b.heard);
        QCOMPARE(c.heard, QByteArray("AT\rAT+CSQ\rAT+CSQ\r")); // refused twice: the run stops there
    }

    // Each kind of check, passing and failing, on two simulated modules that
    // answer their own IMEI and signal.
    void checksOnTheAnswers()
    {
        const QString set = WriteSet(QStringLiteral("checked"),
                                     {"AT", "AT+CMGF=1", "AT+CGSN", "AT+CSQ", "AT+CSQ ", "AT+QSIMURC=200,\"+CREG: 1\"",
                                      "ATI", "AT+CGMR", "AT+CMGS=\"+8613912345678\"", "Hello bench", "AT+CBC"});
        const QString checks = m_dir.filePath(QStringLiteral("checked.checks"));
        QFile file(checks);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("; every kind of check\n"
                   "[AT+CGSN]\nmatch = ^(?<imei>\\d{15})$\n"
                   "[4]\nmatch = ^\\+CSQ: (?<rssi>\\d+),(?<ber>\\d+)$\ncheck = rssi >= 1\ncheck = ber == 99\n"
                   "[5]\nmatch = ^\\+CSQ: (?<low>\\d+),\ncheck = low < 5\nretries = 2\npause = 0.2\n"
                   "[6]\nwait = ^\\+CREG: [15]$\nwait-timeout = 3\n"
                   "[ATI]\nwait = ^RING$\nwait-timeout = 0.3\n"
                   "[8]\nmatch = no such revision\n"
                   "[10]\nmatch = ^\\+CMGS: (?<mr>\\d+)$\n"
                   "[AT+CBC]\ntimeout = 0.1\n");
        file.close();
        const QString csv = m_dir.filePath(QStringLiteral("checked.csv"));
        QElapsedTimer clock;
        clock.start();
        const Run run = Execute({QStringLiteral("--port"), QStringLiteral("Simulated module"), QStringLiteral("--count"),
                                 QStringLiteral("2"), QStringLiteral("--speed"), QStringLiteral("115200"),
                                 QStringLiteral("--sim-delay"), QStringLiteral("150"), QStringLiteral("--keep-going"),
                                 QStringLiteral("--expect"), checks, QStringLiteral("--csv"), csv, set});
        QVERIFY2(run.exitStatus == 1, run.out + run.err);
        const QJsonArray modules = run.json.value(QStringLiteral("modules")).toArray();
        QCOMPARE(modules.size(), 2);
        QStringList imeis;
        for (const QJsonValue &m : modules) {
            const QJsonArray c = m.toObject().value(QStringLiteral("commands")).toArray();
            QCOMPARE(c.size(), 11);
            const auto outcome = [&](int i) { return c.at(i).toObject().value(QStringLiteral("outcome")).toString(); };
            const auto failure = [&](int i) { return c.at(i).toObject().value(QStringLiteral("checkFailed")).toString(); };
            // Match with a capture, comparisons that hold.
            QCOMPARE(outcome(2), QStringLiteral("passed"));
            QCOMPARE(outcome(3), QStringLiteral("passed"));
            // A comparison that fails, sent again twice, says what came.
            QCOMPARE(outcome(4), QStringLiteral("failed"));
            QCOMPARE(c.at(4).toObject().value(QStringLiteral("attempts")).toInt(), 3);
            QVERIFY2(failure(4).startsWith(QLatin1String("line 10: check \"low < 5\" failed: low is \"")), qPrintable(failure(4)));
            // The URC that comes, and the one that never does.
            QCOMPARE(outcome(5), QStringLiteral("passed"));
            QCOMPARE(outcome(6), QStringLiteral("failed"));
            QVERIFY2(failure(6).startsWith(QLatin1String("no URC matching \"^RING$\" within 0.3 s")), qPrintable(failure(6)));
            // No line matches: the message says what came instead.
            QVERIFY2(failure(7).contains(QLatin1String("no reply line matches \"no such revision\"; came \"Revision: ")),
                     qPrintable(failure(7)));
            // Its own time-out, shorter than the module's delay.
            QCOMPARE(outcome(10), QStringLiteral("timeout"));
            // The body after the prompt, ended by SUB, answered by +CMGS.
            QCOMPARE(c.at(8).toObject().value(QStringLiteral("result")).toString(), QStringLiteral("PROMPT"));
            QVERIFY(c.at(9).toObject().value(QStringLiteral("body")).toBool());
            QCOMPARE(outcome(9), QStringLiteral("passed"));
            const QJsonArray values = m.toObject().value(QStringLiteral("values")).toArray();
            QCOMPARE(values.at(0).toObject().value(QStringLiteral("name")).toString(), QStringLiteral("imei"));
            imeis << values.at(0).toObject().value(QStringLiteral("value")).toString();
            QVERIFY(LuhnValid(imeis.last()));
        }
        QCOMPARE(imeis.size(), 2);
        QVERIFY(imeis.at(0) != imeis.at(1));
        // Retries paused 2 x 0.2 s, the URC waited for.
        QVERIFY(clock.elapsed() >= 400);
        // The table and the CSV hold the values of each module.
        QVERIFY2(run.out.contains(imeis.at(0).toUtf8()) && run.out.contains(imeis.at(1).toUtf8()), run.out);
        QFile rows(csv);
        QVERIFY(rows.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = rows.readAll().split('\n');
        QCOMPARE(lines.size(), 4);
        QVERIFY2(lines.at(0).trimmed().endsWith(",imei,rssi,ber,low,mr"), lines.at(0));
        QVERIFY(lines.at(1).startsWith("Simulated module,simulated-module-1,"));
        QVERIFY(lines.at(1).contains(imeis.at(0).toUtf8()));
        QVERIFY(lines.at(2).contains(imeis.at(1).toUtf8()));
    }

    void checkFileErrors_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error");
        QTest::newRow("setting before a section") << QByteArray("match = x\n") << "f:1: a setting before";
        QTest::newRow("bad regex") << QByteArray("[1]\n\nmatch = (\n") << "f:3: match: missing closing parenthesis";
        QTest::newRow("unknown setting") << QByteArray("[1]\nexpect = OK\n") << "f:2: unknown setting \"expect\"";
        QTest::newRow("no operator") << QByteArray("[1]\nmatch = (?<a>x)\ncheck = a 5\n") << "f:3: check is NAME OP";
        QTest::newRow("unknown capture") << QByteArray("[1]\nmatch = (?<a>x)\ncheck = b > 5\n")
                                         << "f:3: check \"b > 5\": \"b\" is no named group";
        QTest::newRow("order on text") << QByteArray("[1]\nmatch = (?<a>x)\ncheck = a > five\n")
                                       << "f:3: check \"a > five\": > compares numbers";
        QTest::newRow("bad seconds") << QByteArray("[1]\ntimeout = soon\n") << "f:2: timeout is a number of seconds";
        QTest::newRow("negative retries") << QByteArray("[1]\nretries = -1\n") << "f:2: retries is a count";
        QTest::newRow("bad end") << QByteArray("[1]\nend = CRX\n") << "f:2: end is CR, LF";
        QTest::newRow("command 0") << QByteArray("; c\n[0]\n") << "f:2: commands are numbered from 1";
        QTest::newRow("open section") << QByteArray("[AT+CSQ\n") << "f:1: a section is";
        QTest::newRow("no equals") << QByteArray("[1]\nmatch\n") << "f:2: expected \"setting = value\"";
        QTest::newRow("not UTF-8") << QByteArray("[1]\nmatch = \xD6\xD0\n") << "f:2: not UTF-8";
        QTest::newRow("break of 0") << QByteArray("[1]\nbreak = 0\n") << "f:2: break is milliseconds from 1 to 10000";
        QTest::newRow("long pulse") << QByteArray("[1]\npulse-dtr = 20000\n") << "f:2: pulse-dtr is milliseconds";
        QTest::newRow("char-delay text") << QByteArray("[1]\nchar-delay = fast\n") << "f:2: char-delay is milliseconds";
    }

    void checkFileErrors()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        const CheckFile file = ParseCheckFile(text, QStringLiteral("f"));
        QVERIFY2(file.error.startsWith(error), qPrintable(file.error));
        QVERIFY(file.checks.isEmpty());
    }

    // Sections bound to the rows of a set, and the judging of lines.
    void checksBoundAndJudged()
    {
        const CheckFile file = ParseCheckFile("[at+csq]\nmatch = ^\\+CSQ: (?<rssi>\\d+)\ncheck = rssi >= 10\n"
                                              "[2]\nmatch = (?<rev>R\\d+)\ncheck = rev != R2\n",
                                              QStringLiteral("f"));
        QVERIFY2(file.error.isEmpty(), qPrintable(file.error));
        QString error;
        const QHash<int, CommandCheck> rows = ChecksForRows(file, {"AT+CSQ", "AT+CGMR", "AT+CSQ"}, &error);
        QVERIFY(error.isEmpty());
        QCOMPARE(rows.keys().size(), 3); // the text names rows 1 and 3
        CheckOutcome o = EvaluateChecks(rows.value(0), {"+CSQ: 9,99", "OK"});
        QVERIFY(!o.passed);
        QCOMPARE(o.message, QStringLiteral("line 3: check \"rssi >= 10\" failed: rssi is \"9\""));
        o = EvaluateChecks(rows.value(0), {"+CSQ: 31,99", "OK"});
        QVERIFY(o.passed);
        QCOMPARE(o.values, (QList<std::pair<QString, QString>>{{QStringLiteral("rssi"), QStringLiteral("31")}}));
        QVERIFY(!EvaluateChecks(rows.value(1), {"R2", "OK"}).passed); // text compared as text
        QVERIFY(EvaluateChecks(rows.value(1), {"R3", "OK"}).passed);
        ChecksForRows(file, {"AT"}, &error);
        QVERIFY2(error.startsWith(QLatin1String("line 1: [at+csq] names no command")), qPrintable(error));
        ChecksForRows(ParseCheckFile("[1]\n[AT]\n", QStringLiteral("f")), {"AT"}, &error);
        QVERIFY2(error.contains(QLatin1String("which the section on line 1 named already")), qPrintable(error));
    }

    // Values compared exactly: ICCIDs and IMEIs have more digits than a
    // double holds; every operator at, below and above its operand; text
    // where a value is no number.
    void numbersComparedExactly()
    {
        const CheckFile file = ParseCheckFile("\xEF\xBB\xBF[1]\nmatch = ^(?<v>\\S+)$\n"
                                              "check = v == 89860099123456789999\n"
                                              "[2]\nmatch = ^(?<v>\\S+)$\ncheck = v != 89860099123456789999\n"
                                              "[3]\nmatch = ^(?<v>\\S+)$\ncheck = v < 15\n"
                                              "[4]\nmatch = ^(?<v>\\S+)$\ncheck = v <= 15\n"
                                              "[5]\nmatch = ^(?<v>\\S+)$\ncheck = v > 15\n"
                                              "[6]\nmatch = ^(?<v>\\S+)$\ncheck = v >= 15\n"
                                              "[7]\nmatch = ^(?<v>\\S+)$\ncheck = v == 0.1\n",
                                              QStringLiteral("f"));
        // A file saved with a byte-order mark is read.
        QVERIFY2(file.error.isEmpty(), qPrintable(file.error));
        QString error;
        const QHash<int, CommandCheck> rows = ChecksForRows(file, {"A", "B", "C", "D", "E", "F", "G"}, &error);
        QVERIFY(error.isEmpty());
        const auto holds = [&](int row, const QByteArray &value) { return EvaluateChecks(rows.value(row), {value}).passed; };
        QVERIFY(holds(0, "89860099123456789999"));
        QVERIFY(!holds(0, "89860099123456789018"));
        QVERIFY(!holds(0, "89860099123456789998"));
        QVERIFY(holds(1, "89860099123456789018"));
        QVERIFY(!holds(1, "89860099123456789999"));
        const QList<QByteArray> around = {"14", "15", "16"};
        const QList<QList<bool>> expected = {{true, false, false},   // <
                                             {true, true, false},    // <=
                                             {false, false, true},   // >
                                             {false, true, true}};   // >=
        for (int op = 0; op < 4; ++op) {
            for (int i = 0; i < 3; ++i)
                QVERIFY2(holds(2 + op, around.at(i)) == expected.at(op).at(i), qPrintable(QStringLiteral("op %1 value %2").arg(op).arg(i)));
        }
        QVERIFY(holds(3, "15.0") && holds(3, "+15") && holds(3, "1.5e1") && !holds(3, "15.000000000000000001"));
        QVERIFY(holds(2, "-100000000000000000000") && !holds(4, "-16"));
        QVERIFY(holds(6, "0.10") && holds(6, "1e-1") && !holds(6, "0.1000000000000000001"));
        // An order on a value that is no number fails, saying so.
        const CheckOutcome text = EvaluateChecks(rows.value(2), {"abc"});
        QVERIFY(!text.passed && text.message.contains(QLatin1String("not a number")));
        // reset = yes|no, and nothing else.
        QCOMPARE(ParseCheckFile("[1]\nreset = yes\n", QStringLiteral("f")).checks.value(0).resets, 1);
        QVERIFY(ParseCheckFile("[1]\nreset = maybe\n", QStringLiteral("f")).error.startsWith(QLatin1String("f:2: reset is yes or no")));
        QVERIFY(IsResetCommand("at+cfun = 1,1") && !IsResetCommand("AT+CFUN=1"));
    }

    // A CSV field with a quote, a comma or a line break is quoted, its quotes
    // doubled; others stand as they are.
    void csvFieldsQuoted()
    {
        RunReport a;
        a.port = QStringLiteral("/dev/ttyUSB0");
        a.identity = QStringLiteral("unit-1");
        Transaction t;
        t.index = 1;
        t.outcome = Transaction::Outcome::Passed;
        t.values = {{QStringLiteral("operator"), QStringLiteral("\"CHINA MOBILE\"")},
                    {QStringLiteral("list"), QStringLiteral("a,b")},
                    {QStringLiteral("plain"), QStringLiteral("46000")}};
        a.transactions << t;
        a.commandCount = 1;
        const QList<QByteArray> lines = ReportCsv({&a}).split('\n');
        QCOMPARE(lines.at(0), QByteArray("port,identity,device,host,started,status,passed,failed,timed out,not run,"
                                         "reason,operator,list,plain\r"));
        QVERIFY2(lines.at(1).endsWith(",\"\"\"CHINA MOBILE\"\"\",\"a,b\",46000\r"), lines.at(1).constData());
    }

    // --char-delay: the frame's bytes apart on the wire, the run still
    // ends with its verdict; values out of bounds are refused.
    void pacedRunAndItsOptions()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        QByteArray heard;
        QList<qint64> at;
        QElapsedTimer clock;
        clock.start();
        QSocketNotifier notifier(pty.masterFd(), QSocketNotifier::Read);
        connect(&notifier, &QSocketNotifier::activated, this, [&] {
            char buffer[256];
            const ssize_t n = ::read(pty.masterFd(), buffer, sizeof buffer);
            for (ssize_t i = 0; i < n; ++i) {
                heard += buffer[i];
                at << clock.elapsed();
            }
            if (heard.endsWith("AT+CSQ\r"))
                pty.write("\r\n+CSQ: 20,99\r\nOK\r\n");
        });
        const QString set = WriteSet(QStringLiteral("paced"), {"AT+CSQ"});
        const Run run = Execute({QStringLiteral("--port"), pty.slavePath(), QStringLiteral("--char-delay"),
                                 QStringLiteral("30"), set});
        QVERIFY2(run.exitStatus == 0, run.out + run.err);
        QCOMPARE(heard, QByteArray("AT+CSQ\r"));
        // Written at once, the frame is read in one piece; paced, its bytes
        // come apart (a busy machine may read some together), over at least
        // most of their pauses.
        QCOMPARE(at.size(), 7);
        QVERIFY2(QSet<qint64>(at.begin(), at.end()).size() >= 5, qPrintable(QString::number(at.last() - at.first())));
        QVERIFY2(at.last() - at.first() >= 100, qPrintable(QString::number(at.last() - at.first())));
        QVERIFY(run.json.value(QStringLiteral("boundMs")).toDouble() >= 7 * 30);

        const QList<QStringList> refused = {{QStringLiteral("--char-delay"), QStringLiteral("-1")},
                                            {QStringLiteral("--line-delay"), QStringLiteral("x")},
                                            {QStringLiteral("--pulse-dtr"), QStringLiteral("50")}};
        for (const QStringList &option : refused) {
            const Run bad = Execute(QStringList {QStringLiteral("--port"), pty.slavePath()} + option + QStringList {set});
            QCOMPARE(bad.exitStatus, 2);
            QVERIFY2(bad.err.contains("invalid " + option[0].toUtf8()), bad.err);
        }
    }

    void usageAndPortErrors()
    {
        const QString set = WriteSet(QStringLiteral("one"), {"AT"});
        // A set with nothing to send never passes, nor a glob with no port.
        for (const QByteArray &count : {QByteArray(), QByteArray("cmdnum=0\r\n"), QByteArray("cmdnum=x\r\n")}) {
            QFile damaged(m_dir.filePath(QStringLiteral("damaged.ini")));
            QVERIFY(damaged.open(QIODevice::WriteOnly));
            damaged.write("[damaged]\r\n" + count + "cmd1=AT\r\n");
            damaged.close();
            const Run empty = Execute({QStringLiteral("--port"), QStringLiteral("Simulated module"), damaged.fileName()});
            QCOMPARE(empty.exitStatus, 2);
            QVERIFY2(empty.err.contains(damaged.fileName().toUtf8() + ": no commands to send"), empty.err);
        }
        // One device under two names is refused before anything opens.
        PtyPair twice;
        const QString alias = m_dir.filePath(QStringLiteral("alias"));
        QVERIFY(PointLink(alias, twice.slavePath()));
        const Run same = Execute({QStringLiteral("--port"), twice.slavePath(), QStringLiteral("--port"), alias, set});
        QCOMPARE(same.exitStatus, 2);
        QVERIFY2(same.err.contains("are the same device"), same.err);
        const Run none = Execute({QStringLiteral("--ports"), m_dir.filePath(QStringLiteral("nothing-*")), set});
        QCOMPARE(none.exitStatus, 2);
        QVERIFY2(none.err.contains("no port matches"), none.err);
        // A module type of the user's data folder, made with the example.
        QTemporaryDir data;
        qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
        const Run fromData = Execute({QStringLiteral("--user-data"), QStringLiteral("--port"),
                                      QStringLiteral("Simulated module"), QStringLiteral("example")});
        qunsetenv("XDG_DATA_HOME");
        QVERIFY2(fromData.exitStatus == 0, fromData.out + fromData.err);
        QVERIFY(QFileInfo(data.filePath(QStringLiteral("qrvterm/Module/example.ini"))).isFile());
        QCOMPARE(fromData.json.value(QStringLiteral("setFile")).toString(),
                 data.filePath(QStringLiteral("qrvterm/Module/example.ini")));
        // --rts and --dtr raise their lines: no handshake is promised.
        QProcess help;
        help.start(QStringLiteral(QRV_RUNNER_PATH), {QStringLiteral("--help")});
        QVERIFY(help.waitForFinished());
        const QByteArray helpText = help.readAllStandardOutput();
        QVERIFY2(!helpText.contains("handshake") && helpText.contains("Raise RTS while the port is open"), helpText);
        // A port name in the wrong case, a module type that is not there:
        // what was meant, and where it was looked for.
        const Run lower = Execute({QStringLiteral("--port"), QStringLiteral("simulated module"), set});
        QCOMPARE(lower.exitStatus, 2);
        QVERIFY2(lower.err.contains("did you mean \"Simulated module\"?"), lower.err);
        QProcess nosuch;
        nosuch.setWorkingDirectory(m_dir.path());
        nosuch.start(QStringLiteral(QRV_RUNNER_PATH), {QStringLiteral("--port"), QStringLiteral("Simulated module"),
                                                       QStringLiteral("nosuch")});
        QVERIFY(nosuch.waitForFinished(10000));
        QCOMPARE(nosuch.exitCode(), 2);
        const QByteArray nosuchErr = nosuch.readAllStandardError();
        QVERIFY2(nosuchErr.contains("Module/nosuch.ini"), nosuchErr);
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
        QCOMPARE(run.commands().size(), 1);
        QCOMPARE(run.command(0).value(QStringLiteral("why")).toString(), QStringLiteral("the port could not be opened"));

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
