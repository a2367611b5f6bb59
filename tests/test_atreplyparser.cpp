// Tests of the AT reply parser on module transcripts: echo, information lines,
// final result codes, the prompt and URCs, the same events for any split of
// the input, every byte accounted for, and its tables.

#include "at/atreplyparser.h"

#include <QTest>
#include <vector>

using Event = AtReplyParser::Event;
using Kind = AtReplyParser::Kind;
using Code = AtFinalResult::Code;

namespace {

// A parser recording its events and checking, after each call, that every
// byte fed is accounted for and that no line's text holds a line end.
struct Harness
{
    std::vector<Event> events;
    AtReplyParser parser{[this](const Event &e) { events.push_back(e); }};
    qsizetype fed = 0;
    bool sound = true;

    explicit Harness(const QByteArray &command = {})
    {
        if (!command.isEmpty())
            parser.BeginCommand(command);
    }
    void Feed(const QByteArray &bytes)
    {
        parser.Feed(bytes);
        fed += bytes.size();
        Check();
    }
    void Check() // after each call
    {
        qsizetype counted = parser.PendingBytes();
        for (const Event &e : events) {
            counted += e.bytes;
            if (e.kind != Kind::Noise && (e.text.contains('\r') || e.text.contains('\n')))
                sound = false;
        }
        sound = sound && counted == fed && parser.PendingBytes() <= AtReplyParser::kMaxLineLength;
    }
};

QString Describe(const Event &e)
{
    static const char *const kKinds[] = {"echo", "info", "final", "urc", "noise"};
    QString s = QString::fromLatin1(kKinds[int(e.kind)]);
    if (e.kind == Kind::Final) {
        s += QStringLiteral("[%1").arg(QLatin1String(AtFinalResult::Name(e.final.code)));
        s += e.final.number >= 0 ? QStringLiteral(" %1]").arg(e.final.number) : QStringLiteral("]");
    }
    if (e.continuation)
        s += QLatin1Char('+');
    return s + QLatin1Char(' ') + QString::fromLatin1(e.text);
}

// The lines, as the transcripts expect them; or, to compare runs with each
// other, everything with the byte counts.
QStringList Lines(const std::vector<Event> &events, bool all = false)
{
    QStringList out;
    for (const Event &e : events) {
        if (all)
            out << Describe(e) + QStringLiteral(" /%1").arg(e.bytes);
        else if (e.kind != Kind::Noise)
            out << Describe(e);
    }
    return out;
}

} // namespace

