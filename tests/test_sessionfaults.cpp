// The window's session without its widgets (TerminalSession) against modules
// that misbehave on a pty behind a link (FaultyModule): they never read or
// stop reading, drop their line and come back on another pty, boot-loop,
// chatter without end, answer late, send garbage and half lines. Whatever
// the module does, the session keeps to what holds for any run:
//  - the event loop is never held: a 10 ms timer never waits kHeldMs;
//  - the log holds exactly the module's bytes, each pty's after the line
//    that told the device back (the first pty's from the start) and before
//    the next lost line, nothing while the device is away, and besides them
//    only what the terminal adds: the commands it logs and those lines;
//  - a Send All run ends within its time limit and at the poll after an
//    ERROR, and sends each command after the first only once an OK came;
//  - Close ends a wait at once; otherwise it returns after draining at most
//    the stuck bytes' wire time and the margin, and the pause.
#include "at/commandframe.h"
#include "faultymodule.h"
#include "session/terminalsession.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <functional>
#include <memory>

namespace {

#ifdef QRV_SANITIZED
constexpr qint64 kHeldMs = 400;  // the longest the event loop may go without turning
constexpr qint64 kSlackMs = 400; // a timer's lateness on a busy machine
constexpr qint64 kAtOnceMs = 100; // a call that only queues or logs
#else
constexpr qint64 kHeldMs = 200;
constexpr qint64 kSlackMs = 200;
constexpr qint64 kAtOnceMs = 50;
#endif

// The longest the event loop went without turning, as a 10 ms timer sees it.
class LoopWatch : public QObject
{
public:
    LoopWatch()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(10);
        connect(&m_timer, &QTimer::timeout, this, [this] { Tick(); });
        m_clock.start();
        m_timer.start();
    }
    qint64 longest()
    {
        if (m_timer.isActive())
            Tick();
        return m_longest;
    }
    // What comes until resume() is not counted: a close that drains stuck
    // output holds the loop by design, for a bound measured on its own.
    void pause()
    {
        Tick();
        m_timer.stop();
    }
    void resume()
    {
        m_last = m_clock.elapsed();
        m_timer.start();
    }

private:
    void Tick()
    {
        const qint64 now = m_clock.elapsed();
        m_longest = std::max(m_longest, now - m_last);
        m_last = now;
    }

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

// Where a and b first differ, with a little of each from there.
QString Difference(const QByteArray &a, const QByteArray &b)
{
    qsizetype i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
        ++i;
    return QStringLiteral("%1 bytes against %2, first difference at %3: \"%4\" against \"%5\"")
        .arg(a.size())
        .arg(b.size())
        .arg(i)
        .arg(QString::fromLatin1(a.mid(i, 24).toPercentEncoding(" +:,\"")),
             QString::fromLatin1(b.mid(i, 24).toPercentEncoding(" +:,\"")));
}

// The log cut at the lines that tell the device lost or back: in each stretch,
// the bytes received and what the terminal added besides those lines.
struct LogStretches
{
    QList<QByteArray> received { QByteArray() };
    QList<QByteArray> added { QByteArray() };
    QStringList lines; // "lost" or "back", in order
    QString fault;
};

LogStretches Stretches(const SessionLog &log, const QString &port)
{
    // Latin-1 both ways keeps every byte as it is.
    const QRegularExpression deviceLine(
        QStringLiteral("(\\r\\n)?----- %1 (lost|back) \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d -----\\r\\n")
            .arg(QRegularExpression::escape(port)));
    const QByteArray text = log.Text();
    LogStretches stretches;
    qsizetype pos = 0;
    for (const SessionLog::Range &range : log.TerminalRanges(0, text.size())) {
        stretches.received.last() += text.mid(pos, range.from - pos);
        const QString ours = QString::fromLatin1(text.mid(range.from, range.to - range.from));
        qsizetype at = 0;
        for (auto it = deviceLine.globalMatch(ours); it.hasNext();) {
            const QRegularExpressionMatch line = it.next();
            stretches.added.last() += ours.mid(at, line.capturedStart() - at).toLatin1();
            // Set off from what was before it, unless it is the first.
            if (line.capturedLength(1) == 0 && range.from + line.capturedStart() > 0)
                stretches.fault = QStringLiteral("a device line without its line break at %1").arg(range.from + line.capturedStart());
            stretches.lines << line.captured(2);
            stretches.received << QByteArray();
            stretches.added << QByteArray();
            at = line.capturedEnd();
        }
        stretches.added.last() += ours.mid(at).toLatin1();
        pos = range.to;
    }
    stretches.received.last() += text.mid(pos);
    return stretches;
}

// The bytes the module sent, as the log holds them, and where a position in
// the log falls among them.
struct Received
{
    QByteArray bytes;
    std::vector<SessionLog::Range> ours;

