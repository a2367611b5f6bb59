// The terminal's session without a window: the port opened through the
// opener, the receive path into the log and the reply flags, framing, and
// Send All's runs, against a pty whose module side the test plays.
#include "ptypair.h"
#include "session/terminalsession.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <limits>
#include <memory>
#include <stdio.h>
#include <termios.h>

namespace {

// The line the session logs when the device goes or comes back.
QRegularExpression DeviceLine(const QString &port, const char *what)
{
    return QRegularExpression(QStringLiteral("\\r\\n----- %1 %2 \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d -----\\r\\n")
                                  .arg(QRegularExpression::escape(port), QLatin1String(what)));
}

// A session open on a fresh pty, with a command list of its own.
struct Rig
{
    PtyPair pty;
    SessionLog log;
    TerminalSession session { log };
    QList<QByteArray> rows;

    explicit Rig(bool open = true)
    {
        if (!pty.isValid())
            qFatal("no pty");
        session.setEndChar(1); // CR
        if (open && session.Open(Settings()) != SerialSession::OpenResult::Opened)
            qFatal("the pty did not open");
    }
    SerialSettings Settings() const
    {
        SerialSettings s;
        s.portName = pty.slavePath();
        s.baudRate = 115200;
        return s;
    }
    bool StartSendAll()
    {
        return session.startSendAll(rows.size(), [this](qsizetype row) -> std::optional<QByteArray> {
            if (row >= rows.size())
                return std::nullopt;
            return rows[row];
        });
    }
    // Plays the module during a run: each command (ended by CR) is answered
    // by reply(index); returns the commands in the order they came.
    QList<QByteArray> Play(const std::function<QByteArray(int)> &reply, int timeoutMs = 10000)
    {
        QList<QByteArray> got;
        QByteArray pending;
        QElapsedTimer clock;
        clock.start();
        while (session.sendAllActive() && clock.elapsed() < timeoutMs) {
            pending += pty.readFor(5);
            for (qsizetype cr; (cr = pending.indexOf('\r')) >= 0;) {
                got << pending.left(cr);
                pending.remove(0, cr + 1);
                if (const QByteArray answer = reply(int(got.size()) - 1); !answer.isEmpty())
                    pty.write(answer);
            }
        }
        return got;
    }
};

// A simulated module as the programs make one: here a second pty, counting
// how often it was made and prepared.
struct FakeSimulator : ProgramPort
{
    static inline int made = 0;
    static inline quint32 lastBaud = 0;
    static inline bool fail = false;
    PtyPair pty;
    QString prepare(quint32 baudRate, QString *error) override
    {
        lastBaud = baudRate;
        if (fail) {
            *error = QStringLiteral("no pty for you");
            return QString();
        }
        return pty.slavePath();
    }
};

// How often this thread has gone to sleep and woken up so far.
qint64 Wakeups()
{
    QFile status(QStringLiteral("/proc/thread-self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("voluntary_ctxt_switches:"))
            return line.mid(24).trimmed().toLongLong();
    }
    return -1;
}

} // namespace

class TestTerminalSession : public QObject
{
    Q_OBJECT

private slots:
    void reconnectFollowsTheLinkToANewPty();
    void stopOrReconnectOffEndsTheWait();
    void logOnDiskTurnedOnDuringAWait();
    void openTellsWhatHappened()
    {
        Rig r(false);
        QSignalSpy opened(&r.session, &TerminalSession::opened);
        QSignalSpy failed(&r.session, &TerminalSession::openFailed);
        SerialSettings missing = r.Settings();
        missing.portName = QStringLiteral("/dev/qrv-no-such-device");
        QCOMPARE(r.session.Open(missing), SerialSession::OpenResult::Failed);
        QCOMPARE(failed.size(), 1);
        QVERIFY(!failed.first().at(1).toString().isEmpty()); // the system's reason
        QVERIFY(!r.session.isOpen());

        QCOMPARE(r.session.Open(r.Settings()), SerialSession::OpenResult::Opened);
        QCOMPARE(opened.size(), 1);
        QVERIFY(r.session.isOpen());

        // Reconnect off: the port went away, told with its device, and the
        // session is closed.
        r.session.setReconnect(false);
        QSignalSpy lost(&r.session, &TerminalSession::deviceLost);
        r.pty.closeMaster();
        QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, 1000);
        QCOMPARE(lost.first().at(0).toString(), r.pty.slavePath());
        QVERIFY(!r.session.isOpen());
    }