class TestAtReplyParser : public QObject
{
    Q_OBJECT

private slots:
    void transcripts_data()
    {
        QTest::addColumn<QByteArray>("command"); // empty: none waits
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<bool>("waiting"); // the command still waits after the input
        const auto row = [](const char *name, const char *command, const char *input, const QStringList &lines,
                            bool waiting = false) { QTest::newRow(name) << QByteArray(command) << QByteArray(input) << lines << waiting; };

        const QStringList csq{"echo AT+CSQ", "info +CSQ: 20,99", "final[OK] OK"};
        row("echo, CR", "AT+CSQ", "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n", csq);
        row("echo, CR LF", "AT+CSQ", "AT+CSQ\r\n\r\n+CSQ: 20,99\r\n\r\nOK\r\n", csq);
        row("no echo", "AT+CSQ", "\r\n+CSQ: 20,99\r\n\r\nOK\r\n", csq.mid(1));
        row("LF only", "AT+CSQ", "\n+CSQ: 20,99\nOK\n", csq.mid(1));
        row("echo only first", "AT", "\r\nX\r\nAT\r\nOK\r\n", {"info X", "info AT", "final[OK] OK"});
        row("URC before echo", "AT+CSQ", "RING\r\nAT+CSQ\r\nOK\r\n", {"urc RING", "echo AT+CSQ", "final[OK] OK"});
        row("numeric codes", "ATI", "ATI\rQuectel\r0\r4\rok\r", {"echo ATI", "info Quectel", "info 0", "info 4", "info ok"}, true);
        row("ERROR", "AT+X", "AT+X\r\r\nERROR\r\n", {"echo AT+X", "final[ERROR] ERROR"});
        row("CME number", "AT+CPIN?", "\r\n+CME ERROR: 10\r\n", {"final[+CME ERROR 10] +CME ERROR: 10"});
        row("CME text", "AT+CPIN?", "\r\n+CME ERROR: SIM not inserted\r\n", {"final[+CME ERROR] +CME ERROR: SIM not inserted"});
        row("CMS number", "AT+CMGR=9", "\r\n+CMS ERROR: 321\r\n", {"final[+CMS ERROR 321] +CMS ERROR: 321"});
        row("CONNECT text, data after", "ATD*99#", "\r\nCONNECT 150000000\r\n~data\r\n",
            {"final[CONNECT] CONNECT 150000000", "urc ~data"});
        row("NO CARRIER", "ATD123;", "\r\nNO CARRIER\r\n", {"final[NO CARRIER] NO CARRIER"});
        row("prompt", "AT+CMGS=\"1\"", "AT+CMGS=\"1\"\r\r\n> ", {"echo AT+CMGS=\"1\"", "final[PROMPT] > "});
        row("prompt, more after it", "AT+CIPSEND=5", "\r\nx> \r\n> Hi\r\n", {"info x> ", "final[PROMPT] > ", "urc Hi"});
        row("no prompt for CSQ", "AT+CSQ", "AT+CSQ\r\r\n> ", csq.mid(0, 1), true);
        row("'> ' line for CSQ", "AT+CSQ", "\r\n> \r\nOK\r\n", {"info > ", "final[OK] OK"});
        row("body echo with SUB", "Hi", "Hi\x1A\r\n+CMGS: 7\r\n\r\nOK\r\n", {"echo Hi\x1A", "info +CMGS: 7", "final[OK] OK"});
        row("idle: all URCs", "", "\r\nRING\r\n\r\n+CLIP: \"1\",129\r\nAT\r\nOK\r\n",
            {"urc RING", "urc +CLIP: \"1\",129", "urc AT", "urc OK"});
        row("URCs inside a reply", "AT+CSQ", "AT+CSQ\r\r\n+CREG: 1\r\n+CSQ: 20,99\r\n\r\nRING\r\n+CMTI: \"SM\",3\r\nOK\r\nRING\r\n",
            {"echo AT+CSQ", "urc +CREG: 1", "info +CSQ: 20,99", "urc RING", "urc +CMTI: \"SM\",3", "final[OK] OK", "urc RING"});
        row("own name is info", "AT+CREG?", "AT+CREG?\r\r\n+CREG: 0,1\r\n+CGREG: 1\r\n\r\nOK\r\n",
            {"echo AT+CREG?", "info +CREG: 0,1", "urc +CGREG: 1", "final[OK] OK"});
        row("two-line +CMT", "AT+CSQ", "\r\n+CMT: \"+1\",,\"24/01/01\"\r\nOK\r\n\r\n+CSQ: 9,99\r\n\r\nOK\r\n",
            {"urc +CMT: \"+1\",,\"24/01/01\"", "urc+ OK", "info +CSQ: 9,99", "final[OK] OK"});
        row("two-line +CDS idle", "", "+CDS: 25\r\n0791\r\n+CDSI: \"SM\",2\r\nX\r\n",
            {"urc +CDS: 25", "urc+ 0791", "urc +CDSI: \"SM\",2", "urc X"});
        row("no prompt in +CMT message", "AT+CMGS=\"1\"", "+CMT: ,3\r\n> a\r\n> ", {"urc +CMT: ,3", "urc+ > a", "final[PROMPT] > "});
    }
    void transcripts()
    {
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, input);
        QFETCH(QStringList, lines);
        QFETCH(bool, waiting);

        Harness whole(command);
        whole.Feed(input);
        QCOMPARE(Lines(whole.events), lines);
        QCOMPARE(whole.parser.CommandPending(), waiting);
        QVERIFY(whole.sound);
        const QStringList trace = Lines(whole.events, true);

