// The AT conversation's plain rules: a command's frame under each end
// character, and Send All's sequencing on a fake clock.
#include "at/commandframe.h"
#include "at/sendallengine.h"

#include <QTest>
#include <functional>

namespace {

// The engine over a fixed list, recording what it sends.
struct EngineRig
{
    ReplyFlags flags;
    SendAllEngine engine{20000};
    QList<QByteArray> rows{"AT", "ATE0", "AT+CMGF=1", "AT+CSCA?"};
    QList<QByteArray> sent;
    std::function<void()> duringWrite;

    bool Poll(qint64 now)
    {
        return engine.Poll(
            now,
            [this](qsizetype r) -> std::optional<QByteArray> {
                if (r >= rows.size())
                    return std::nullopt;
                return rows[r];
            },
            [this](const QByteArray &c) {
                sent << c;
                if (duringWrite)
                    duringWrite();
            });
    }
};

} // namespace

class TestAt : public QObject
{
    Q_OBJECT

private slots:
    void commandFrame_data();
    void commandFrame();
    void engineRules();
    void engineReplyDuringWriteCounts();
};

void TestAt::commandFrame_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<int>("endChar");
    QTest::addColumn<QByteArray>("custom");
    QTest::addColumn<bool>("nullLineBreak");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("logText");
    QTest::addColumn<bool>("logLineBreak");
    const QByteArray none;
    // NULL: the command alone; the line break only where the sender asks.
    QTest::newRow("NULL, Send") << QByteArray("AT") << int(END_NULL) << none << true << QByteArray("AT") << none << true;
    QTest::newRow("NULL, double-click") << QByteArray("AT") << int(END_NULL) << none << false << QByteArray("AT") << none
                                        << false;
    // CR, LF, CR LF: nothing logged, and no line break asked for either way.
    QTest::newRow("CR") << QByteArray("AT") << int(END_CR) << none << true << QByteArray("AT\r") << none << false;
    QTest::newRow("LF") << QByteArray("AT") << int(END_LF) << none << true << QByteArray("AT\n") << none << false;
    QTest::newRow("CR LF") << QByteArray("AT") << int(END_CR_LF) << none << true << QByteArray("AT\r\n") << none
                           << false;
    // SUB: the frame is logged as it went, Ctrl-Z included.
    QTest::newRow("SUB") << QByteArray("hello") << int(END_SUB) << none << true << QByteArray("hello\x1A")
                         << QByteArray("hello\x1A") << false;
    // Custom: hex pairs, blanks ignored, either case; odd or empty adds
    // nothing; a digit that is none counts as 0; logged up to a zero byte.
    QTest::newRow("custom 0d 0a") << QByteArray("AT") << int(END_CUSTOM) << QByteArray("0d 0a") << true
                                  << QByteArray("AT\r\n") << QByteArray("AT\r\n") << false;
    QTest::newRow("custom odd") << QByteArray("AT") << int(END_CUSTOM) << QByteArray("0D0") << true
                                << QByteArray("AT") << QByteArray("AT") << false;
    QTest::newRow("custom empty") << QByteArray("AT") << int(END_CUSTOM) << none << true << QByteArray("AT")
                                  << QByteArray("AT") << false;
    QTest::newRow("custom G1") << QByteArray("AT") << int(END_CUSTOM) << QByteArray("G1") << true
                               << QByteArray("AT\x01") << QByteArray("AT\x01") << false;
    QTest::newRow("custom zero") << QByteArray("AT") << int(END_CUSTOM) << QByteArray("001A") << true
                                 << QByteArray("AT\0\x1A", 4) << QByteArray("AT") << false;
    QTest::newRow("zero in command") << QByteArray("A\0T", 3) << int(END_CUSTOM) << QByteArray("0D") << true
                                     << QByteArray("A\0T\r", 4) << QByteArray("A") << false;
    // Bytes beyond ASCII go as they are; an empty command sends its end.
    QTest::newRow("GBK bytes") << QByteArray("AT+\xD6\xD0\xFF") << int(END_CR) << none << true
                               << QByteArray("AT+\xD6\xD0\xFF\r") << none << false;
    QTest::newRow("empty, CR") << QByteArray() << int(END_CR) << none << true << QByteArray("\r") << none << false;
    // A choice outside the group: the command alone, nothing logged.
    QTest::newRow("unknown choice") << QByteArray("AT") << 9 << none << true << QByteArray("AT") << none << false;
}