    void simulatedModuleComesFromTheProgram()
    {
        PortOpener::setSimulatorFactory({});
        SessionLog log;
        TerminalSession session(log);
        SerialSettings s;
        s.portName = PortOpener::kSimulatedPortName;
        s.baudRate = 9600;
        // A program that makes no simulated module: the entry does not open,
        // with no system reason to give.
        QSignalSpy failed(&session, &TerminalSession::openFailed);
        QCOMPARE(session.Open(s), SerialSession::OpenResult::Failed);
        QCOMPARE(failed.first().at(1).toString(), QString());

        FakeSimulator::made = 0;
        PortOpener::setSimulatorFactory([] {
            ++FakeSimulator::made;
            return std::make_unique<FakeSimulator>();
        });
        FakeSimulator::fail = true;
        QCOMPARE(session.Open(s), SerialSession::OpenResult::Failed);
        QVERIFY(!session.ports().simulator()); // a module that did not start is not kept
        FakeSimulator::fail = false;
        QCOMPARE(session.Open(s), SerialSession::OpenResult::Opened);
        QCOMPARE(FakeSimulator::lastBaud, quint32(9600));
        auto *sim = static_cast<FakeSimulator *>(session.ports().simulator());
        QVERIFY(sim);
        QCOMPARE(session.serial().DevicePath(), sim->pty.slavePath());
        // Opened again at another speed: the same module, told the new speed.
        session.Close();
        s.baudRate = 115200;
        QCOMPARE(session.Open(s), SerialSession::OpenResult::Opened);
        QCOMPARE(FakeSimulator::made, 2);
        QCOMPARE(session.ports().simulator(), sim);
        QCOMPARE(FakeSimulator::lastBaud, quint32(115200));
        session.Close();
        PortOpener::setSimulatorFactory({});
    }

    void receivedBytesArriveInOrderInChunks()
    {
        Rig r;
        QByteArray burst;
        for (int i = 0; i < 1200; ++i)
            burst.append(char('A' + i % 26));
        {
            // Hold back the announcements so that all 1200 bytes wait at once.
            const QSignalBlocker quiet(&r.session.serial());
            QVERIFY(r.pty.write(burst));
            QTRY_COMPARE(r.session.serial().BytesAvailable(), qint64(1200));
        }
        QSignalSpy grew(&r.session, &TerminalSession::logGrew);
        QList<qsizetype> sizes;
        while (r.session.serial().BytesAvailable() > 0) {
            r.session.ReceiveChunk();
            sizes << r.log.size();
        }
        QCOMPARE(sizes, QList<qsizetype>({ 511, 1022, 1200 }));
        QCOMPARE(grew.size(), 3);
        QCOMPARE(r.log.Text(), burst);

        // Through the announcements: a larger flood, none lost or reordered,
        // zero bytes kept.
        QByteArray flood;
        for (int i = 0; i < 100000; ++i)
            flood.append(char(i * 7 % 251));
        QVERIFY(r.pty.write(flood));
        QTRY_COMPARE(r.log.size(), qsizetype(1200 + flood.size()));
        QCOMPARE(r.log.Text().mid(1200), flood);
    }

    void replyFlagsFollowTheReplies()
    {
        Rig r;
        r.session.flags().okSeen = false;
        QVERIFY(r.pty.write("\r\nO"));
        QTRY_COMPARE(r.log.size(), qsizetype(3));
        QVERIFY(!r.session.flags().okSeen);
        QVERIFY(r.pty.write("K\r\n")); // "OK" split across reads
        QTRY_VERIFY(r.session.flags().okSeen);
        QVERIFY(r.session.flags().noError);
        QVERIFY(r.pty.write("+CME ERROR: 10\r\n"));
        QTRY_VERIFY(!r.session.flags().noError);
    }