    explicit Received(const SessionLog &log)
    {
        const QByteArray text = log.Text();
        ours = log.TerminalRanges(0, text.size());
        qsizetype pos = 0;
        for (const SessionLog::Range &range : ours) {
            bytes += text.mid(pos, range.from - pos);
            pos = range.to;
        }
        bytes += text.mid(pos);
    }
    qsizetype At(qsizetype logPos) const
    {
        qsizetype theirs = logPos;
        for (const SessionLog::Range &range : ours) {
            if (range.from >= logPos)
                break;
            theirs -= std::min(range.to, logPos) - range.from;
        }
        return theirs;
    }
    QByteArray Between(qsizetype fromLogPos, qsizetype toLogPos) const
    {
        const qsizetype from = At(fromLogPos);
        return bytes.mid(from, At(toLogPos) - from);
    }
};

// A module on a pty behind a link in a folder of its own, and the session
// on that link, with what each of them did.
struct Scene
{
    using Play = std::function<void(Scene &s, const QByteArray &line, int count)>;

    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("module"));
    // What the module wrote while up on each pty: [n] after its nth drop.
    QList<QByteArray> said;
    std::unique_ptr<FaultyModule> module;
    SessionLog log;
    TerminalSession session { log };
    LoopWatch loop;
    QTimer chatter;
    QByteArray chatterText;
    // From the session's signals: the device lines in order, and in each
    // stretch of the log (cut at them) what the terminal should have added.
    QStringList events;
    QList<QByteArray> added { QByteArray() };
    QList<QByteArray> frames;  // every command's frame, as it went
    QList<qsizetype> sentAt;   // the log's size just after each
    int ended = 0;             // deviceLost

    explicit Scene(const Play &play)
    {
        module = std::make_unique<FaultyModule>(
            link, [this, play](FaultyModule &, const QByteArray &line, int count) { play(*this, line, count); });
        session.setEndChar(END_CR);
        QObject::connect(&session, &TerminalSession::commandSent, &session, [this](const QByteArray &frame) {
            frames << frame;
            sentAt << log.size();
            // Under SUB the frame is logged as it went, under CR nothing.
            if (frame.endsWith('\x1a'))
                added.last() += frame;
        });
        QObject::connect(&session, &TerminalSession::waitingForDevice, &session, [this] {
            events << QStringLiteral("lost");
            added << QByteArray();
        });
        QObject::connect(&session, &TerminalSession::deviceBack, &session, [this] {
            events << QStringLiteral("back");
            added << QByteArray();
        });
        QObject::connect(&session, &TerminalSession::deviceLost, &session, [this] { ++ended; });
        QObject::connect(&chatter, &QTimer::timeout, &chatter, [this] { Say(chatterText); });
    }

    bool Open(quint32 baudRate = 115200)
    {
        SerialSettings settings;
        settings.portName = link;
        settings.baudRate = baudRate;
        return session.Open(settings) == SerialSession::OpenResult::Opened;
    }

    void Say(const QByteArray &bytes)
    {
        if (module->isUp())
            Said(module->drops) += bytes;
        module->Send(bytes);
    }
    void SayLater(int ms, const QByteArray &bytes)
    {
        QTimer::singleShot(ms, module.get(), [this, bytes] { Say(bytes); });
    }
    // The module's own late answer, counted when asked for: right as long
    // as it says nothing else meanwhile and keeps its line.
    void Answer(const QByteArray &line, const QByteArray &text, int delayMs)
    {
        Said(module->drops) += line + '\r' + text;
        module->Answer(line, text, delayMs);
    }
    void Chatter(const QByteArray &text, int intervalMs)
    {
        chatterText = text;
        chatter.start(intervalMs);
    }
    // Each pty's bytes: the words it comes back with (Drop's), then the rest.
    QList<QByteArray> Words() const
    {
        const int ptys = module->isUp() ? module->drops + 1 : module->drops;
        QList<QByteArray> words;
        for (int i = 0; i < ptys; ++i)
            words << (i > 0 ? QByteArray("\r\nRDY\r\n") : QByteArray()) + said.value(i);
        return words;
    }
    QList<QByteArray> HeardSince(qsizetype from) const { return module->heard.mid(from); }

