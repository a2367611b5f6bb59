// The simulated module reached inside the program, with no pty: the Port
// entry "Simulated module" through the window's session and through
// qrvterm-run, the line's pace, and the module's reset followed by
// reconnect.

#include "app/simulatedport.h"
#include "commands/commandsetfiles.h"
#include "dialogsupport.h"
#include "messageboxcatcher.h"
#include "serial/serialsession.h"
#include "session/portopener.h"
#include "sim/simengine.h"
#include "sim/siminprocessport.h"
#include "sim/simmodule.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// A window on the simulated module at the speed of speedIndex (4: 4800).
struct SimWindow
{
    SessionLog log;
    TerminalDialog d { log };
    QPushButton *startStop = FindControl<QPushButton>(d, "startStopButton");

    explicit SimWindow(int speedIndex = 4)
    {
        d.SelectPort(TerminalDialog::kSimulatedPortName);
        FindControl<QComboBox>(d, "speedList")->setCurrentIndex(speedIndex);
        FindControl<QRadioButton>(d, "endCrRadio")->setChecked(true);
    }
    bool Start()
    {
        startStop->click();
        return d.Session().isOpen();
    }
    bool Stop()
    {
        startStop->click();
        return !d.Session().isOpen();
    }
    void Send(const QString &command)
    {
        FindControl<QLineEdit>(d, "commandEdit")->setText(command);
        FindControl<QPushButton>(d, "sendButton")->click();
    }
    // Sends one command line and returns what the log got from then on,
    // once it ends in a final result code (or after timeoutMs).
    QByteArray Ask(const QString &command, int timeoutMs = 5000)
    {
        static const QRegularExpression final(QStringLiteral("(OK|ERROR|\\+CM[ES] ERROR: [^\\r]*)\\r\\n$"));
        const qsizetype from = log.Text().size();
        Send(command);
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            QTest::qWait(5);
            const QByteArray got = log.Text().mid(from);
            if (final.match(QString::fromLatin1(got)).hasMatch())
                return got;
        }
        return log.Text().mid(from);
    }
};

// What session has received, without waiting.
QByteArray Drain(SerialSession &session)
{
    QByteArray got;
    char buffer[4096];
    qint64 n;
    while ((n = session.Read(buffer, sizeof buffer)) > 0)
        got.append(buffer, n);
    return got;
}

// Reads from session until want bytes came or timeoutMs passed.
QByteArray ReadSome(SerialSession &session, qsizetype want, int timeoutMs)
{
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    while (got.size() < want && clock.elapsed() < timeoutMs) {
        QTest::qWait(5);
        got += Drain(session);
    }
    return got;
}

} // namespace