    void framingUnderTheEndCharacter()
    {
        Rig r;
        QSignalSpy sent(&r.session, &TerminalSession::commandSent);
        r.session.SendCommandText("AT", true);
        QCOMPARE(r.pty.read(3, 1000), QByteArray("AT\r"));
        QCOMPARE(r.log.Text(), QByteArray()); // CR: nothing logged
        r.session.setEndChar(4); // SUB: the frame is logged
        r.session.SendCommandText("hi", true);
        QCOMPARE(r.pty.read(3, 1000), QByteArray("hi\x1A"));
        QCOMPARE(r.log.Text(), QByteArray("hi\x1A"));
        // The custom box's text counts as it stands at each send.
        r.session.setEndChar(5);
        r.session.setCustomEnd("0d 0a");
        r.session.SendCommandText("A", false);
        r.session.setCustomEnd("00 1A");
        r.session.SendCommandText("B", false);
        QCOMPARE(r.pty.read(6, 1000), QByteArray("A\r\nB\0\x1A", 6));
        QCOMPARE(r.log.Text(), QByteArray("hi\x1A" "A\r\nB"));
        QCOMPARE(sent.size(), 4);
        QCOMPARE(sent.last().first().toByteArray(), QByteArray("B\0\x1A", 3));
        // What the terminal logged is told apart from what the module says.
        r.pty.write("OK\r\n");
        QTRY_COMPARE(r.log.size(), qsizetype(11));
        QCOMPARE(r.log.TerminalRanges(0, r.log.size()), (std::vector<SessionLog::Range> {{0, 7}}));
    }

    void sendAllInOrderStoppedByError()
    {
        Rig r;
        r.rows = { "AT", "ATE0", "AT+CMGF=1", "AT+CSCA?" };
        QSignalSpy started(&r.session, &TerminalSession::sendAllStarted);
        QSignalSpy ended(&r.session, &TerminalSession::sendAllEnded);
        QVERIFY(r.StartSendAll());
        QVERIFY(!r.StartSendAll()); // one run at a time
        const auto got = r.Play([](int i) { return QByteArray(i == 2 ? "\r\nERROR\r\n" : "\r\nOK\r\n"); });
        QCOMPARE(got, r.rows.mid(0, 3));
        QCOMPARE(r.session.sendAll().Reason(), SendAllEngine::EndReason::Error);
        QCOMPARE(r.pty.readFor(300), QByteArray()); // the fourth never goes
        QCOMPARE(started.size(), 1);
        QCOMPARE(ended.size(), 1);
        QCOMPARE(ended.first().first().value<SendAllEngine::EndReason>(), SendAllEngine::EndReason::Error);
    }

    void silentModuleTimesOut()
    {
        Rig r;
        r.rows = { "AT", "ATI" };
        r.session.setSendAllTiming(100, 1000);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(r.StartSendAll());
        const auto got = r.Play([](int) { return QByteArray(); });
        const qint64 ended = clock.elapsed();
        QCOMPARE(got, QList<QByteArray>({ "AT" }));
        QCOMPARE(r.session.sendAll().Reason(), SendAllEngine::EndReason::TimeLimit);
        QVERIFY2(ended >= 1000 && ended < 1600, qPrintable(QString::number(ended)));
    }

    // Two commands of a run never go out less than a poll interval apart,
    // even when the module answers at once.
    void pollsAreNeverEarly()
    {
        Rig r;
        r.rows = QList<QByteArray>(25, "AT");
        QElapsedTimer clock;
        clock.start();
        QList<qint64> sentNs;
        connect(&r.session, &TerminalSession::commandSent, this, [&] { sentNs << clock.nsecsElapsed(); });
        QVERIFY(r.StartSendAll());
        const auto got = r.Play([](int) { return QByteArray("OK\r\n"); }, 15000);
        QCOMPARE(got.size(), r.rows.size());
        QCOMPARE(sentNs.size(), r.rows.size());
        qint64 shortest = std::numeric_limits<qint64>::max();
        for (int i = 1; i < sentNs.size(); ++i)
            shortest = std::min(shortest, sentNs[i] - sentNs[i - 1]);
        QVERIFY2(shortest >= qint64(SendAllEngine::kPollMs) * 1000000, qPrintable(QString::number(shortest)));
    }