        // Any split, and one byte at a time, gives the very same events.
        for (qsizetype at = 0; at <= input.size(); ++at) {
            Harness split(command);
            split.Feed(input.left(at));
            split.Feed(input.mid(at));
            QVERIFY2(split.sound, qPrintable(QStringLiteral("split at %1").arg(at)));
            QCOMPARE(Lines(split.events, true), trace);
        }
        Harness bytewise(command);
        for (char c : input)
            bytewise.Feed(QByteArray(1, c));
        QVERIFY(bytewise.sound);
        QCOMPARE(Lines(bytewise.events, true), trace);

        // Flush gives out what is held and leaves nothing pending.
        whole.parser.Flush();
        whole.Check();
        QVERIFY(whole.sound);
        QCOMPARE(whole.parser.PendingBytes(), qsizetype(0));
    }

    void endAndBeginCommand()
    {
        Harness h("AT+CSQ");
        h.Feed("AT+CSQ\r\r\n+CSQ: 2");
        h.parser.EndCommand(); // time-out: the held part is the command's
        QVERIFY(!h.parser.CommandPending());
        h.Feed("0,99\r\nOK\r\n+CREG: 1");
        h.parser.BeginCommand("AT+CREG?"); // the held URC is given out first, as a URC
        h.Feed("\r\n+CREG: 0,1\r\nOK\r\n");
        h.Check();
        QVERIFY(h.sound);
        QCOMPARE(Lines(h.events), (QStringList{"echo AT+CSQ", "info +CSQ: 2", "urc 0,99", "urc OK", "urc +CREG: 1",
                                               "info +CREG: 0,1", "final[OK] OK"}));
    }

    void sinkBeginsNextCommand()
    {
        // A runner starts the next command from the sink on a final result.
        const QByteArrayList commands{"AT", "AT+CSQ", "AT+CMGS=\"1\""};
        int next = 0;
        QStringList lines;
        AtReplyParser parser([&](const Event &e) {
            if (e.kind != Kind::Noise)
                lines << Describe(e);
            if (e.kind == Kind::Final && next < commands.size())
                parser.BeginCommand(commands[next++]);
        });
        parser.BeginCommand(commands[next++]);
        parser.Feed("AT\rOK\r\nAT+CSQ\r+CSQ: 5,0\r\nOK\r\nAT+CMGS=\"1\"\r> ");
        QCOMPARE(lines, (QStringList{"echo AT", "final[OK] OK", "echo AT+CSQ", "info +CSQ: 5,0", "final[OK] OK",
                                     "echo AT+CMGS=\"1\"", "final[PROMPT] > "}));
        QVERIFY(!parser.CommandPending());
    }

    void longLines()
    {
        const qsizetype max = AtReplyParser::kMaxLineLength;
        Harness h("AT");
        h.Feed(QByteArray(max, 'x')); // just at the bound: still held
        QCOMPARE(h.parser.PendingBytes(), max);
        QVERIFY(h.events.empty());
        h.Feed("OK\r\n"); // the rest of a cut line is no final result code
        QStringList lines{"info " + QString(max, 'x'), "info OK"};
        QCOMPARE(Lines(h.events), lines);
        QVERIFY(h.parser.CommandPending());

        // Cut as often as needed; a cut message stays the URC's continuation.
        h.Feed(QByteArray(3 * max + 5, 'y') + "\r+CMT: 1\r" + QByteArray(max + 1, 'z') + "\rOK\r\n");
        const QString y(max, 'y');
        lines << "info " + y << "info " + y << "info " + y << "info yyyyy" << "urc +CMT: 1"
              << "urc+ " + QString(max, 'z') << "urc+ z" << "final[OK] OK";
        QCOMPARE(Lines(h.events), lines);
        QVERIFY(h.sound);
    }

    void classify_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("number");
        const auto row = [](const char *line, Code code, int number = -1) {
            QTest::newRow(line) << QByteArray(line) << int(code) << number;
        };
        row("OK", Code::Ok), row("ERROR", Code::Error), row("CONNECT", Code::Connect);
        row("CONNECT 9600/RLP", Code::Connect), row("NO CARRIER", Code::NoCarrier), row("BUSY", Code::Busy);
        row("NO ANSWER", Code::NoAnswer), row("NO DIALTONE", Code::NoDialtone);
        row("+CME ERROR: 10", Code::CmeError, 10), row("+CME ERROR:3", Code::CmeError, 3);
        row("+CME ERROR: SIM busy", Code::CmeError), row("+CME ERROR: 99999999999", Code::CmeError);
        row("+CMS ERROR:   500", Code::CmsError, 500), row("+CMS ERROR: unknown error", Code::CmsError);
        for (const char *none : {"0", "4", "> ", "", "ok", "OK ", " OK", "CONNECTED", "ERROR: 1", "+CME ERROR 10", "NO CARRIERS"})
            row(none, Code::None);
    }
    void classify()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, code);
        QFETCH(int, number);
        const AtFinalResult r = AtFinalResult::Classify(line);
        QCOMPARE(int(r.code), code);
        QCOMPARE(r.number, number);
        QCOMPARE(r.text, line);
        QCOMPARE(r.Succeeded(), code == int(Code::Ok) || code == int(Code::Connect));
        // Each code's name is how its line begins ("" for none).
        const QByteArray name = AtFinalResult::Name(r.code);
        QVERIFY(code == int(Code::None) ? name.isEmpty() : line.startsWith(name) && !name.isEmpty());
    }

    void commandTables()
    {
        const QList<std::pair<QByteArray, QByteArray>> names{
            {"AT+CREG?", "+CREG"}, {"at+cmgs=\"123\"", "+CMGS"}, {"AT+CSQ;+CREG?", "+CSQ"}, {"AT^SYSINFO", "^SYSINFO"},
            {" AT+C5GREG=2", "+C5GREG"}, {"ATI", ""}, {"ATD123;", ""}, {"ATD*99#", ""}, {"AT", ""}, {"AT+", ""},
            {"+CSQ", ""}, {"", ""}};
        for (const auto &[command, name] : names)
            QCOMPARE(AtReplyParser::CommandName(command), name);

        for (const char *body : {"AT+CMGS=\"1\"", "AT+CMGW", "at+cmgc=2,0", "AT+CNMA=0,10", "AT+CIPSEND=1,10",
                                 "AT+QISEND=0", "at+mipsend=1"})
            QVERIFY2(AtReplyParser::AsksForBody(body), body);
        for (const char *other : {"AT+CMGS=?", "AT+CIPSEND?", "AT+CSQ", "AT+CMGR=1", "ATD123;", "AT+SENDX", "ATSEND"})
            QVERIFY2(!AtReplyParser::AsksForBody(other), other);
    }

    void knownUrcs()
    {
        for (const char *name : {"+CRING", "+CMTI", "+CMT", "+CDS", "+CDSI", "+CBM", "+CBMI", "+CREG", "+CGREG", "+CEREG",
                                 "+C5GREG", "+CLIP", "+CCWA", "+CUSD", "+CIEV", "+CGEV", "+CSSI", "+CSSU", "+CTZV", "+CTZE"}) {
            const QByteArray line = QByteArray(name) + ": 1";
            QVERIFY2(AtReplyParser::IsKnownUrc(line), name);
            QVERIFY2(AtReplyParser::IsKnownUrc(line, "+CSQ"), name);
            QVERIFY2(!AtReplyParser::IsKnownUrc(line, name), name);
        }
        QVERIFY(AtReplyParser::IsKnownUrc("RING", "+CRING"));
        for (const char *other : {"RINGING", "+CMTX: 1", "+CREG 1", "+creg: 1", "+CSQ: 20,99", "CREG: 1", "", " RING"})
            QVERIFY2(!AtReplyParser::IsKnownUrc(other), other);
    }
};

QTEST_GUILESS_MAIN(TestAtReplyParser)
#include "test_atreplyparser.moc"