void TestAt::commandFrame()
{
    QFETCH(QByteArray, command);
    QFETCH(int, endChar);
    QFETCH(QByteArray, custom);
    QFETCH(bool, nullLineBreak);
    const CommandFrame frame = BuildCommandFrame(command, endChar, custom, nullLineBreak);
    QTEST(frame.bytes, "bytes");
    QTEST(frame.logText, "logText");
    QTEST(frame.logLineBreak, "logLineBreak");
}

void TestAt::engineRules()
{
    EngineRig r;
    r.engine.Start(r.flags, r.rows.size(), 1000);
    QVERIFY(r.flags.okSeen && r.flags.noError);
    QVERIFY(r.Poll(1000)); // the first command at once
    QCOMPARE(r.sent, QList<QByteArray>({"AT"}));
    QVERIFY(!r.flags.okSeen);
    QVERIFY(r.Poll(1100)); // no reply yet: nothing
    QCOMPARE(r.sent.size(), 1);
    r.flags.okSeen = true;
    QVERIFY(r.Poll(1200));
    QCOMPARE(r.sent.size(), 2);
    // A new row does not count: the row count was read at the start.
    r.rows << "ATI";
    r.flags.okSeen = true;
    QVERIFY(r.Poll(1300));
    r.flags.okSeen = true;
    QVERIFY(r.Poll(1400));
    QCOMPARE(r.sent, QList<QByteArray>({"AT", "ATE0", "AT+CMGF=1", "AT+CSCA?"}));
    // After the last write the next poll ends the run, reply or not.
    QVERIFY(!r.Poll(1500));
    QCOMPARE(r.engine.Reason(), SendAllEngine::EndReason::EndOfList);

    // ERROR ends it before anything else is sent.
    EngineRig e;
    e.engine.Start(e.flags, e.rows.size(), 0);
    e.Poll(0);
    e.flags.okSeen = true;
    e.flags.noError = false;
    QVERIFY(!e.Poll(100));
    QCOMPARE(e.sent.size(), 1);
    QCOMPARE(e.engine.Reason(), SendAllEngine::EndReason::Error);

    // The limit holds for the whole run, from its start.
    EngineRig t;
    t.engine.Start(t.flags, t.rows.size(), 5000);
    t.Poll(5000);
    QVERIFY(t.Poll(24999));
    QVERIFY(!t.Poll(25000));
    QCOMPARE(t.engine.Reason(), SendAllEngine::EndReason::TimeLimit);
    QCOMPARE(t.sent.size(), 1);
    // ... also when a later command went out late in the run: an OK at 15 s
    // sends the second command, and the run still ends at 20 s.
    EngineRig late;
    late.engine.Start(late.flags, late.rows.size(), 0);
    late.Poll(0);
    QVERIFY(late.Poll(14900));
    late.flags.okSeen = true;
    QVERIFY(late.Poll(15000));
    QCOMPARE(late.sent.size(), 2);
    QVERIFY(late.Poll(19999));
    QVERIFY(!late.Poll(20000));
    QCOMPARE(late.engine.Reason(), SendAllEngine::EndReason::TimeLimit);
    QCOMPARE(late.sent.size(), 2);

    // Rows deleted during the run: it ends without reading past the list.
    EngineRig g;
    g.engine.Start(g.flags, g.rows.size(), 0);
    g.Poll(0);
    g.rows.clear();
    g.flags.okSeen = true;
    QVERIFY(!g.Poll(100));
    QCOMPARE(g.engine.Reason(), SendAllEngine::EndReason::RowsGone);
    QCOMPARE(g.sent.size(), 1);

    // An empty list ends at once without writing.
    EngineRig empty;
    empty.rows.clear();
    empty.engine.Start(empty.flags, 0, 0);
    QVERIFY(!empty.Poll(0));
    QVERIFY(empty.sent.isEmpty());
}

// A reply taken while a command is being written counts for that command.
void TestAt::engineReplyDuringWriteCounts()
{
    EngineRig r;
    r.duringWrite = [&] { r.flags.okSeen = true; };
    r.engine.Start(r.flags, r.rows.size(), 0);
    r.Poll(0);
    QVERIFY(r.flags.okSeen);
    r.Poll(100);
    QCOMPARE(r.sent.size(), 2);
}

QTEST_MAIN(TestAt)
#include "test_at.moc"