    // Close ends a run first, then pauses before the port is released, with
    // the event loop asleep rather than polled.
    void closeEndsTheRunAndPauses()
    {
        Rig r;
        r.rows = { "AT", "ATE0" };
        QSignalSpy ended(&r.session, &TerminalSession::sendAllEnded);
        QVERIFY(r.StartSendAll());
        QCOMPARE(r.pty.read(3, 1000), QByteArray("AT\r"));
        r.pty.write("OK\r\n");
        QTRY_VERIFY(r.session.flags().okSeen);
        QElapsedTimer clock;
        clock.start();
        const std::clock_t cpuBefore = std::clock();
        const qint64 wakeupsBefore = Wakeups();
        QCOMPARE(r.session.Close(), qint64(0));
        const qint64 took = clock.elapsed();
        const double cpuMs = double(std::clock() - cpuBefore) * 1000 / CLOCKS_PER_SEC;
        const qint64 wakeups = Wakeups() - wakeupsBefore;
        QVERIFY2(took >= SerialSession::kClosePauseMs, qPrintable(QString::number(took)));
        QVERIFY2(cpuMs < 100, qPrintable(QString::number(cpuMs)));
        // Asleep for the pause: a poll every few milliseconds would wake the
        // thread a hundred times.
        QVERIFY2(wakeups >= 0 && wakeups < 30, qPrintable(QString::number(wakeups)));
        QVERIFY(!r.session.isOpen());
        QVERIFY(!r.session.sendAllActive());
        QCOMPARE(ended.size(), 1);
        QCOMPARE(ended.first().first().value<SendAllEngine::EndReason>(), SendAllEngine::EndReason::None);
        QCOMPARE(r.pty.readFor(300), QByteArray()); // no second command
        // A Close with nothing open, or a second one, does nothing.
        QCOMPARE(r.session.Close(), qint64(0));
        QCOMPARE(ended.size(), 1);
    }

    // The log on disk gets exactly what the session log gets while the port
    // is open, within a fraction of a second, in a file named after the port.
    void logOnDisk()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString folder = dir.filePath(QStringLiteral("logs"));
        Rig r(false);
        r.session.setLogDirectory(folder);
        QSignalSpy started(&r.session, &TerminalSession::logFileStarted);
        QCOMPARE(r.session.Open(r.Settings()), SerialSession::OpenResult::Opened);
        QCOMPARE(started.size(), 1);
        const QString path = r.session.logFilePath();
        QCOMPARE(started.first().first().toString(), path);
        static const QRegularExpression name(QStringLiteral("^qrvterm_pts_\\d+_\\d{4}-\\d\\d-\\d\\dT\\d\\d-\\d\\d-\\d\\d\\.log$"));
        QVERIFY2(name.match(QFileInfo(path).fileName()).hasMatch(), qPrintable(path));
        QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(folder).absoluteFilePath());

        r.session.setEndChar(4); // SUB: the command is logged too
        r.session.SendCommandText("AT", true);
        QByteArray reply("\r\nOK\r\n\0\xFF", 9);
        QVERIFY(r.pty.write(reply));
        QTRY_COMPARE(r.log.size(), qsizetype(3 + reply.size()));
        const auto onDisk = [&] {
            QFile f(path);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
        };
        QElapsedTimer clock;
        clock.start();
        QTRY_COMPARE_WITH_TIMEOUT(onDisk(), r.log.Text(), 1000);
        QVERIFY2(clock.elapsed() < 200 + 50, qPrintable(QString::number(clock.elapsed())));
        // A flood arrives whole.
        QByteArray flood;
        for (int i = 0; i < 200000; ++i)
            flood.append(char(i * 13 % 256));
        QVERIFY(r.pty.write(flood));
        QTRY_COMPARE_WITH_TIMEOUT(r.log.size(), qsizetype(12 + flood.size()), 5000);
        // Close writes what is pending; nothing is added after it.
        r.session.Close();
        QCOMPARE(onDisk(), r.log.Text());
        r.log.Append("after");
        QTest::qWait(LogFile::kFlushMs * 2);
        QCOMPARE(onDisk().size(), r.log.size() - 5);
        QCOMPARE(r.session.logFilePath(), QString());
    }

    // A disk that fills up is told once; the log in memory goes on.
    void logOnDiskThatFails()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        Rig r(false);
        // The file it is about to make is a link to a device that is always full.
        const QDateTime now = QDateTime::currentDateTime();
        for (int s = 0; s < 3; ++s)
            QVERIFY(QFile::link(QStringLiteral("/dev/full"),
                                dir.filePath(LogFile::fileName(r.pty.slavePath(), now.addSecs(s)))));
        r.session.setLogDirectory(dir.path());
        QSignalSpy failed(&r.session, &TerminalSession::logFileFailed);
        QCOMPARE(r.session.Open(r.Settings()), SerialSession::OpenResult::Opened);
        QVERIFY(r.pty.write("hello"));
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 1000);
        QVERIFY(failed.first().first().toString().contains(QLatin1String("space"), Qt::CaseInsensitive));
        QVERIFY(r.pty.write(" world"));
        QTRY_COMPARE(r.log.Text(), QByteArray("hello world"));
        QTest::qWait(LogFile::kFlushMs * 2);
        QCOMPARE(failed.size(), 1);

        // A folder that cannot be made: told at the open, the port opens.
        QFile blocker(dir.filePath(QStringLiteral("file")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        r.session.Close();
        r.session.setLogDirectory(blocker.fileName() + QStringLiteral("/logs"));
        QCOMPARE(r.session.Open(r.Settings()), SerialSession::OpenResult::Opened);
        QTRY_COMPARE(failed.size(), 2);
        QVERIFY(r.session.isOpen());
    }

    void logFileNames()
    {
        const QDateTime t(QDate(2026, 12, 7), QTime(9, 5, 3));
        QCOMPARE(LogFile::fileName(QStringLiteral("/dev/ttyUSB0"), t), QStringLiteral("qrvterm_ttyUSB0_2026-12-07T09-05-03.log"));
        QCOMPARE(LogFile::fileName(QStringLiteral("Simulated module"), t),
                 QStringLiteral("qrvterm_Simulated_module_2026-12-07T09-05-03.log"));
        QCOMPARE(LogFile::fileName(QStringLiteral("/dev/serial/by-id/usb-Q_M-if02"), t),
                 QStringLiteral("qrvterm_serial_by-id_usb-Q_M-if02_2026-12-07T09-05-03.log"));
        QCOMPARE(LogFile::fileName(QStringLiteral("../串口"), t), QStringLiteral("qrvterm_..____2026-12-07T09-05-03.log"));
    }
};