class TestSimInProcess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TerminalDialog::SetPortLister([] { return QStringList(); });
        UseSimulatedModule(0, false, SimulatedModuleLine::InProcess);
    }

    // The entry opens the module by its in-process name, and it answers;
    // each Start finds it as at its first start, message store included.
    void eachStartPowersTheModuleOn()
    {
        SimWindow w(10); // 115200
        QVERIFY(w.Start());
        QCOMPARE(w.d.Session().serial().DevicePath(), QStringLiteral("sim:"));
        QCOMPARE(w.Ask(QStringLiteral("AT")), QByteArray("AT\r\r\nOK\r\n"));
        // One terminal at a time; a name no module has does not open.
        SerialSession other;
        SerialSettings again;
        again.portName = QStringLiteral("sim:");
        QCOMPARE(other.Open(again), SerialSession::OpenResult::Failed);
        QCOMPARE(other.OpenFailure().cause, PortOpenFailure::Cause::InUse);
        again.portName = QStringLiteral("sim:9");
        QCOMPARE(other.Open(again), SerialSession::OpenResult::Failed);
        QCOMPARE(other.OpenFailure().cause, PortOpenFailure::Cause::NoSuchDevice);
        QCOMPARE(w.Ask(QStringLiteral("AT+CMGD=1")), QByteArray("AT+CMGD=1\r\r\nOK\r\n"));
        QCOMPARE(w.Ask(QStringLiteral("ATE0;+CMGF=1;+CMGR=1")).count("+CMGR:"), 0);
        QVERIFY(w.Stop());
        QVERIFY(w.Start());
        // Echo on again, and message 1 back.
        const QByteArray text = w.Ask(QStringLiteral("AT+CMGF=1;+CMGR=1"));
        QVERIFY2(text.startsWith("AT+CMGF=1;+CMGR=1\r"), text.constData());
        QCOMPARE(text.count("+CMGR: \"REC UNREAD\",\"+8613800000000\""), 1);
        QVERIFY(w.Stop());
    }

    // The module's status lines: on and ready, its ring indicator pulsed
    // for a RING (1 s) and for a message's +CMTI (120 ms), each ring
    // counted where it ends.
    void ringIndicatorPulses()
    {
        SimInProcessPort module(QStringLiteral("sim:lines"));
        module.setLineRate(115200);
        module.start();
        SerialSession session;
        SerialSettings settings;
        settings.portName = module.name();
        settings.baudRate = 115200;
        QCOMPARE(session.Open(settings), SerialSession::OpenResult::Opened);
        QVERIFY(session.ReportsModemLines());
        const SerialSession::ModemLines at = session.GetModemLines();
        QVERIFY(at.cts && at.dsr && !at.dcd && !at.ri);
        struct Change
        {
            bool ri;
            quint32 rings;
            qint64 ms;
        };
        QList<Change> changes;
        QElapsedTimer clock;
        clock.start();
        connect(&session, &SerialSession::ModemLinesChanged, this, [&](const SerialSession::ModemLines &lines) {
            changes.append({lines.ri, lines.rings, clock.elapsed()});
        });
        const auto ask = [&](const QByteArray &line) {
            QCOMPARE(session.Write(line.constData(), line.size()), line.size());
        };
        ask("AT+QSIMURC=10,\"RING\"\r");
        QTRY_COMPARE_WITH_TIMEOUT(changes.size(), 2, 4000);
        QVERIFY(changes[0].ri && !changes[1].ri);
        QCOMPARE(changes[1].rings, 1u);
        qint64 held = changes[1].ms - changes[0].ms;
        QVERIFY2(held >= SimEngine::kRingPulseMs - 50 && held < SimEngine::kRingPulseMs + 3000,
                 qPrintable(QString::number(held)));
        QVERIFY(ReadSome(session, 40, 2000).contains("\r\nRING\r\n"));

        ask("AT+QSIMURC=10,\"+CMTI: \\22SM\\22,3\"\r");
        QTRY_COMPARE_WITH_TIMEOUT(changes.size(), 4, 4000);
        QVERIFY(changes[2].ri && !changes[3].ri);
        QCOMPARE(changes[3].rings, 2u);
        held = changes[3].ms - changes[2].ms;
        QVERIFY2(held >= SimEngine::kMessagePulseMs - 20 && held < SimEngine::kMessagePulseMs + 3000,
                 qPrintable(QString::number(held)));
        QCOMPARE(session.GetModemLines().rings, 2u);
        session.Close();
        QVERIFY(!session.ReportsModemLines());
    }

    // AT+CFUN=1,1: the line drops once the OK is read, the window waits and
    // its reconnect opens the same name again; the module then says its
    // boot messages and has kept its message store. The next Start powers
    // it on as usual.
    void resetIsFollowedByReconnect()
    {
        SimWindow w(10);
        QVERIFY(w.Start());
        MessageBoxCatcher boxes;
        QSignalSpy waiting(&w.d.Session(), &TerminalSession::waitingForDevice);
        QSignalSpy back(&w.d.Session(), &TerminalSession::deviceBack);
        QCOMPARE(w.Ask(QStringLiteral("AT+CMGD=1")), QByteArray("AT+CMGD=1\r\r\nOK\r\n"));
        QCOMPARE(w.Ask(QStringLiteral("AT+CFUN=1,1")), QByteArray("AT+CFUN=1,1\r\r\nOK\r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(waiting.size(), 1, 3000);
        // Away, its lines are dark; back, they show again.
        QVERIFY(!w.d.Session().modemLines().cts);
        QElapsedTimer down;
        down.start();
        QTRY_COMPARE_WITH_TIMEOUT(back.size(), 1, 5000);
        QVERIFY(w.d.Session().modemLines().cts && w.d.Session().modemLines().dsr);
        QVERIFY2(down.elapsed() >= SimEngine::kResetDownMs - 20, qPrintable(QString::number(down.elapsed())));
        QCOMPARE(back.at(0).at(0).toString(), QStringLiteral("sim:"));
        QCOMPARE(waiting.size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(w.log.Text().endsWith("\r\nSMS Ready\r\n"), 3000);
        QVERIFY(w.log.Text().contains("\r\nRDY\r\n"));
        QCOMPARE(w.Ask(QStringLiteral("AT+CMGR=1")), QByteArray("AT+CMGR=1\r\r\nERROR\r\n"));
        QCOMPARE(w.Ask(QStringLiteral("AT+CMGF=1;+CMGR=3")).count("+CMGR: \"REC UNREAD\""), 1);
        QVERIFY(boxes.texts.isEmpty());

        QVERIFY(w.Stop());
        QVERIFY(w.Start());
        QCOMPARE(w.Ask(QStringLiteral("AT+CMGF=1;+CMGR=1")).count("+CMGR: \"REC UNREAD\",\"+8613800000000\""), 1);
        QVERIFY(w.Stop());
    }

    // The reset seen from the port: lost after the OK, no open for
    // kResetDownMs, then open again, and the boot messages come
    // kResetBootMs after that open.
    void resetKeepsTheNameDownThenBack()
    {
        PortOpener ports;
        SerialSettings settings;
        settings.portName = PortOpener::kSimulatedPortName;
        settings.baudRate = 115200;
        SerialSettings device = settings;
        device.portName = ports.deviceFor(settings);
        QCOMPARE(device.portName, QStringLiteral("sim:"));
        SerialSession session;
        QCOMPARE(session.Open(device), SerialSession::OpenResult::Opened);
        QSignalSpy lost(&session, &SerialSession::DeviceLost);
        QCOMPARE(session.Write("AT+CFUN=1,1\r", 12), qint64(12));
        QCOMPARE(ReadSome(session, 18, 3000), QByteArray("AT+CFUN=1,1\r\r\nOK\r\n"));
        QVERIFY(lost.wait(3000));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!session.IsOpen());
        QCOMPARE(session.Open(device), SerialSession::OpenResult::Failed);
        QVERIFY(!session.OpenFailure().Explanation().isEmpty());
        while (session.Open(device) != SerialSession::OpenResult::Opened && clock.elapsed() < 5000)
            QTest::qWait(20);
        QVERIFY(session.IsOpen());
        // (The clock started a moment after the line dropped.)
        QVERIFY2(clock.elapsed() >= SimEngine::kResetDownMs * 2 / 3, qPrintable(QString::number(clock.elapsed())));
        clock.restart();
        QByteArray boot;
        while (!boot.endsWith("SMS Ready\r\n") && clock.elapsed() < 3000) {
            QTest::qWait(5);
            const QByteArray more = Drain(session);
            if (boot.isEmpty() && !more.isEmpty())
                QVERIFY2(clock.elapsed() >= SimEngine::kResetBootMs - 5, qPrintable(QString::number(clock.elapsed())));
            boot += more;
        }
        SimulatedModule fresh;
        QCOMPARE(boot, fresh.bootMessages());
        session.Close();
    }

    // At 1200 baud a reply takes its time on the line, and comes in pieces.
    void repliesArriveAtTheLineRate()
    {
        SimWindow w(2); // 1200 baud: 120 bytes a second
        QVERIFY(w.Start());
        QCOMPARE(w.Ask(QStringLiteral("ATE0")), QByteArray("ATE0\r\r\nOK\r\n"));
        QSignalSpy grew(&w.d.Session(), &TerminalSession::logGrew);
        QElapsedTimer clock;
        clock.start();
        const QByteArray reply = w.Ask(QStringLiteral("AT+CGSN;+CCID;+CIMI"));
        const qint64 took = clock.elapsed();
        QVERIFY2(reply.endsWith("\r\nOK\r\n"), reply.constData());
        // Some 70 bytes: about 0.6 s at 1200 baud.
        const qint64 wireMs = reply.size() * 10 * 1000 / 1200;
        QVERIFY2(took >= wireMs * 8 / 10 && took < wireMs * 3 + 1500,
                 qPrintable(QStringLiteral("%1 bytes took %2 ms, %3 ms on the wire").arg(reply.size()).arg(took).arg(wireMs)));
        QVERIFY2(grew.size() >= 5, qPrintable(QString::number(grew.size())));
        QVERIFY(w.Stop());
    }

    // A long reply, in many pieces at a fast line's pace, arrives whole and
    // in order: the same bytes as the module gives for the same input, both
    // when the terminal lets it pile up and when it reads as it comes.
    void longReplyArrivesWholeAndInOrder()
    {
        PortOpener ports;
        SerialSettings settings;
        settings.portName = PortOpener::kSimulatedPortName;
        settings.baudRate = 1000000;
        SerialSettings device = settings;
        device.portName = ports.deviceFor(settings);
        SerialSession session;
        QCOMPARE(session.Open(device), SerialSession::OpenResult::Opened);
        QByteArray input;
        for (int i = 0; i < 100; ++i)
            input += "AT+CMGL=4\r";
        SimulatedModule model;

        const QByteArray piledUp = model.Feed(input);
        QVERIFY2(piledUp.size() > 40000, qPrintable(QString::number(piledUp.size())));
        QCOMPARE(session.Write(input.constData(), input.size()), qint64(input.size()));
        QTRY_COMPARE_WITH_TIMEOUT(session.BytesAvailable(), qint64(piledUp.size()), 10000);
        QTest::qWait(50); // nothing more
        QVERIFY(Drain(session) == piledUp);

        const QByteArray readAsItComes = model.Feed(input);
        QCOMPARE(session.Write(input.constData(), input.size()), qint64(input.size()));
        const QByteArray got = ReadSome(session, readAsItComes.size(), 10000);
        QCOMPARE(got.size(), readAsItComes.size());
        QVERIFY(got == readAsItComes);
        QCOMPARE(session.Close(), qint64(0));
    }

    // Output still queued is dropped by a purge, and goes out before a close
    // lets the port go.
    void queuedOutputIsDroppedOrDrained()
    {
        PortOpener ports;
        SerialSettings settings;
        settings.portName = PortOpener::kSimulatedPortName;
        settings.baudRate = 115200;
        SerialSettings device = settings;
        device.portName = ports.deviceFor(settings);
        SerialSession session;
        QCOMPARE(session.Open(device), SerialSession::OpenResult::Opened);
        QCOMPARE(session.Write("ATE0\r", 5), qint64(5));
        QCOMPARE(session.BytesToWrite(), qint64(5));
        QCOMPARE(session.DropOutput(), qint64(5));
        QTest::qWait(100);
        QCOMPARE(Drain(session), QByteArray());
        QCOMPARE(session.Write("AT+CMGD=1\r", 10), qint64(10));
        QCOMPARE(session.Close(), qint64(0));
        // Opened again by its name, not through the entry: not powered on,
        // so message 1 is gone, and echo is still on.
        QCOMPARE(session.Open(device), SerialSession::OpenResult::Opened);
        QCOMPARE(session.Write("AT+CMGF=1;+CMGR=1\r", 18), qint64(18));
        const QByteArray reply = ReadSome(session, 24, 3000);
        QVERIFY2(reply.startsWith("AT+CMGF=1;+CMGR=1\r\r\n"), reply.constData());
        QVERIFY2(!reply.contains("+CMGR:"), reply.constData());
        session.Close();
    }

    // qrvterm-run with QRV_SIM_IN_PROCESS=1: the example set passes on two
    // modules, each on its own in-process port; a reset in a set is followed
    // by reconnect to the same name, the store kept.
    void runnerUsesTheInProcessModule()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(WriteExampleCommandSet(dir.path()));
        QCOMPARE(SaveCommandSet(dir.path(), QStringLiteral("reset"),
                                {"AT+CMGD=1", "AT+CFUN=1,1", "AT+CMGF=1", "AT+CMGR=1", "AT+CMGR=3"}),
                 SaveResult::Saved);
        const auto run = [&dir](const QString &set, const QStringList &more, QJsonObject *report) {
            QProcess process;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("QRV_SIM_IN_PROCESS"), QStringLiteral("1"));
            process.setProcessEnvironment(env);
            const QString json = dir.filePath(set + QStringLiteral(".json"));
            process.start(QStringLiteral(QRV_RUNNER_PATH),
                          QStringList{QStringLiteral("--port"), QStringLiteral("Simulated module"),
                                      QStringLiteral("--speed"), QStringLiteral("115200"), QStringLiteral("--json"),
                                      json, CommandSetPath(dir.path(), set)}
                              + more);
            if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
                return -1;
            QFile file(json);
            if (file.open(QIODevice::ReadOnly))
                *report = QJsonDocument::fromJson(file.readAll()).object();
            return process.exitCode();
        };

        QJsonObject report;
        QCOMPARE(run(QStringLiteral("example"), {QStringLiteral("--count"), QStringLiteral("2")}, &report), 0);
        const QJsonArray modules = report.value(QStringLiteral("modules")).toArray();
        QCOMPARE(modules.size(), 2);
        for (int i = 0; i < 2; ++i) {
            const QJsonObject m = modules.at(i).toObject();
            QCOMPARE(m.value(QStringLiteral("device")).toString(), QStringLiteral("sim:%1").arg(i + 1));
            const QJsonArray commands = m.value(QStringLiteral("commands")).toArray();
            QCOMPARE(commands.size(), 6);
            for (const QJsonValue &c : commands)
                QCOMPARE(c.toObject().value(QStringLiteral("outcome")).toString(), QStringLiteral("passed"));
        }

        // Message 1 stays deleted over the reset; message 3 is there.
        QCOMPARE(run(QStringLiteral("reset"), {QStringLiteral("--reconnect"), QStringLiteral("10"), QStringLiteral("--keep-going")}, &report), 1);
        QCOMPARE(report.value(QStringLiteral("device")).toString(), QStringLiteral("sim:"));
        const QJsonArray outages = report.value(QStringLiteral("outages")).toArray();
        QCOMPARE(outages.size(), 1);
        QCOMPARE(outages.at(0).toObject().value(QStringLiteral("device")).toString(), QStringLiteral("sim:"));
        const QJsonArray commands = report.value(QStringLiteral("commands")).toArray();
        QCOMPARE(commands.size(), 5);
        QCOMPARE(commands.at(1).toObject().value(QStringLiteral("outcome")).toString(), QStringLiteral("passed"));
        QCOMPARE(commands.at(3).toObject().value(QStringLiteral("result")).toString(), QStringLiteral("ERROR"));
        QCOMPARE(commands.at(4).toObject().value(QStringLiteral("result")).toString(), QStringLiteral("OK"));
        QVERIFY(report.value(QStringLiteral("urcs")).toArray().size() >= 4);
    }
};

QTEST_MAIN(TestSimInProcess)
#include "test_siminprocess.moc"
