// The simulated module: its AT command handling through Feed(), and SimPort
// serving it on a pseudo-terminal.

#include "sim/simmodule.h"
#include "sim/simport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <cerrno>
#include <ctime>
#include <limits>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QByteArray OK = "\r\nOK\r\n";
const QByteArray ERR = "\r\nERROR\r\n";

// SMS-SUBMIT PDUs: "hellohello" to +46708251358 with relative validity;
// "hi" behind a concatenation header; UCS2 "你好" with a service centre part.
const QByteArray kHelloPdu = "0011000B916407281553F80000AA0AE8329BFD4697D9EC37";
const QByteArray kHeaderPdu = "0041000B916407281553F800000905" "0003CC0201D069";
const QByteArray kUcs2Pdu = "0891683108100005F0" "01000B818110325476F8000804" "4F60597D";

// A module with echo off, so that replies can be compared on their own.
struct Quiet : SimulatedModule
{
    Quiet() { Feed("ATE0\r"); }
};

// Fields of an SMS-DELIVER PDU, decoded here independently of the module.
struct Deliver
{
    QByteArray smsc;      // service centre part including its length octet
    int firstOctet = -1;
    QByteArray sender;    // address field: length, type, semi-octets
    int pid = -1;
    int dcs = -1;
    QByteArray timestamp;
    int udl = -1;
    QByteArray ud;
    int tpduLength = -1;
};

Deliver parseDeliver(const QByteArray &hex)
{
    const QByteArray b = QByteArray::fromHex(hex);
    Deliver d;
    int p = 0;
    const auto take = [&](int n) { const QByteArray out = b.mid(p, n); p += n; return out; };
    d.smsc = take(1 + quint8(b.at(0)));
    d.tpduLength = int(b.size()) - p;
    d.firstOctet = quint8(take(1).at(0));
    const int digits = quint8(b.at(p));
    d.sender = take(2 + (digits + 1) / 2);
    d.pid = quint8(take(1).at(0));
    d.dcs = quint8(take(1).at(0));
    d.timestamp = take(7);
    d.udl = quint8(take(1).at(0));
    d.ud = b.mid(p);
    return d;
}

QByteArray unpackSeptets(const QByteArray &ud, int count)
{
    QByteArray out;
    for (int i = 0; i < count; ++i) {
        int s = 0;
        for (int bit = 0; bit < 7; ++bit) {
            const int pos = i * 7 + bit;
            if ((quint8(ud.at(pos / 8)) >> (pos % 8)) & 1)
                s |= 1 << bit;
        }
        out.append(char(s));
    }
    return out;
}

// The terminal's end of a SimPort: the slave opened like a serial port.
class Terminal
{
public:
    explicit Terminal(const QString &path)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios tio {};
        if (m_fd >= 0 && ::tcgetattr(m_fd, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(m_fd, TCSANOW, &tio);
        }
    }
    ~Terminal() { close(); }
    bool isOpen() const { return m_fd >= 0; }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    ssize_t readRaw(char *byte) { return ::read(m_fd, byte, 1); }
    bool write(const QByteArray &bytes) { return ::write(m_fd, bytes.constData(), size_t(bytes.size())) == bytes.size(); }
    // Reads until `expected` bytes came or timeoutMs passed, keeping the
    // event loop (and so the SimPort) running. Every read that returned
    // data is one piece.
    QByteArray read(qsizetype expected, int timeoutMs, int *pieces = nullptr)
    {
        QByteArray out;
        QElapsedTimer timer;
        timer.start();
        while (out.size() < expected && timer.elapsed() < timeoutMs) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            char buf[65536];
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n > 0) {
                out.append(buf, n);
                if (pieces)
                    ++*pieces;
            } else {
                QThread::msleep(1);
            }
        }
        return out;
    }

private:
    int m_fd = -1;
};

void runEventLoopFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool luhnValid(const QByteArray &digits)
{
    int sum = 0;
    for (qsizetype i = 0; i < digits.size(); ++i) {
        const int d = digits[digits.size() - 1 - i] - '0';
        sum += i % 2 == 0 ? d : d * 2 > 9 ? d * 2 - 9 : d * 2;
    }
    return !digits.isEmpty() && sum % 10 == 0;
}

// The one information line a command answers, with echo off.
QByteArray answer(SimulatedModule &m, const QByteArray &command)
{
    const QList<QByteArray> lines = m.Feed("AT" + command + "\r").split('\n');
    return lines.size() == 5 && lines[3] == "OK\r" ? lines[1].trimmed() : QByteArray("no answer");
}

// How many seconds the module's +CCLK clock is ahead of `reference`; a
// reading that is not "yy/MM/dd,hh:mm:ss±zz" is far out.
qint64 clockAhead(SimulatedModule &m, const QDateTime &reference)
{
    static const QRegularExpression form(QStringLiteral(R"re(^\+CCLK: "(\d\d/\d\d/\d\d,\d\d:\d\d:\d\d)([+-]\d\d)"$)re"));
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(answer(m, "+CCLK?")));
    QDateTime t = QDateTime::fromString(match.captured(1), QStringLiteral("yy/MM/dd,HH:mm:ss"));
    if (!match.hasMatch() || !t.isValid())
        return std::numeric_limits<qint64>::max();
    t.setTimeZone(QTimeZone::utc());
    return reference.secsTo(t.addYears(100).addSecs(-match.captured(2).toInt() * 900));
}