    // Empty when the log holds exactly what the module said and what the
    // session told it did; else what differs.
    QString LogFault() const
    {
        const LogStretches stretches = Stretches(log, link);
        if (!stretches.fault.isEmpty())
            return stretches.fault;
        if (stretches.lines != events)
            return QStringLiteral("the log's lines %1, the signals %2").arg(stretches.lines.join(u','), events.join(u','));
        for (int i = 0; i < stretches.lines.size(); ++i) {
            if (stretches.lines[i] != (i % 2 ? QLatin1String("back") : QLatin1String("lost")))
                return QStringLiteral("lines out of turn: %1").arg(stretches.lines.join(u','));
        }
        const QList<QByteArray> words = Words();
        if (words.size() != stretches.lines.size() / 2 + 1)
            return QStringLiteral("the module was on %1 ptys, the log tells %2").arg(words.size()).arg(stretches.lines.size() / 2 + 1);
        for (int i = 0; i < stretches.received.size(); ++i) {
            // Even stretches are a pty's, odd ones a wait.
            const QByteArray want = i % 2 ? QByteArray() : words[i / 2];
            if (stretches.received[i] != want)
                return QStringLiteral("received in stretch %1: %2").arg(i).arg(Difference(stretches.received[i], want));
        }
        for (int i = 0; i < stretches.added.size(); ++i) {
            if (stretches.added[i] != added.value(i))
                return QStringLiteral("added in stretch %1: %2").arg(i).arg(Difference(stretches.added[i], added.value(i)));
        }
        return QString();
    }

private:
    QByteArray &Said(int pty)
    {
        while (said.size() <= pty)
            said << QByteArray();
        return said[pty];
    }
};

QString ReasonName(SendAllEngine::EndReason reason)
{
    switch (reason) {
    case SendAllEngine::EndReason::None:
        return QStringLiteral("stopped");
    case SendAllEngine::EndReason::EndOfList:
        return QStringLiteral("end of list");
    case SendAllEngine::EndReason::Error:
        return QStringLiteral("ERROR");
    case SendAllEngine::EndReason::TimeLimit:
        return QStringLiteral("time limit");
    case SendAllEngine::EndReason::RowsGone:
        return QStringLiteral("rows gone");
    }
    return QString();
}

QByteArray Frame(const QByteArray &command, int endChar)
{
    return command + (endChar == END_SUB ? "\x1a" : "\r");
}

} // namespace

// A helper's failure ends the test function that called it.
#define CHECK(call)                                                                                                    \
    do {                                                                                                               \
        call;                                                                                                          \
        if (QTest::currentTestFailed())                                                                                \
            return;                                                                                                    \
    } while (false)

class TestSessionFaults : public QObject
{
    Q_OBJECT

    // The session's log against the module's words, then the loop's longest
    // hold so far.
    static void CheckLogAndLoop(Scene &s, int timeoutMs = 3000)
    {
        QTRY_VERIFY2_WITH_TIMEOUT(s.LogFault().isEmpty(), qPrintable(s.LogFault()), timeoutMs);
        const qint64 held = s.loop.longest();
        QVERIFY2(held < kHeldMs, qPrintable(QStringLiteral("the event loop was held %1 ms").arg(held)));
    }

    // Close, timed: with nothing open (a wait included) it drains nothing
    // and does not pause, but stopping the device watch releases an inotify
    // instance, which the kernel may take up to a hundred milliseconds to
    // do; otherwise what is still queued drains for at most its wire time
    // and the margin, then the pause. The log gets nothing from it.
    static void CloseInTime(Scene &s)
    {
        const bool open = s.session.isOpen();
        // A pty's driver holds no output of its own: what is stuck is in
        // the port's queue.
        const qint64 queued = s.session.serial().BytesToWrite();
        const qint64 drainMs = queued > 0 ? s.session.serial().WireMs(queued) + SerialSession::kDrainMarginMs : 0;
        const qint64 boundMs = open ? drainMs + SerialSession::kClosePauseMs + kSlackMs : kHeldMs;
        const qsizetype logSize = s.log.size();
        if (queued > 0)
            s.loop.pause();
        QElapsedTimer clock;
        clock.start();
        const qint64 unsent = s.session.Close();
        const qint64 took = clock.elapsed();
        s.loop.resume();
        QVERIFY2(took <= boundMs, qPrintable(QStringLiteral("Close took %1 ms, bound %2 ms (%3 bytes queued)")
                                                 .arg(took).arg(boundMs).arg(queued)));
        if (open)
            QVERIFY2(took >= SerialSession::kClosePauseMs, qPrintable(QString::number(took)));
        QVERIFY2(unsent >= 0 && unsent <= queued, qPrintable(QStringLiteral("%1 of %2").arg(unsent).arg(queued)));
        QVERIFY(!s.session.isOpen());
        QVERIFY(!s.session.isWaiting());
        QCOMPARE(s.log.size(), logSize);
        const qint64 held = s.loop.longest();
        QVERIFY2(held < kHeldMs, qPrintable(QStringLiteral("the event loop was held %1 ms").arg(held)));
    }