// The device goes away and comes back under another name, behind a link
// the user opened: the session waits with its log, reopens the link's new
// device with the same settings, and goes on.
void TestTerminalSession::reconnectFollowsTheLinkToANewPty()
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("module"));
    auto first = std::make_unique<PtyPair>();
    QVERIFY(PointLink(link, first->slavePath()));
    SessionLog log;
    TerminalSession session(log);
    session.setEndChar(1);
    SerialSettings settings;
    settings.portName = link;
    settings.baudRate = 115200;
    QCOMPARE(session.Open(settings), SerialSession::OpenResult::Opened);
    QVERIFY(session.reconnect()); // on by default
    QSignalSpy waiting(&session, &TerminalSession::waitingForDevice);
    QSignalSpy back(&session, &TerminalSession::deviceBack);
    QSignalSpy lost(&session, &TerminalSession::deviceLost);

    first->write("OK\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(log.Text().endsWith("OK\r\n"), 2000);
    first.reset(); // the line drops and the device is gone
    QTRY_COMPARE_WITH_TIMEOUT(waiting.size(), 1, 2000);
    QVERIFY(session.isWaiting());
    QVERIFY(!session.isOpen());
    QVERIFY(lost.isEmpty());
    QVERIFY(DeviceLine(link, "lost").match(log.Text()).hasMatch());
    QVERIFY(log.Text().startsWith("OK\r\n\r\n----- "));
    // Nothing to open meanwhile (the link points at nothing).
    QTest::qWait(100);
    QVERIFY(back.isEmpty());

    // The module speaks as soon as it is back, before the port is open
    // again: its first words are kept.
    PtyPair second;
    second.write("RDY\r\n");
    QVERIFY(PointLink(link, second.slavePath()));
    QTRY_COMPARE_WITH_TIMEOUT(back.size(), 1, 2000);
    QVERIFY(session.isOpen());
    QVERIFY(!session.isWaiting());
    const QByteArray text = log.Text();
    const auto backLine = DeviceLine(link, "back").match(text);
    QVERIFY(backLine.hasMatch());
    QTRY_COMPARE_WITH_TIMEOUT(log.Text().mid(backLine.capturedEnd()), QByteArray("RDY\r\n"), 2000);
    // The same line settings on the new device.
    termios tio {};
    QVERIFY(::tcgetattr(second.masterFd(), &tio) == 0);
    QCOMPARE(cfgetospeed(&tio), speed_t(B115200));
    // And everything goes on.
    second.write("+CPIN: READY\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(log.Text().endsWith("-----\r\nRDY\r\n+CPIN: READY\r\n"), 2000);
    session.SendCommandText("AT", true);
    QCOMPARE(second.read(3), QByteArray("AT\r"));
    session.Close();
}

// Close during the wait ends it: a device that comes back later is left
// alone. Turning reconnect off during a wait ends the session as a loss does.
void TestTerminalSession::stopOrReconnectOffEndsTheWait()
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("module"));
    auto first = std::make_unique<PtyPair>();
    QVERIFY(PointLink(link, first->slavePath()));
    SessionLog log;
    TerminalSession session(log);
    SerialSettings settings;
    settings.portName = link;
    QCOMPARE(session.Open(settings), SerialSession::OpenResult::Opened);
    QSignalSpy waiting(&session, &TerminalSession::waitingForDevice);
    first.reset();
    QTRY_VERIFY_WITH_TIMEOUT(session.isWaiting(), 2000);
    QCOMPARE(session.Close(), 0);
    QVERIFY(!session.isWaiting());
    PtyPair second;
    QVERIFY(PointLink(link, second.slavePath()));
    QTest::qWait(200);
    QVERIFY(!session.isOpen());

    QCOMPARE(session.Open(settings), SerialSession::OpenResult::Opened);
    QSignalSpy lost(&session, &TerminalSession::deviceLost);
    second.closeMaster();
    QTRY_VERIFY_WITH_TIMEOUT(session.isWaiting(), 2000);
    session.setReconnect(false);
    QCOMPARE(lost.size(), 1);
    QVERIFY(!session.isWaiting());
    QVERIFY(!session.isOpen());
}