qint64 cpuTimeMs()
{
    timespec ts {};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

class TestSimModule : public QObject
{
    Q_OBJECT

private slots:
    void echoAndLineEditing()
    {
        SimulatedModule m;
        QCOMPARE(m.Feed("AT\r"), "AT\r" + OK);
        QCOMPARE(m.Feed("aT\r"), "aT\r" + OK);
        // Garbage before the command and the LF after CR are dropped unechoed.
        QCOMPARE(m.Feed(QByteArray("xyz\0\x7f\n", 6) + "AT\r\n"), "AT\r" + OK);
        // Backspace edits the line but cannot take back "AT".
        QCOMPARE(m.Feed("ATI\b+CSQ\r"), "ATI\b+CSQ\r\r\n+CSQ: 20,99\r\n" + OK);
        QCOMPARE(m.Feed("AT\b\b\r"), "AT\b\b\r" + OK);
        // Spaces and case do not matter outside strings; NUL is ignored.
        QCOMPARE(m.Feed(QByteArray("at + c\0sq\r", 10)), QByteArray("at + c\0sq\r", 10) + "\r\n+CSQ: 20,99\r\n" + OK);

        QCOMPARE(m.Feed("ATE0\r"), "ATE0\r" + OK);
        QCOMPARE(m.Feed("AT\r"), OK);
        QCOMPARE(m.Feed("ATE1\r"), OK);
        QCOMPARE(m.Feed("AT\r"), "AT\r" + OK);
    }

    void inputInAnyPieces()
    {
        SimulatedModule m;
        QCOMPARE(m.Feed("A"), "A");
        QCOMPARE(m.Feed("T+CS"), "T+CS");
        QCOMPARE(m.Feed("Q\r"), "Q\r\r\n+CSQ: 20,99\r\n" + OK);

        // A whole session gives the same answer byte by byte, in random
        // pieces, and at once.
        const QByteArray session = "junk AT+CMGF=1\r\nAT+CSCA?;+CMGR=1\r\nAT+CMGS=\"+8613700000000\"\r\n"
                                   "line one\r\nline two\x1a"
                                   "AT+CMGF=0;+CMGL=4\r\nATV0E0\r\nAT+CMGS=5\r00\x1b"
                                   "AT+CMGD=1\rA/";
        SimulatedModule whole;
        const QByteArray expected = whole.Feed(session);
        QVERIFY(expected.contains("+CMGS: 1"));
        SimulatedModule bytewise;
        QByteArray out;
        for (char c : session)
            out += bytewise.Feed(QByteArray(1, c));
        QCOMPARE(out, expected);
        SimulatedModule chunked;
        out.clear();
        QRandomGenerator rng(7);
        for (qsizetype i = 0; i < session.size();) {
            const qsizetype n = rng.bounded(1, 12);
            out += chunked.Feed(session.mid(i, n));
            i += n;
        }
        QCOMPARE(out, expected);
    }

    void resultCodeFormats()
    {
        Quiet m;
        QCOMPARE(m.Feed("ATV0\r"), "0\r");
        QCOMPARE(m.Feed("AT+CSQ\r"), "+CSQ: 20,99\r\n0\r");
        QCOMPARE(m.Feed("ATI\r"), "QRV\r\nQRV-G1\r\nRevision: QRV-G1_R1.02\r\n0\r");
        QCOMPARE(m.Feed("AT+BOGUS\r"), "4\r");
        QCOMPARE(m.Feed("AT+CMEE=1;+CMGR=99\r"), "+CMS ERROR: 321\r\n");
        // Q1 suppresses result codes, not information.
        QCOMPARE(m.Feed("ATQ1\r"), QByteArray());
        QCOMPARE(m.Feed("AT+CSQ\r"), "+CSQ: 20,99\r\n");
        QCOMPARE(m.Feed("ATQ0V1\r"), OK);
    }

    void errorsFollowCmee()
    {
        Quiet m;
        const QByteArray cme[] = {ERR, "\r\n+CME ERROR: 50\r\n", "\r\n+CME ERROR: Incorrect parameters\r\n"};
        const QByteArray cms[] = {ERR, "\r\n+CMS ERROR: 321\r\n", "\r\n+CMS ERROR: invalid memory index\r\n"};
        for (int level = 0; level <= 2; ++level) {
            QCOMPARE(m.Feed("AT+CMEE=" + QByteArray::number(level) + "\r"), OK);
            QCOMPARE(m.Feed("AT+CREG=7\r"), cme[level]);
            QCOMPARE(m.Feed("AT+CMGR=42\r"), cms[level]);
            // Unknown commands are syntax errors whatever the level.
            QCOMPARE(m.Feed("AT+NOSUCH\r"), ERR);
            QCOMPARE(m.Feed("ATX9\r"), ERR);
        }
        QCOMPARE(m.Feed("AT+CMEE?\r"), "\r\n+CMEE: 2\r\n" + OK);
        QCOMPARE(m.Feed("AT+CMEE=3\r"), "\r\n+CME ERROR: Incorrect parameters\r\n");
    }

    void commandChaining()
    {
        Quiet m;
        QCOMPARE(m.Feed("AT+CMGF=1;+CSCA?\r"), "\r\n+CSCA: \"+8613800100500\",145\r\n" + OK);
        QCOMPARE(m.Feed("AT+CMGF?\r"), "\r\n+CMGF: 1\r\n" + OK);
        // Basic commands run together; an extended one may follow directly.
        QCOMPARE(m.Feed("ATE1V0+CMGF=0\r"), "0\r"); // echo was off while it came
        QCOMPARE(m.Feed("ATE0V1\r"), "ATE0V1\r" + OK);
        // The first error ends the line: what came before is answered and
        // done, what follows is not run.
        QCOMPARE(m.Feed("AT+CSQ;+NOPE;+CMGF=1\r"), "\r\n+CSQ: 20,99\r\n" + ERR);
        QCOMPARE(m.Feed("AT+CMGF?\r"), "\r\n+CMGF: 0\r\n" + OK);
        QCOMPARE(m.Feed("AT+CSQ;+CREG?\r"), "\r\n+CSQ: 20,99\r\n\r\n+CREG: 0,1\r\n" + OK);
        QCOMPARE(m.Feed("AT+CSQ+CREG?\r"), ERR);
        QCOMPARE(m.Feed("AT+CSCA=\"+123\r"), ERR); // unterminated string
        // A message prompt must end the line.
        QCOMPARE(m.Feed("AT+CMGS=10;+CSQ\r"), ERR);
        QVERIFY(!m.isEnteringMessage());
    }

    void sRegistersProfilesAndRepeat()
    {
        Quiet m;
        QCOMPARE(m.Feed("ATS3?\r"), "\r\n013\r\n" + OK);
        QCOMPARE(m.Feed("ATS3=?\r"), "\r\n(0-127)\r\n" + OK);
        QCOMPARE(m.Feed("ATS99?\r"), ERR);
        // S3 ends lines and frames responses from the moment it is set.
        QCOMPARE(m.Feed("ATS3=35\r"), "#\nOK#\n");
        QCOMPARE(m.Feed("AT\r"), QByteArray());
        QCOMPARE(m.Feed("#"), "#\nOK#\n");
        QCOMPARE(m.Feed("ATS3=13#"), OK);

        // ATZ restores what AT&W stored; AT&F the factory settings.
        QCOMPARE(m.Feed("AT&W\r"), OK);
        QCOMPARE(m.Feed("ATE1\r"), OK);
        QCOMPARE(m.Feed("ATZ\r"), "ATZ\r" + OK);
        QCOMPARE(m.Feed("AT\r"), OK);
        QCOMPARE(m.Feed("AT&F\r"), OK);
        QCOMPARE(m.Feed("AT\r"), "AT\r" + OK);

        // A/ repeats the previous line.
        QCOMPARE(m.Feed("AT+CSQ\r"), "AT+CSQ\r\r\n+CSQ: 20,99\r\n" + OK);
        QCOMPARE(m.Feed("a/"), "a/\r\n+CSQ: 20,99\r\n" + OK);

        // An over-long line is refused as a whole and forgotten.
        const QByteArray longLine = "AT" + QByteArray(SimulatedModule::kMaxLineLength + 10, 'E') + "\r";
        QCOMPARE(m.Feed(longLine), longLine + ERR);
        QCOMPARE(m.Feed("A/"), "A/\r\n+CSQ: 20,99\r\n" + OK);
    }

    void textModeSending()
    {
        SimulatedModule m;
        QCOMPARE(m.Feed("AT+CMGF=1\r"), "AT+CMGF=1\r" + OK);
        QCOMPARE(m.Feed("AT+CMGS=\"+8613700000000\"\r"), "AT+CMGS=\"+8613700000000\"\r\r\n> ");
        QVERIFY(m.isEnteringMessage());
        // A line break repeats the prompt; backspace edits the body.
        QCOMPARE(m.Feed("hello\r"), "hello\r\r\n> ");
        QCOMPARE(m.Feed("wordl\b\bld"), "wordl\b\bld");
        QCOMPARE(m.Feed("\x1a"), "\r\n+CMGS: 1\r\n" + OK);
        QVERIFY(!m.isEnteringMessage());
        QCOMPARE(m.sentMessages().size(), 1);
        QCOMPARE(m.sentMessages()[0].destination, QStringLiteral("+8613700000000"));
        QCOMPARE(m.sentMessages()[0].text, QStringLiteral("hello\nworld"));
        QCOMPARE(m.sentMessages()[0].reference, 1);

        // ESC abandons the message.
        QCOMPARE(m.Feed("AT+CMGS=\"10086\"\rnever mind\x1b"), "AT+CMGS=\"10086\"\r\r\n> never mind" + OK);
        QCOMPARE(m.sentMessages().size(), 1);
        QCOMPARE(m.Feed("AT\r"), "AT\r" + OK);

        // Without echo the prompts still come; the reference goes on.
        QCOMPARE(m.Feed("ATE0\r"), "ATE0\r" + OK);
        QCOMPARE(m.Feed("AT+CMGS=\"10086\"\rtwo\rlines\x1a"), "\r\n> \r\n> \r\n+CMGS: 2\r\n" + OK);

        // UCS2 data coding: the body is hex UTF-16.
        QCOMPARE(m.Feed("AT+CSMP=17,167,0,8;+CMGS=\"10086\"\r4F60597D\x1a"), "\r\n> \r\n+CMGS: 3\r\n" + OK);
        QCOMPARE(m.sentMessages().last().text, QStringLiteral("\u4F60\u597D"));
        QCOMPARE(m.Feed("AT+CMEE=1;+CMGS=\"10086\"\r4F6\x1a"), "\r\n> \r\n+CMS ERROR: 305\r\n");
        QCOMPARE(m.Feed("AT+CMGS=\"not a number\"\r"), "\r\n+CMS ERROR: 305\r\n");
        QCOMPARE(m.sentMessages().size(), 3);
    }

    void pduModeSending()
    {
        Quiet m;
        QCOMPARE(m.Feed("AT+CMEE=1\r"), OK);
        const QByteArray hello = kHelloPdu;
        QCOMPARE(m.Feed("AT+CMGS=23\r"), "\r\n> ");
        QCOMPARE(m.Feed(hello + "\x1a"), "\r\n+CMGS: 1\r\n" + OK);
        QCOMPARE(m.sentMessages().size(), 1);
        QCOMPARE(m.sentMessages()[0].destination, QStringLiteral("+46708251358"));
        QCOMPARE(m.sentMessages()[0].text, QStringLiteral("hellohello"));
        QVERIFY(m.sentMessages()[0].pduMode);

        // With a user data header the text starts after the fill bits.
        QCOMPARE(m.Feed("AT+CMGS=21\r" + kHeaderPdu + "\x1a"), "\r\n> \r\n+CMGS: 2\r\n" + OK);
        QCOMPARE(m.sentMessages()[1].text, QStringLiteral("hi"));

        QCOMPARE(m.Feed("AT+CMGS=17\r" + kUcs2Pdu + "\x1a"), "\r\n> \r\n+CMGS: 3\r\n" + OK);
        QCOMPARE(m.sentMessages()[2].destination, QStringLiteral("18012345678"));
        QCOMPARE(m.sentMessages()[2].text, QStringLiteral("\u4F60\u597D"));

        // Broken PDUs: bad hex, odd length, wrong <length>, trailing octets,
        // user data shorter than its length, not a SUBMIT.
        const QByteArray broken[][2] = {
            {"23", "0011000B916407281553F80000AA0AE8329BFD4697D9ECZZ"},
            {"23", hello.chopped(1)},
            {"22", hello},
            {"23", hello + "00"},
            {"22", hello.chopped(2)},
            {"23", "0010" + hello.mid(4)},
            {"10", "00110000"},
        };
        for (const auto &pdu : broken)
            QCOMPARE(m.Feed("AT+CMGS=" + pdu[0] + "\r" + pdu[1] + "\x1a"), "\r\n> \r\n+CMS ERROR: 304\r\n");
        QCOMPARE(m.Feed("AT+CMGS=0\r"), "\r\n+CMS ERROR: 304\r\n");
        QCOMPARE(m.Feed("AT+CMGS=165\r"), "\r\n+CMS ERROR: 304\r\n");
        QCOMPARE(m.sentMessages().size(), 3);

        // No network, no sending.
        QCOMPARE(m.Feed("AT+CFUN=4;+CMGS=23\r"), "\r\n+CMS ERROR: 331\r\n");
    }

    void readingInTextMode()
    {
        Quiet m;
        QCOMPARE(m.Feed("AT+CMGF=1\r"), OK);
        QCOMPARE(m.Feed("AT+CMGR=1\r"),
                 "\r\n+CMGR: \"REC UNREAD\",\"+8613800000000\",,\"26/12/06,10:00:00+32\"\r\n"
                 "Welcome to the simulated network. Reply HELP for help.\r\n" + OK);
        QCOMPARE(m.storage()[1].status, SimulatedModule::MessageStatus::ReceivedRead);
        QVERIFY(m.Feed("AT+CMGR=1\r").startsWith("\r\n+CMGR: \"REC READ\""));
        // Mode 1 leaves the status alone.
        QVERIFY(m.Feed("AT+CMGR=3,1\r").startsWith("\r\n+CMGR: \"REC UNREAD\""));
        QCOMPARE(m.storage()[3].status, SimulatedModule::MessageStatus::ReceivedUnread);

        // A message that needs UCS2 is shown as hex UTF-16 in any character set.
        const QByteArray chinese = "4F60597DFF0C4E16754CFF018FD9662F4E0067614E2D658777ED4FE13002";
        QVERIFY(m.Feed("AT+CMGR=2\r").contains("\r\n" + chinese + "\r\n"));
        // In UCS2 every string is hex; IRA replaces what is not ASCII.
        QCOMPARE(m.Feed("AT+CSCS=\"UCS2\";+CMGR=3\r"),
                 "\r\n+CMGR: \"REC UNREAD\",\"00310030003000380036\",,\"26/12/06,11:30:00+32\"\r\n"
                 "00420061006C0061006E00630065003A0020002400310032002E003500300020"
                 "00400020005B0032003000320036002D00310032002D00300036005D0020007B006F006B007D\r\n" + OK);
        QCOMPARE(m.Feed("AT+CSCS?\r"), "\r\n+CSCS: \"UCS2\"\r\n" + OK);
        m.receiveSms(QStringLiteral("10086"), QStringLiteral("caf\u00E9 \u00A3"), QStringLiteral("26/12/07,08:00:00-20"));
        QVERIFY(m.Feed("AT+CSCS=\"IRA\";+CMGR=4\r").contains("\r\ncaf? ?\r\n"));
        QVERIFY(m.Feed("AT+CSCS=\"GSM\";+CMGR=4\r").contains("\r\ncaf\xE9 \xA3\r\n"));

        // +CSDH=1 adds the header fields.
        QVERIFY(m.Feed("AT+CSDH=1;+CMGR=1\r")
                    .startsWith("\r\n+CMGR: \"REC READ\",\"+8613800000000\",,\"26/12/06,10:00:00+32\","
                                "145,4,0,0,\"+8613800100500\",145,54\r\n"));
        QCOMPARE(m.Feed("AT+CMGR=0\r"), ERR);
        QCOMPARE(m.Feed("AT+CMEE=1;+CMGR=abc\r"), "\r\n+CMS ERROR: 305\r\n");
    }

    void readingInPduMode()
    {
        Quiet m;
        QCOMPARE(m.receiveSms(QStringLiteral("+8613800000000"), QStringLiteral("hellohello"),
                              QStringLiteral("26/12/06,10:00:00+32")),
                 "\r\n+CMTI: \"SM\",4\r\n");
        const QList<QByteArray> lines = m.Feed("AT+CMGR=4\r").split('\n');
        QCOMPARE(lines.size(), 6);
        QVERIFY(lines[1].startsWith("+CMGR: 0,,"));
        const Deliver d = parseDeliver(lines[2].trimmed());
        QCOMPARE(lines[1].trimmed(), "+CMGR: 0,,"  + QByteArray::number(d.tpduLength));
        QCOMPARE(d.smsc.toHex().toUpper(), "0891683108100005F0");
        QCOMPARE(d.firstOctet & 0x03, 0x00); // SMS-DELIVER
        QCOMPARE(d.sender.toHex().toUpper(), "0D91683108000000F0");
        QCOMPARE(d.pid, 0);
        QCOMPARE(d.dcs, 0);
        QCOMPARE(d.timestamp.toHex().toUpper(), "62216001000023");
        QCOMPARE(d.udl, 10);
        QCOMPARE(d.ud.toHex().toUpper(), "E8329BFD4697D9EC37");
        QVERIFY(m.Feed("AT+CMGR=4\r").startsWith("\r\n+CMGR: 1,,"));

        // Default alphabet codes and extension escapes: '$' is 0x02, '@'
        // 0x00, '[' is ESC 0x3C, '{' ESC 0x28; four escapes make 39 septets.
        const Deliver balance = parseDeliver(m.Feed("AT+CMGR=3\r").split('\n')[2].trimmed());
        QCOMPARE(balance.sender.toHex().toUpper(), "05810180F6");
        QCOMPARE(balance.udl, 39);
        QCOMPARE(balance.ud.size(), 35);
        const QByteArray septets = unpackSeptets(balance.ud, balance.udl);
        QCOMPARE(septets.left(9), "Balance: ");
        QCOMPARE(septets.mid(9, 9), QByteArray("\x02" "12.50 \0 ", 9));
        QCOMPARE(septets.mid(18, 3), "\x1b\x3c" "2");
        QCOMPARE(septets.right(6), "\x1b\x28ok\x1b\x29");

        // UCS2: UTF-16 big-endian octets, negative zone with bit 3.
        m.receiveSms(QStringLiteral("10086"), QStringLiteral("\u4F60\u597D"), QStringLiteral("26/12/07,08:00:00-20"));
        const Deliver chinese = parseDeliver(m.Feed("AT+CMGR=5\r").split('\n')[2].trimmed());
        QCOMPARE(chinese.dcs, 8);
        QCOMPARE(chinese.udl, 4);
        QCOMPARE(chinese.ud.toHex().toUpper(), "4F60597D");
        QCOMPARE(chinese.timestamp.toHex().toUpper(), "6221708000000A");
    }

    void listingAndDeleting()
    {
        Quiet m;
        QCOMPARE(m.Feed("AT+CMGF=1\r"), OK);
        // Without a status only unread messages are listed, and then read.
        const QByteArray unread = m.Feed("AT+CMGL\r");
        QCOMPARE(unread.count("+CMGL: "), 2);
        QVERIFY(unread.contains("+CMGL: 1,\"REC UNREAD\""));
        QVERIFY(unread.contains("+CMGL: 3,\"REC UNREAD\",\"10086\",,\"26/12/06,11:30:00+32\"\r\nBalance"));
        QCOMPARE(m.Feed("AT+CMGL=\"REC UNREAD\"\r"), OK);
        QCOMPARE(m.Feed("AT+CMGL=\"rec read\"\r").count("+CMGL: "), 3);
        QCOMPARE(m.Feed("AT+CMEE=1;+CMGL=\"FRESH\"\r"), "\r\n+CMS ERROR: 305\r\n");

        QCOMPARE(m.Feed("AT+CMGF=0\r"), OK);
        const QByteArray all = m.Feed("AT+CMGL=4\r");
        QCOMPARE(all.count("+CMGL: "), 3);
        QVERIFY(all.contains("\r\n+CMGL: 2,1,,"));
        QCOMPARE(m.Feed("AT+CMGL=\"ALL\"\r"), "\r\n+CMS ERROR: 304\r\n");

        QCOMPARE(m.Feed("AT+CMGD=?\r"), "\r\n+CMGD: (1,2,3),(0-4)\r\n" + OK);
        QCOMPARE(m.Feed("AT+CMGD=2\r"), OK);
        QCOMPARE(m.Feed("AT+CMGR=2\r"), "\r\n+CMS ERROR: 321\r\n");
        QCOMPARE(m.Feed("AT+CMGD=2\r"), "\r\n+CMS ERROR: 321\r\n");
        QCOMPARE(m.Feed("AT+CPMS?\r"), "\r\n+CPMS: \"SM\",2,20,\"SM\",2,20,\"SM\",2,20\r\n" + OK);
        // Flag 1 deletes read messages only, flag 4 everything.
        m.receiveSms(QStringLiteral("10086"), QStringLiteral("new"));
        QCOMPARE(m.Feed("AT+CMGD=0,1\r"), OK);
        QCOMPARE(m.storage().keys(), QList<int>({2}));
        QCOMPARE(m.Feed("AT+CMGD=1,4\r"), OK);
        QVERIFY(m.storage().isEmpty());
        QCOMPARE(m.Feed("AT+CMGL=4\r"), OK);
    }

    void arrivingMessages()
    {
        Quiet m;
        // mt=2 hands the message over directly instead of storing it.
        QCOMPARE(m.Feed("AT+CMGF=1;+CNMI=2,2\r"), OK);
        QCOMPARE(m.receiveSms(QStringLiteral("+8613800000000"), QStringLiteral("hi"),
                              QStringLiteral("26/12/06,10:00:00+32")),
                 "\r\n+CMT: \"+8613800000000\",,\"26/12/06,10:00:00+32\"\r\nhi\r\n");
        QCOMPARE(m.Feed("AT+CMGF=0\r"), OK);
        const QList<QByteArray> pdu = m.receiveSms(QStringLiteral("10086"), QStringLiteral("hi")).split('\n');
        QCOMPARE(pdu.size(), 4);
        QCOMPARE(pdu[1].trimmed(), "+CMT: ," + QByteArray::number(parseDeliver(pdu[2].trimmed()).tpduLength));
        QCOMPARE(m.storage().size(), 3);
        // mt=0 stores silently; a full storage takes nothing more.
        QCOMPARE(m.Feed("AT+CNMI=2,0\r"), OK);
        for (int i = 4; i <= SimulatedModule::kStorageSize; ++i)
            QCOMPARE(m.receiveSms(QStringLiteral("10086"), QString::number(i)), QByteArray());
        QCOMPARE(m.storage().size(), SimulatedModule::kStorageSize);
        QCOMPARE(m.Feed("AT+CNMI=2,1\r"), OK);
        QCOMPARE(m.receiveSms(QStringLiteral("10086"), QStringLiteral("lost")), QByteArray());
        QCOMPARE(m.storage().size(), SimulatedModule::kStorageSize);
        QCOMPARE(m.Feed("AT+CNMI?\r"), "\r\n+CNMI: 2,1,0,0,0\r\n" + OK);
        QCOMPARE(m.Feed("AT+CMEE=1;+CNMI=4\r"), "\r\n+CMS ERROR: 304\r\n");
    }

    void networkState()
    {
        Quiet m;
        QCOMPARE(m.Feed("AT+CPIN?;+CFUN?\r"), "\r\n+CPIN: READY\r\n\r\n+CFUN: 1\r\n" + OK);
        QCOMPARE(m.Feed("AT+CREG=2;+CREG?\r"), "\r\n+CREG: 2,1,\"1A2B\",\"C3D4\"\r\n" + OK);
        QCOMPARE(m.Feed("AT+COPS=3,2;+COPS?\r"), "\r\n+COPS: 0,2,\"46099\"\r\n" + OK);
        QCOMPARE(m.Feed("AT+CGATT=0;+CGREG?\r"), "\r\n+CGREG: 0,0\r\n" + OK);
        // Flight mode drops off the network.
        QCOMPARE(m.Feed("AT+CFUN=4\r"), OK);
        QCOMPARE(m.Feed("AT+CSQ;+CREG?;+COPS?\r"), "\r\n+CSQ: 99,99\r\n\r\n+CREG: 2,0\r\n\r\n+COPS: 0\r\n" + OK);
        QCOMPARE(m.Feed("AT+CMEE=2;+CFUN=2\r"), "\r\n+CME ERROR: Incorrect parameters\r\n");
        QCOMPARE(m.Feed("AT+CFUN=1;+COPS=1,0,\"Elsewhere\"\r"), "\r\n+CME ERROR: no network service\r\n");
        QCOMPARE(m.Feed("AT+COPS=1,0,\"QRV Mobile\";+COPS?\r"), "\r\n+COPS: 1,0,\"QRV Mobile\"\r\n" + OK);
    }

    void unitsHaveTheirOwnIdentity()
    {
        Quiet zero;
        QCOMPARE(zero.unit(), 0);
        QCOMPARE(answer(zero, "+CGSN"), "864125034179259");
        QCOMPARE(answer(zero, "+GSN"), "864125034179259");
        QCOMPARE(answer(zero, "+CCID"), "+CCID: 89860099123456789018");
        QCOMPARE(answer(zero, "+CIMI"), "460990123456789");
        QCOMPARE(answer(zero, "+CSQ"), "+CSQ: 20,99");

        QSet<QByteArray> imeis {"864125034179259"}, iccids {"+CCID: 89860099123456789018"},
            imsis {"460990123456789"}, levels {"+CSQ: 20,99"};
        // Far units wrap their serial number around, keeping its width.
        for (int unit : {1, 2, 3, 21, 600000}) {
            Quiet m;
            m.setUnit(unit);
            m.powerOn();
            QCOMPARE(m.unit(), unit);
            m.Feed("ATE0\r");
            const QByteArray imei = answer(m, "+CGSN");
            QCOMPARE(imei.size(), 15);
            QVERIFY2(imei.startsWith("86412503") && luhnValid(imei), imei.constData());
            QCOMPARE(answer(m, "+GSN"), imei);
            const QByteArray iccid = answer(m, "+CCID");
            QCOMPARE(iccid.size(), 27);
            QVERIFY2(iccid.startsWith("+CCID: 898600") && luhnValid(iccid.mid(7)), iccid.constData());
            const QByteArray imsi = answer(m, "+CIMI");
            QVERIFY2(imsi.size() == 15 && imsi.startsWith("46099"), imsi.constData());
            const QByteArray csq = answer(m, "+CSQ");
            QVERIFY2(csq.startsWith("+CSQ: ") && csq.endsWith(",99"), csq.constData());
            const int rssi = csq.mid(6).chopped(3).toInt();
            QVERIFY2(rssi >= 10 && rssi <= 31, csq.constData());
            QVERIFY(!imeis.contains(imei) && !iccids.contains(iccid) && !imsis.contains(imsi));
            imeis << imei;
            iccids << iccid;
            imsis << imsi;
            if (unit <= 21) {
                QVERIFY2(!levels.contains(csq), csq.constData());
                levels << csq;
            }
            QCOMPARE(answer(m, "+CFUN=4;+CSQ"), "+CSQ: 99,99");
        }
    }

    void clock()
    {
        Quiet m;
        QCOMPARE(m.Feed("AT+CMEE=1;+CCLK=?\r"), OK);
        QCOMPARE(m.Feed("AT+CCLK\r"), ERR);
        // Unset, it is the host's clock in the host's zone.
        const QByteArray host = answer(m, "+CCLK?");
        const int zone = QDateTime::currentDateTime().offsetFromUtc() / 900;
        const QByteArray zoneText = (zone < 0 ? "-" : "+") + QByteArray::number(std::abs(zone)).rightJustified(2, '0');
        QVERIFY2(host.endsWith(zoneText + '"'), host.constData());
        QVERIFY2(std::abs(clockAhead(m, QDateTime::currentDateTimeUtc())) <= 2, host.constData());

        // Set, it runs on from there; the zone is kept until set again.
        const QDateTime set(QDate(2031, 2, 28), QTime(23, 59, 58), QTimeZone::utc());
        QCOMPARE(m.Feed("AT+CCLK=\"31/03/01,05:44:58+23\"\r"), OK);
        const qint64 ahead = clockAhead(m, set);
        QVERIFY2(ahead >= 0 && ahead <= 2, answer(m, "+CCLK?").constData());
        QVERIFY(answer(m, "+CCLK?").endsWith("+23\""));
        QCOMPARE(m.Feed("AT+CCLK=\"99/12/31,22:00:00-20\"\r"), OK);
        QVERIFY(answer(m, "+CCLK?").startsWith("+CCLK: \"99/12/31,22:00:0"));
        QCOMPARE(m.Feed("AT+CCLK=\"00/01/01,00:00:00\"\r"), OK);
        QVERIFY(answer(m, "+CCLK?").startsWith("+CCLK: \"00/01/01,00:00:0"));
        QVERIFY(answer(m, "+CCLK?").endsWith("-20\""));

        const char *bad[] = {"\"31/13/01,00:00:00+00\"", "\"31/02/29,00:00:00+00\"", "\"31/01/01,24:00:00+00\"",
                             "\"31/01/01,00:60:00+00\"", "\"31/01/01,00:00:00+57\"", "\"31/01/01,00:00:00-49\"",
                             "\"31/01/01 00:00:00+00\"", "\"31/1/01,00:00:00+00\"", "\"31/01/01,00:00:00+0\"",
                             "31/01/01", "\"31/01/01,00:00:00+00\",1", "\"\"", ""};
        for (const char *time : bad)
            QCOMPARE(m.Feed(QByteArray("AT+CCLK=") + time + "\r"), "\r\n+CME ERROR: 50\r\n");
        QVERIFY(answer(m, "+CCLK?").startsWith("+CCLK: \"00/01/01,00:00:0"));
        // Switching on again starts from the host clock.
        m.powerOn();
        m.Feed("ATE0\r");
        QVERIFY(std::abs(clockAhead(m, QDateTime::currentDateTimeUtc())) <= 2);
    }

    void battery()
    {
        Quiet m;
        QCOMPARE(m.Feed("AT+CBC\r"), "\r\n+CBC: 0,85,3987\r\n" + OK);
        QCOMPARE(m.Feed("AT+CBC=?\r"), "\r\n+CBC: (0-3),(0-100)\r\n" + OK);
        QCOMPARE(m.Feed("AT+CBC?\r"), ERR);
        QCOMPARE(m.Feed("AT+CBC=1\r"), ERR);
    }

    void ussd()
    {
        Quiet m;
        QCOMPARE(m.Feed("AT+CMEE=1;+CUSD?;+CUSD=?\r"), "\r\n+CUSD: 0\r\n\r\n+CUSD: (0-2)\r\n" + OK);
        // Presentation off: the request is taken, nothing comes back.
        SimulatedModule::Output o = m.step("AT+CUSD=0,\"*100#\",15\r");
        QCOMPARE(o.reply, OK);
        QVERIFY(o.unsolicited.isEmpty());

        // Presentation on, in the command or before it: the answer follows.
        const QByteArray balance = "\r\n+CUSD: 0,\"Your balance is 12.50 USD, valid until 2027-01-31.\",15\r\n";
        o = m.step("AT+CUSD=1,\"*100#\",15\r");
        QCOMPARE(o.reply, OK);
        QCOMPARE(o.unsolicited.size(), 1);
        QCOMPARE(o.unsolicited[0].delayMs, 200);
        QCOMPARE(o.unsolicited[0].bytes, balance);
        QCOMPARE(m.Feed("AT+CUSD?\r"), "\r\n+CUSD: 1\r\n" + OK);
        o = m.step("AT+CUSD=1,\"*101#\"\r");
        QCOMPARE(o.unsolicited.size(), 1);
        QVERIFY(o.unsolicited[0].bytes.startsWith("\r\n+CUSD: 0,\"Data left"));
        o = m.step("AT+CUSD=1,\"*999#\"\r");
        QCOMPARE(o.unsolicited.size(), 1);
        QCOMPARE(o.unsolicited[0].bytes, "\r\n+CUSD: 4\r\n");
        // In UCS2 the code is read and the answer given as hex UTF-16.
        o = m.step("AT+CSCS=\"UCS2\";+CUSD=1,\"002A0031003000300023\"\r");
        QCOMPARE(o.reply, OK);
        QCOMPARE(o.unsolicited.size(), 1);
        QVERIFY(o.unsolicited[0].bytes.startsWith("\r\n+CUSD: 0,\"0059006F00750072"));
        QCOMPARE(m.Feed("AT+CSCS=\"IRA\"\r"), OK);

        // Cancelling leaves the presentation as it was.
        o = m.step("AT+CUSD=2\r");
        QCOMPARE(o.reply, OK);
        QVERIFY(o.unsolicited.isEmpty());
        QCOMPARE(m.Feed("AT+CUSD?\r"), "\r\n+CUSD: 1\r\n" + OK);
        QCOMPARE(m.Feed("AT+CUSD=0;+CUSD?\r"), "\r\n+CUSD: 0\r\n" + OK);

        for (const char *bad : {"AT+CUSD=3\r", "AT+CUSD=1,*100#\r", "AT+CUSD=2,\"*100#\"\r",
                                "AT+CUSD=1,\"*100#\",256\r", "AT+CUSD=1,\"*100#\",15,1\r"}) {
            o = m.step(bad);
            QCOMPARE(o.reply, "\r\n+CME ERROR: 50\r\n");
            QVERIFY(o.unsolicited.isEmpty());
        }
        QCOMPARE(m.Feed("AT+CUSD\r"), ERR);
        // No network, no USSD.
        o = m.step("AT+CFUN=4;+CUSD=1,\"*100#\"\r");
        QCOMPARE(o.reply, "\r\n+CME ERROR: 30\r\n");
        QVERIFY(o.unsolicited.isEmpty());
    }

    // qrvsim --count 3 --link: three modules, each behind its link (in a
    // folder made for them), each its own unit; the links go with the
    // program.
    void programServesSeveralModules()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString link = dir.filePath(QStringLiteral("rack/modem"));
        QProcess sim;
        const auto stop = qScopeGuard([&sim] {
            sim.kill();
            sim.waitForFinished(1000);
        });
        sim.start(QStringLiteral(QRV_SIM_PATH),
                  {QStringLiteral("--count"), QStringLiteral("3"), QStringLiteral("--link"), link});
        QList<QByteArray> paths;
        QElapsedTimer timer;
        timer.start();
        while (paths.size() < 3 && timer.elapsed() < 3000) {
            sim.waitForReadyRead(100);
            while (sim.canReadLine())
                paths << sim.readLine().trimmed();
        }
        QCOMPARE(paths.size(), 3);
        QSet<QByteArray> imeis;
        for (int unit = 1; unit <= 3; ++unit) {
            const QString name = link + '-' + QString::number(unit);
            QCOMPARE(QFile::symLinkTarget(name).toLatin1(), paths[unit - 1]);
            Terminal t(name);
            QVERIFY(t.isOpen());
            SimulatedModule model;
            model.setUnit(unit);
            const QByteArray expected = model.Feed("AT+CGSN\r");
            QVERIFY(t.write("AT+CGSN\r"));
            const QByteArray reply = t.read(expected.size(), 2000);
            QCOMPARE(reply, expected);
            imeis << reply;
        }
        QCOMPARE(imeis.size(), 3);
        QVERIFY(!QFileInfo::exists(link));
        sim.terminate();
        QVERIFY(sim.waitForFinished(3000));
        QCOMPARE(sim.exitCode(), 0);
        QVERIFY(!QFileInfo(link + "-1").isSymLink());
    }

    // qrvsim: the module goes on from one program to the next, as a real
    // module behind a serial port does. A program that writes a command and
    // closes the device at once (printf ... > device) has it carried out, and
    // the answer waits for whoever opens the device next; a reset asked that
    // way takes the module to its next device, message store kept.
    void programKeepsTheModuleFromOneProgramToTheNext()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString link = dir.filePath(QStringLiteral("modem"));
        QProcess sim;
        const auto stop = qScopeGuard([&sim] {
            sim.kill();
            sim.waitForFinished(1000);
        });
        sim.start(QStringLiteral(QRV_SIM_PATH), {QStringLiteral("--link"), link});
        const auto nextPath = [&sim] {
            QElapsedTimer timer;
            timer.start();
            while (!sim.canReadLine() && timer.elapsed() < 3000)
                sim.waitForReadyRead(100);
            return QString::fromLocal8Bit(sim.readLine().trimmed());
        };
        const QString first = nextPath();
        QVERIFY(!first.isEmpty());

        {
            Terminal t(link);
            QVERIFY(t.isOpen());
            QVERIFY(t.write("ATE0;+CMGD=1\r"));
        }
        {
            Terminal t(link);
            QVERIFY(t.isOpen());
            QCOMPARE(t.read(13 + OK.size(), 2000), "ATE0;+CMGD=1\r" + OK);
            QVERIFY(t.write("AT+CMGR=1\r"));
            QCOMPARE(t.read(ERR.size(), 2000), ERR);
        }
        {
            Terminal t(link);
            QVERIFY(t.isOpen());
            QVERIFY(t.write("AT+CFUN=1,1\r"));
        }
        const QString second = nextPath();
        QVERIFY(!second.isEmpty());
        QVERIFY(second != first);
        Terminal t(link);
        QVERIFY(t.isOpen());
        const QByteArray boot = SimulatedModule().bootMessages();
        QCOMPARE(t.read(boot.size(), 2000), boot);
        QVERIFY(t.write("AT+CMGR=1\r"));
        QCOMPARE(t.read(10 + ERR.size(), 2000), "AT+CMGR=1\r" + ERR);
    }

    void garbageNeverBreaksIt()
    {
        // Random bytes mixed with pieces of commands, so that the fuzzing
        // reaches strings, chains and message entry too.
        const QByteArray pieces[] = {"AT", "at", "\r", "\n", "+CMGS=", "+CMGS=\"1\"", "+CMGF=1", "+CMGF=0",
                                     "+CMGR=", "+CMGL", ";", "\"", ",", "\x1a", "\x1b", "\b", "A/", "=?",
                                     "?", "4", "+CSCS=\"UCS2\"", "+CMGD=1,4", "+CNMI=2,2"};
        QRandomGenerator rng(20261206);
        SimulatedModule m;
        qint64 total = 0;
        for (int round = 0; round < 20000; ++round) {
            QByteArray chunk;
            const int n = rng.bounded(1, 24);
            for (int i = 0; i < n; ++i) {
                if (rng.bounded(3) == 0)
                    chunk += pieces[rng.bounded(int(std::size(pieces)))];
                else
                    chunk += char(rng.bounded(256));
            }
            total += m.Feed(chunk).size();
            if (round % 1000 == 0)
                m.receiveSms(QStringLiteral("+1234"), QStringLiteral("x"));
        }
        QVERIFY(total > 0);
        // Whatever state it was left in, ESC ends message entry and AT&F
        // brings the factory settings back.
        m.Feed("\x1b\rAT&F\r");
        QCOMPARE(m.Feed("AT\r"), "AT\r" + OK);

        // Damaged PDUs (octets changed, inserted, cut off) are sent or
        // refused, nothing else.
        Quiet p;
        QCOMPARE(p.Feed("AT+CMEE=1\r"), OK);
        const QByteArray valid[] = {kHelloPdu, kHeaderPdu, kUcs2Pdu};
        int accepted = 0;
        for (int i = 0; i < 5000; ++i) {
            QByteArray pdu = QByteArray::fromHex(valid[i % 3]);
            for (int e = rng.bounded(1, 4); e > 0; --e) {
                const qsizetype pos = rng.bounded(pdu.size() + 1);
                const char octet = char(rng.bounded(256));
                switch (rng.bounded(3)) {
                case 0: pdu[std::min(pos, pdu.size() - 1)] = octet; break;
                case 1: pdu.truncate(std::max<qsizetype>(pos, 1)); break;
                default: pdu.insert(pos, octet); break;
                }
            }
            // Mostly the <length> the PDU claims, so decoding goes deep.
            int length = int(pdu.size()) - 1 - quint8(pdu.at(0));
            if (length < 1 || length > 164 || rng.bounded(4) == 0)
                length = rng.bounded(1, 165);
            const QByteArray reply = p.Feed("AT+CMGS=" + QByteArray::number(length) + "\r" + pdu.toHex() + "\x1a");
            if (reply.contains("\r\n+CMGS: "))
                ++accepted;
            else
                QCOMPARE(reply, "\r\n> \r\n+CMS ERROR: 304\r\n");
        }
        QVERIFY(accepted > 0);
        QCOMPARE(p.sentMessages().size(), accepted);
    }

    void portAnswersOnPty()
    {
        SimPort port;
        QString error;
        QVERIFY2(port.start(&error), qPrintable(error));
        QVERIFY(port.devicePath().startsWith(QStringLiteral("/dev/pts/")));
        {
            Terminal t(port.devicePath());
            QVERIFY(t.isOpen());
            QVERIFY(t.write("AT\r"));
            QCOMPARE(t.read(9, 3000), "AT\r" + OK);
        }
        // The terminal closed the slave: the port must neither spin nor die.
        const qint64 cpuBefore = cpuTimeMs();
        runEventLoopFor(400);
        QVERIFY2(cpuTimeMs() - cpuBefore < 150, "SimPort busy-loops while the slave is closed");
        Terminal again(port.devicePath());
        QVERIFY(again.write("AT+CSQ\r"));
        QCOMPARE(again.read(30, 3000), "AT+CSQ\r\r\n+CSQ: 20,99\r\n" + OK);

        // Output the terminal does not read at once is queued, not lost.
        QByteArray input;
        for (int i = 0; i < 150; ++i)
            input += "AT+CMGL=4\r";
        SimulatedModule model;
        model.Feed("AT+CSQ\r");
        const QByteArray expected = model.Feed(input);
        QVERIFY(expected.size() > 64 * 1024);
        QVERIFY(again.write(input));
        runEventLoopFor(200);
        QCOMPARE(again.read(expected.size(), 10000), expected);
        port.stop();
        QVERIFY(!port.isRunning());
        QVERIFY(port.devicePath().isEmpty());
    }

    void portRunsInItsOwnThread()
    {
        QThread thread;
        thread.start();
        auto *port = new SimPort;
        port->moveToThread(&thread);
        QString path;
        QMetaObject::invokeMethod(
            port,
            [&] {
                port->start();
                port->setReplyDelay(50);
                port->setLineRate(115200);
                path = port->devicePath();
            },
            Qt::BlockingQueuedConnection);
        Terminal t(path);
        QVERIFY(t.isOpen());
        QVERIFY(t.write("AT\r"));
        QCOMPARE(t.read(9, 3000), "AT\r" + OK);
        QMetaObject::invokeMethod(port, [port] { delete port; }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }

    void unsolicitedOnRequest()
    {
        Quiet m;
        SimulatedModule::Output o = m.step("AT+QSIMURC=250,\"+CMTI: \\22SM\\22,3\\2\"\r");
        QCOMPARE(o.reply, OK);
        QCOMPARE(o.unsolicited.size(), 1);
        QCOMPARE(o.unsolicited[0].delayMs, 250);
        QCOMPARE(o.unsolicited[0].bytes, "\r\n+CMTI: \"SM\",3\\2\r\n");
        // Only the line that asked schedules anything.
        QVERIFY(m.step("AT\r").unsolicited.isEmpty());
        for (const char *bad : {"AT+QSIMURC=RING\r", "AT+QSIMURC=10,RING\r", "AT+QSIMURC=600001,\"RING\"\r",
                                "AT+QSIMURC?\r"}) {
            o = m.step(bad);
            QCOMPARE(o.reply, ERR);
            QVERIFY(o.unsolicited.isEmpty());
        }

        // Through the port: the URC comes after the OK, once its time is up.
        SimPort port;
        QVERIFY(port.start());
        Terminal t(port.devicePath());
        QVERIFY(t.isOpen());
        QElapsedTimer timer;
        timer.start();
        const QByteArray line = "ATE0;+QSIMURC=200,\"RING\"\r";
        QVERIFY(t.write(line));
        QCOMPARE(t.read(line.size() + OK.size(), 500), line + OK);
        QCOMPARE(t.read(8, 2000), "\r\nRING\r\n");
        QVERIFY2(timer.elapsed() >= 190, qPrintable(QString::number(timer.elapsed())));
    }

    void portPacesAndDelaysReplies()
    {
        SimPort port;
        QVERIFY(port.start());
        Terminal t(port.devicePath());
        QVERIFY(t.isOpen());

        // 4800 baud carries 480 bytes a second; the reply comes in pieces.
        port.setLineRate(4800);
        const QByteArray command = "AT+CMGF=1;+CMGL=\"ALL\"\r";
        SimulatedModule model;
        const QByteArray expected = model.Feed(command);
        const qint64 expectedMs = expected.size() * 1000 / 480;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(t.write(command));
        int pieces = 0;
        QCOMPARE(t.read(expected.size(), int(expectedMs) + 5000, &pieces), expected);
        const qint64 elapsed = timer.elapsed();
        QVERIFY2(elapsed >= expectedMs * 9 / 10, qPrintable(QStringLiteral("took %1 ms").arg(elapsed)));
        QVERIFY2(elapsed <= expectedMs + 2000, qPrintable(QStringLiteral("took %1 ms").arg(elapsed)));
        QVERIFY2(pieces >= 10, qPrintable(QStringLiteral("%1 pieces").arg(pieces)));

        // The echo comes at once, the answer after the delay.
        port.setLineRate(0);
        port.setReplyDelay(300);
        timer.restart();
        QVERIFY(t.write("AT\r"));
        QCOMPARE(t.read(3, 1000), "AT\r");
        QVERIFY(timer.elapsed() < 250);
        QCOMPARE(t.read(6, 3000), OK);
        QVERIFY(timer.elapsed() >= 300);
    }

    // AT+CFUN=1,1: OK, read by the terminal before the line drops; the
    // module comes back on another pty and says its boot messages there.
    void resetDropsTheLineAndComesBack()
    {
        SimulatedModule m;
        SimulatedModule::Output o = m.step("AT+CFUN=1\r");
        QVERIFY(!o.reset);
        o = m.step("AT+CFUN=1,1\r");
        QCOMPARE(o.reply, OK);
        QVERIFY(o.reset);
        QVERIFY(!m.step("AT\r").reset);
        QCOMPARE(m.bootMessages(), QByteArray("\r\nRDY\r\n\r\n+CFUN: 1\r\n\r\n+CPIN: READY\r\n\r\nSMS Ready\r\n"));

        SimPort port;
        QVERIFY(port.start());
        port.setResetTiming(200, 50);
        const QString before = port.devicePath();
        QSignalSpy dropped(&port, &SimPort::lineDropped);
        QSignalSpy changed(&port, &SimPort::deviceChanged);
        Terminal t(before);
        QVERIFY(t.isOpen());
        QVERIFY(t.write("ATE0\r"));
        QCOMPARE(t.read(5 + OK.size(), 1000), "ATE0\r" + OK);
        // The terminal is slow to read: the OK waits for it all the same.
        QVERIFY(t.write("AT+CFUN=1,1\r"));
        runEventLoopFor(150);
        QVERIFY(dropped.isEmpty());
        QCOMPARE(t.read(OK.size(), 1000), OK);
        QTRY_COMPARE_WITH_TIMEOUT(dropped.size(), 1, 1000);
        // The terminal's side has hung up: reading gives end of file or EIO.
        char byte = 0;
        const ssize_t got = t.readRaw(&byte);
        QVERIFY2(got == 0 || (got < 0 && errno == EIO), qPrintable(QString::number(got)));
        QTRY_COMPARE_WITH_TIMEOUT(changed.size(), 1, 1000);
        const QString after = changed.first().first().toString();
        QCOMPARE(after, port.devicePath());
        QVERIFY(after != before);
        Terminal back(after);
        QVERIFY(back.isOpen());
        QCOMPARE(back.read(m.bootMessages().size(), 1000), m.bootMessages());
        QVERIFY(back.write("AT\r"));
        // The settings are the profile's again: echo is on.
        QCOMPARE(back.read(3 + OK.size(), 1000), "AT\r" + OK);
    }
};

QTEST_GUILESS_MAIN(TestSimModule)
#include "test_simmodule.moc"