    // Runs Send All over rows with the given time limit (the default poll)
    // and judges the run by what holds for any run.
    static void RunSendAll(Scene &s, const QList<QByteArray> &rows, qint64 limitMs, SendAllEngine::EndReason *reason,
                           bool *cut = nullptr)
    {
        s.session.setSendAllTiming(SendAllEngine::kPollMs, limitMs);
        const qsizetype firstFrame = s.frames.size();
        const qsizetype runStart = s.log.size();
        QElapsedTimer clock;
        qint64 errorAtMs = -1, endedMs = -1;
        int started = 0, ended = 0, cuts = 0;
        QList<qint64> sentMs;
        qsizetype scanned = runStart;
        QObject context;
        // When an ERROR first reached the log during the run.
        QObject::connect(&s.session, &TerminalSession::logGrew, &context, [&] {
            if (endedMs >= 0 || errorAtMs >= 0)
                return;
            const qsizetype from = std::max(runStart, scanned - 4);
            scanned = s.log.size();
            if (Received(s.log).Between(from, scanned).contains("ERROR"))
                errorAtMs = clock.elapsed();
        });
        QObject::connect(&s.session, &TerminalSession::commandSent, &context, [&] { sentMs << clock.elapsed(); });
        QObject::connect(&s.session, &TerminalSession::sendAllStarted, &context, [&] { ++started; });
        QObject::connect(&s.session, &TerminalSession::sendAllCut, &context, [&] { ++cuts; });
        QObject::connect(&s.session, &TerminalSession::sendAllEnded, &context, [&](SendAllEngine::EndReason why) {
            ++ended;
            endedMs = clock.elapsed();
            *reason = why;
        });
        clock.start();
        QVERIFY(s.session.startSendAll(rows.size(), [rows](qsizetype row) -> std::optional<QByteArray> {
            if (row >= rows.size())
                return std::nullopt;
            return rows[row];
        }));
        QTRY_VERIFY_WITH_TIMEOUT(ended > 0, int(limitMs + SendAllEngine::kPollMs + 5000));
        QTest::qWait(SendAllEngine::kPollMs * 2); // nothing goes after the end
        QCOMPARE(started, 1);
        QCOMPARE(ended, 1);
        QVERIFY(!s.session.sendAllActive());
        const QString told = QStringLiteral("ended %1 ms after the start (reason %2), limit %3 ms, commands at %4, ERROR at %5")
                                 .arg(endedMs).arg(ReasonName(*reason)).arg(limitMs)
                                 .arg([&] {
                                     QStringList t;
                                     for (qint64 ms : std::as_const(sentMs))
                                         t << QString::number(ms);
                                     return t.join(u',');
                                 }())
                                 .arg(errorAtMs);
        QVERIFY2(endedMs <= limitMs + SendAllEngine::kPollMs + kSlackMs, qPrintable(told));
        // The rows in order, each once, the first at once.
        const QList<QByteArray> frames = s.frames.mid(firstFrame);
        QVERIFY2(!frames.isEmpty() && frames.size() <= rows.size(), qPrintable(told));
        QCOMPARE(s.session.sendAll().Sent(), frames.size());
        for (int i = 0; i < frames.size(); ++i)
            QCOMPARE(frames[i], Frame(rows[i], s.session.endChar()));
        QVERIFY2(sentMs.first() <= kAtOnceMs, qPrintable(told));
        // Each command after the first only once an OK came since the one
        // before (its O may have come just before), never after an ERROR.
        const Received received(s.log);
        const QList<qsizetype> sentAt = s.sentAt.mid(firstFrame);
        for (int i = 1; i < sentAt.size(); ++i) {
            const QByteArray since = received.Between(sentAt[i - 1], sentAt[i]);
            const qsizetype before = received.At(sentAt[i - 1]);
            const QByteArray reply = (before > 0 ? received.bytes.mid(before - 1, 1) : QByteArray()) + since;
            QVERIFY2(reply.contains("OK"), qPrintable(QStringLiteral("command %1 went without an OK: ").arg(i) + told));
            QVERIFY2(!received.Between(runStart, sentAt[i]).contains("ERROR"),
                     qPrintable(QStringLiteral("command %1 went after an ERROR: ").arg(i) + told));
        }
        // The poll after an ERROR ends the run.
        if (errorAtMs >= 0)
            QVERIFY2(endedMs - errorAtMs <= SendAllEngine::kPollMs + kSlackMs, qPrintable(told));
        switch (*reason) {
        case SendAllEngine::EndReason::EndOfList:
            QCOMPARE(frames.size(), rows.size());
            QVERIFY2(endedMs - sentMs.last() <= SendAllEngine::kPollMs + kSlackMs, qPrintable(told));
            break;
        case SendAllEngine::EndReason::Error:
            QVERIFY2(errorAtMs >= 0, qPrintable(told));
            break;
        case SendAllEngine::EndReason::TimeLimit:
            QVERIFY2(endedMs >= limitMs, qPrintable(told));
            break;
        case SendAllEngine::EndReason::None:
            // Only the device going away ends a run the user did not stop.
            QVERIFY2(cuts == 1, qPrintable(told));
            break;
        case SendAllEngine::EndReason::RowsGone:
            QFAIL(qPrintable(told));
        }
        if (*reason != SendAllEngine::EndReason::None)
            QCOMPARE(cuts, 0);
        if (cut)
            *cut = cuts > 0;
    }

private slots:
    void sendAllAgainstModulesThatMisbehave_data();
    void sendAllAgainstModulesThatMisbehave();
    void dropsItsLineThenChattersWithoutEnd();
    void bootLoops_data();
    void bootLoops();
    void staysAway();
    void neverReadsOrStopsReading();
};