// "Log to Disk" turned on while the session waits for its device starts
// the file at once, beginning with the lost line; everything from the
// device's return goes into it.
void TestTerminalSession::logOnDiskTurnedOnDuringAWait()
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("module"));
    auto first = std::make_unique<PtyPair>();
    QVERIFY(PointLink(link, first->slavePath()));
    SessionLog log;
    TerminalSession session(log);
    SerialSettings settings;
    settings.portName = link;
    QCOMPARE(session.Open(settings), SerialSession::OpenResult::Opened);
    first->write("ATI\r\nEC25\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(log.Text().endsWith("EC25\r\n"), 2000);
    first.reset();
    QTRY_VERIFY_WITH_TIMEOUT(session.isWaiting(), 2000);
    const qsizetype lostAt = log.Text().indexOf("-----");
    QVERIFY(lostAt > 0);

    QSignalSpy started(&session, &TerminalSession::logFileStarted);
    QSignalSpy failed(&session, &TerminalSession::logFileFailed);
    const QString folder = dir.filePath(QStringLiteral("logs"));
    session.setLogDirectory(folder);
    QCOMPARE(started.size(), 1);
    const QString path = session.logFilePath();
    QVERIFY(!path.isEmpty());
    QCOMPARE(started.first().first().toString(), path);
    QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(folder).absoluteFilePath());
    const auto onDisk = [&] {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
    };
    QTRY_COMPARE_WITH_TIMEOUT(onDisk(), log.Text().mid(lostAt), 1000);
    QVERIFY(DeviceLine(link, "lost").match("\r\n" + onDisk()).hasMatch());

    PtyPair second;
    second.write("RDY\r\n");
    QVERIFY(PointLink(link, second.slavePath()));
    QTRY_VERIFY_WITH_TIMEOUT(log.Text().endsWith("-----\r\nRDY\r\n"), 2000);
    second.write("+CPIN: READY\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(log.Text().endsWith("+CPIN: READY\r\n"), 2000);
    QCOMPARE(session.logFilePath(), path); // the same file through the return
    session.Close();
    QCOMPARE(onDisk(), log.Text().mid(lostAt));
    QVERIFY(DeviceLine(link, "back").match(QString::fromLatin1(onDisk())).hasMatch());
    QVERIFY(failed.isEmpty());
}

QTEST_MAIN(TestTerminalSession)
#include "test_terminalsession.moc"