namespace {

// One module's conduct during a Send All run.
struct Conduct
{
    Scene::Play play;
    std::function<void(Scene &)> before; // set up before the run
    int endChar = END_CR;
    qint64 limitMs = 1500;
    SendAllEngine::EndReason expected = SendAllEngine::EndReason::None;
    bool reads = true; // hears every command it is sent
};

const QList<QByteArray> kRows = {"AT", "ATE0", "AT+CMGF=1", "AT+CSQ", "ATI"};

Conduct ConductOf(int which)
{
    const auto ok = [](Scene &s, const QByteArray &line, int) { s.Say(line + "\r\r\nOK\r\n"); };
    switch (which) {
    case 0: // answers each 250 ms late, one at a time
        return {[](Scene &s, const QByteArray &line, int) { s.Answer(line, "\r\nOK\r\n", 250); }, {}, END_CR, 3000,
                SendAllEngine::EndReason::EndOfList, true};
    case 1: // garbage, zero bytes and half lines, an OK in two pieces
        return {[](Scene &s, const QByteArray &line, int) {
                    s.Say(line + "\r");
                    static const char garbage[] = "\r\n\xff\xfe\0garb\x1b[0m\r\n+CSQ: 1";
                    s.SayLater(20, QByteArray(garbage, sizeof garbage - 1));
                    s.SayLater(50, "9,99\r\n\r\nO");
                    s.SayLater(80, "K\r\n\x80");
                },
                {}, END_SUB, 3000, SendAllEngine::EndReason::EndOfList, true};
    case 2: // ERROR to the third command, in two pieces, then an OK
        return {[](Scene &s, const QByteArray &line, int) {
                    s.Say(line + "\r");
                    if (s.module->heard.size() == 3) {
                        s.SayLater(20, "\r\n+CME ER");
                        s.SayLater(40, "ROR: 10\r\n\r\nOK\r\n");
                    } else {
                        s.SayLater(20, "\r\nOK\r\n");
                    }
                },
                {}, END_SUB, 3000, SendAllEngine::EndReason::Error, true};
    case 3: // answers later than the run's limit allows
        return {[](Scene &s, const QByteArray &line, int) { s.Answer(line, "\r\nOK\r\n", 700); }, {}, END_CR, 1500,
                SendAllEngine::EndReason::TimeLimit, true};
    case 4: // chatters URCs without end, answers nothing
        return {[](Scene &s, const QByteArray &line, int) { s.Say(line + "\r"); },
                [](Scene &s) { s.Chatter("\r\n+CREG: 2\r\n", 15); }, END_CR, 1000, SendAllEngine::EndReason::TimeLimit,
                true};
    case 5: // never reads
        return {ok, [](Scene &s) { s.module->StopReading(); }, END_CR, 1000, SendAllEngine::EndReason::TimeLimit,
                false};
    case 6: // drops its line before the OK of the second command
        return {[](Scene &s, const QByteArray &line, int) {
                    s.Say(line + "\r");
                    if (s.module->heard.size() == 2)
                        QTimer::singleShot(100, s.module.get(), [&s] { s.module->Drop(300); });
                    else
                        s.SayLater(10, "\r\nOK\r\n");
                },
                {}, END_CR, 3000, SendAllEngine::EndReason::None, true};
    case 7: // answers at once, but there are more rows than the limit allows
        return {ok, {}, END_SUB, 1000, SendAllEngine::EndReason::TimeLimit, true};
    }
    return {{}, {}, END_CR, 0, SendAllEngine::EndReason::None, false};
}

} // namespace

void TestSessionFaults::sendAllAgainstModulesThatMisbehave_data()
{
    QTest::addColumn<int>("conduct");
    QTest::newRow("late, one at a time") << 0;
    QTest::newRow("garbage and half lines") << 1;
    QTest::newRow("ERROR") << 2;
    QTest::newRow("later than the limit") << 3;
    QTest::newRow("chatters, never answers") << 4;
    QTest::newRow("never reads") << 5;
    QTest::newRow("drops its line") << 6;
    QTest::newRow("quick, too many rows") << 7;
}

// Send All against each module: the run ends by itself as any run must, and
// the log holds exactly what the module said.
void TestSessionFaults::sendAllAgainstModulesThatMisbehave()
{
    QFETCH(int, conduct);
    const Conduct c = ConductOf(conduct);
    Scene s(c.play);
    QVERIFY(s.Open());
    s.session.setEndChar(c.endChar);
    if (c.before)
        c.before(s);
    QSignalSpy back(&s.session, &TerminalSession::deviceBack);
    SendAllEngine::EndReason reason = SendAllEngine::EndReason::RowsGone;
    bool cut = false;
    QList<QByteArray> rows = kRows;
    if (conduct == 7) {
        for (int i = 0; i < 40; ++i)
            rows << "AT+CPBR=" + QByteArray::number(i + 1);
    }
    CHECK(RunSendAll(s, rows, c.limitMs, &reason, &cut));
    QCOMPARE(ReasonName(reason), ReasonName(c.expected)); // the module did what it was meant to
    s.chatter.stop();
    if (cut) {
        // The session waits for the device, and has it again.
        QTRY_COMPARE_WITH_TIMEOUT(back.size(), 1, 3000);
        QCOMPARE(s.ended, 0);
    }
    // Every command it was sent reached it, in order (all lost with its line
    // when it drops it).
    QList<QByteArray> commands;
    for (const QByteArray &frame : std::as_const(s.frames))
        commands << frame.chopped(1);
    if (c.reads && !cut)
        QTRY_COMPARE_WITH_TIMEOUT(s.HeardSince(0), commands, 2000);
    else
        QVERIFY(commands.mid(0, s.module->heard.size()) == s.module->heard);
    CHECK(CheckLogAndLoop(s));
    CHECK(CloseInTime(s));
}

// Drops its line in the middle of a URC, comes back 0.4 s later, and from
// then on chatters without end: nothing goes and nothing is logged while
// it is away; once back, commands and a Send All run go through the URCs,
// and Close is not held up by them.
void TestSessionFaults::dropsItsLineThenChattersWithoutEnd()
{
    Scene s([](Scene &s, const QByteArray &line, int) { s.Say(line + "\r\r\nOK\r\n"); });
    QVERIFY(s.Open());
    QSignalSpy waiting(&s.session, &TerminalSession::waitingForDevice);
    QSignalSpy back(&s.session, &TerminalSession::deviceBack);
    QVERIFY(s.session.SendCommandText("AT", true));
    QTRY_VERIFY_WITH_TIMEOUT(s.log.Text().endsWith("OK\r\n"), 2000);
    // Half a line, then the line drops; what a pty holds unread when it
    // hangs up is thrown away by the kernel, so the session is given time
    // to read it.
    s.Say("+CMTI: \"SM\",");
    QTimer::singleShot(100, s.module.get(), [&s] { s.module->Drop(400); });
    QTRY_COMPARE_WITH_TIMEOUT(waiting.size(), 1, 2000);
    QVERIFY(s.session.isWaiting());
    const qsizetype away = s.log.size();
    QVERIFY(!s.session.SendCommandText("AT+CSQ", true));
    QVERIFY(!s.session.startSendAll(1, [](qsizetype) { return std::optional<QByteArray>("AT"); }));
    QCOMPARE(s.log.size(), away);
    QTRY_COMPARE_WITH_TIMEOUT(back.size(), 1, 3000);
    QCOMPARE(s.ended, 0);

    // Bursts of a kilobyte every few milliseconds.
    s.Chatter(QByteArray("\r\n+QIND: \"csq\",20,99\r\n").repeated(40), 3);
    QTest::qWait(300);
    const qsizetype heard = s.module->heard.size();
    QElapsedTimer clock;
    clock.start();
    QVERIFY(s.session.SendCommandText("AT+CSQ", true));
    QVERIFY2(clock.elapsed() < kAtOnceMs, qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE_WITH_TIMEOUT(s.HeardSince(heard), QList<QByteArray>({"AT+CSQ"}), 1000);
    SendAllEngine::EndReason reason = SendAllEngine::EndReason::RowsGone;
    CHECK(RunSendAll(s, {"ATI", "AT+CREG?", "AT+COPS?"}, 3000, &reason));
    QCOMPARE(ReasonName(reason), ReasonName(SendAllEngine::EndReason::EndOfList));
    QTest::qWait(200);
    QVERIFY(s.said.value(1).count("+QIND") >= 50); // it did chatter
    s.chatter.stop();
    CHECK(CheckLogAndLoop(s));
    CHECK(CloseInTime(s));
    QCOMPARE(s.ended, 0);
}

// Up a while and down half as long, for ever (the faster one is lost again
// well within the time a session lets a device settle after its return):
// each time it is back the session has it again and a command goes; Close
// during a wait ends it at once, and the module's returns after it are left
// alone.
void TestSessionFaults::bootLoops_data()
{
    QTest::addColumn<int>("upMs");
    QTest::addColumn<int>("downMs");
    QTest::newRow("up 0.3 s, down 0.15 s") << 300 << 150;
    QTest::newRow("up 0.12 s, down 0.06 s") << 120 << 60;
}

void TestSessionFaults::bootLoops()
{
    QFETCH(int, upMs);
    QFETCH(int, downMs);
    Scene s([](Scene &s, const QByteArray &line, int) { s.Say(line + "\r\r\nOK\r\n"); });
    QVERIFY(s.Open());
    QObject::connect(&s.session, &TerminalSession::deviceBack, &s.session,
                     [&s] { s.session.SendCommandText("AT", true); });
    s.module->BootLoop(upMs, downMs);
    QTRY_VERIFY_WITH_TIMEOUT(s.events.count(QStringLiteral("back")) >= 5, 6000);
    QCOMPARE(s.ended, 0);
    // At a moment it is away (and the log has caught up).
    QTRY_VERIFY2_WITH_TIMEOUT(s.session.isWaiting() && s.LogFault().isEmpty(), qPrintable(s.LogFault()), 3000);
    // A command went on every pty it came back on, and was heard.
    QCOMPARE(int(s.module->heard.count("AT")), int(s.events.count(QStringLiteral("back"))));
    CHECK(CheckLogAndLoop(s));
    CHECK(CloseInTime(s));
    const qsizetype logSize = s.log.size();
    const int drops = s.module->drops;
    QTRY_VERIFY_WITH_TIMEOUT(s.module->drops >= drops + 2, 3000); // back and gone again meanwhile
    QVERIFY(!s.session.isOpen());
    QCOMPARE(s.log.size(), logSize);
}

// A module that stays away longer: the session waits as long as it takes,
// Close ends the wait at once, and the module's return later is left alone.
void TestSessionFaults::staysAway()
{
    Scene s([](Scene &, const QByteArray &, int) {});
    QVERIFY(s.Open());
    s.Say("\r\nPOWERED DOWN\r\n");
    QTimer::singleShot(100, s.module.get(), [&s] { s.module->Drop(1500); });
    QTRY_VERIFY_WITH_TIMEOUT(s.session.isWaiting(), 2000);
    QTest::qWait(600);
    QVERIFY(s.session.isWaiting());
    QVERIFY(!s.session.isOpen());
    QCOMPARE(s.ended, 0);
    CHECK(CheckLogAndLoop(s));
    CHECK(CloseInTime(s));
    const qsizetype logSize = s.log.size();
    QTRY_VERIFY_WITH_TIMEOUT(s.module->isUp(), 2000);
    QTest::qWait(300);
    QVERIFY(!s.session.isOpen());
    QVERIFY(!s.session.isWaiting());
    QCOMPARE(s.log.size(), logSize);
}

// A module that never reads: each command is queued at once, the session
// goes on taking what the module says, and Close drains for no longer than
// the stuck bytes' wire time and the margin. One that stops reading in the
// middle of a long command: with the port's write time-out shortened, the
// stuck bytes are given up in time and Close has nothing to drain. One that
// drops its line with output stuck: none of it reaches the pty it comes
// back on.
void TestSessionFaults::neverReadsOrStopsReading()
{
    {
        Scene s([](Scene &, const QByteArray &, int) {});
        s.module->StopReading();
        QVERIFY(s.Open());
        QSignalSpy timedOut(&s.session, &TerminalSession::writeTimedOut);
        qint64 written = 0;
        for (int i = 0; i < 8; ++i) {
            const QByteArray note = "AT+QNOTE=" + QByteArray(4000, char('A' + i));
            QElapsedTimer clock;
            clock.start();
            QVERIFY(s.session.SendCommandText(note, true));
            QVERIFY2(clock.elapsed() < kAtOnceMs, qPrintable(QString::number(clock.elapsed())));
            written += note.size() + 1;
        }
        s.Chatter("\r\n+CREG: 1\r\n", 50);
        QTest::qWait(800);
        s.chatter.stop();
        QVERIFY(s.session.serial().BytesToWrite() > 0); // output is stuck
        QVERIFY(s.session.serial().BytesToWrite() <= written);
        QVERIFY(timedOut.isEmpty());
        QVERIFY(s.module->heard.isEmpty());
        QVERIFY(s.log.size() > 100); // what it said came in meanwhile
        CHECK(CheckLogAndLoop(s));
        CHECK(CloseInTime(s));
    }
    {
        Scene s([](Scene &s, const QByteArray &line, int) {
            s.Say(line + "\r\r\nOK\r\n");
            if (s.module->heard.size() == 2)
                s.module->StopReading();
        });
        QVERIFY(s.Open());
        constexpr int kGiveUpMs = 1000;
        s.session.serial().SetWriteTimeouts(0, kGiveUpMs);
        QSignalSpy timedOut(&s.session, &TerminalSession::writeTimedOut);
        for (const char *command : {"AT", "ATI"}) {
            const qsizetype heard = s.module->heard.size();
            QVERIFY(s.session.SendCommandText(command, true));
            QTRY_COMPARE_WITH_TIMEOUT(s.module->heard.size(), heard + 1, 1000);
        }
        const QByteArray big = "AT+QLONG=" + QByteArray(30000, 'y');
        QElapsedTimer clock;
        clock.start();
        QVERIFY(s.session.SendCommandText(big, true));
        QVERIFY(s.session.SendCommandText("AT+CSQ", true));
        QVERIFY2(clock.elapsed() < kAtOnceMs, qPrintable(QString::number(clock.elapsed())));
        const qint64 written = big.size() + 1 + 7;
        s.SayLater(300, "\r\n+CMTI: \"SM\",3\r\n");
        // Each frame adds its time to the deadline.
        QTRY_COMPARE_WITH_TIMEOUT(timedOut.size(), 1, int(2 * kGiveUpMs + 2000));
        QVERIFY2(clock.elapsed() <= 2 * kGiveUpMs + kSlackMs, qPrintable(QString::number(clock.elapsed())));
        const qint64 dropped = timedOut.first().first().toLongLong();
        QVERIFY2(dropped > 0 && dropped <= written, qPrintable(QString::number(dropped)));
        QCOMPARE(s.session.serial().BytesToWrite(), 0);
        QVERIFY(!s.module->heard.contains("AT+CSQ"));
        CHECK(CheckLogAndLoop(s));
        CHECK(CloseInTime(s));
    }
    {
        Scene s([](Scene &, const QByteArray &, int) {});
        s.module->StopReading();
        QVERIFY(s.Open());
        for (int i = 0; i < 8; ++i)
            QVERIFY(s.session.SendCommandText("AT+QNOTE=" + QByteArray(4000, char('a' + i)), true));
        QTRY_VERIFY_WITH_TIMEOUT(s.session.serial().BytesToWrite() > 0 && s.session.serial().BytesToWrite() < 8 * 4010, 2000);
        QSignalSpy back(&s.session, &TerminalSession::deviceBack);
        QSignalSpy timedOut(&s.session, &TerminalSession::writeTimedOut);
        s.module->reading = true; // on the pty it comes back on
        s.module->Drop(300);
        QTRY_COMPARE_WITH_TIMEOUT(back.size(), 1, 3000);
        QCOMPARE(s.session.serial().BytesToWrite(), 0);
        QVERIFY(s.session.SendCommandText("AT", true));
        QTest::qWait(300);
        QCOMPARE(s.module->heard, QList<QByteArray>({"AT"}));
        QVERIFY(timedOut.isEmpty());
        CHECK(CheckLogAndLoop(s));
        CHECK(CloseInTime(s));
    }
}

QTEST_MAIN(TestSessionFaults)
#include "test_sessionfaults.moc"
