// Tests of the Telnet + com port control client codec on byte streams as a
// server sends them: the offers and the answers to the server's requests,
// data through unchanged both ways, the same result for any split, the exact
// bytes of each request, the server's answers and notices read back, and
// faults kept without losing the data around them.

#include "serial/rfc2217codec.h"

#include <QTest>

using Codec = Rfc2217Codec;
using Notice = Rfc2217Codec::Notice;

namespace {

// "ff fa 2c" -> the bytes; spaces are skipped.
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// What the server sends to agree to every offer of start().
const char *const kServerAgrees = "fffd00 fffb00 fffd2c fffb03";

// A codec whose offers the server agreed to, the answers taken.
void agree(Codec &codec)
{
    codec.start();
    codec.feed(hex(kServerAgrees));
    codec.takeOutgoing();
}

// Everything a codec gave and holds after some feeds, as one text, so that
// two runs compare in one QCOMPARE with a readable difference.
struct Run
{
    Codec codec;
    QByteArray data;
    QByteArray outgoing;
    QList<Notice> notices;
    QStringList faults;

    void feed(QByteArrayView bytes)
    {
        data += codec.feed(bytes);
        outgoing += codec.takeOutgoing();
        notices += codec.takeNotices();
        faults += codec.takeFaults();
    }

    QString describe() const
    {
        const auto opt = [](const auto &v) { return v ? QString::number(quint32(*v)) : QStringLiteral("-"); };
        QString s = QStringLiteral("data %1\nout %2\n").arg(QString::fromLatin1(data.toHex(' ')),
                                                          QString::fromLatin1(outgoing.toHex(' ')));
        s += QStringLiteral("baud %1 size %2 parity %3 stop %4 purged %5 masks %6/%7 signature %8\n")
                 .arg(opt(codec.baudRate()), opt(codec.dataSize()), opt(codec.parity()), opt(codec.stopSize()),
                      opt(codec.purged()), opt(codec.lineStateMask()), opt(codec.modemStateMask()),
                      codec.serverSignature() ? QString::fromLatin1(codec.serverSignature()->toHex())
                                                : QStringLiteral("-"));
        for (int g = 0; g < 5; ++g)
            s += QStringLiteral("control %1 ").arg(opt(codec.control(Codec::ControlGroup(g))));
        s += QStringLiteral("\nmodem %1 x%2 line %3 x%4 suspended %5\n")
                 .arg(opt(codec.modemState()))
                 .arg(codec.modemStateNotices())
                 .arg(opt(codec.lineState()))
                 .arg(codec.lineStateNotices())
                 .arg(codec.flowSuspended());
        for (const Notice &n : notices)
            s += QStringLiteral("notice %1 %2\n").arg(int(n.kind)).arg(n.bits);
        s += QStringLiteral("state %1 %2 %3 %4 %5 faults %6\n")
                 .arg(int(codec.comPortState()))
                 .arg(codec.binaryToServer())
                 .arg(codec.binaryFromServer())
                 .arg(codec.offersAnswered())
                 .arg(codec.telnetSeen())
                 .arg(codec.faultCount());
        return s + faults.join(QLatin1Char('\n'));
    }
};

} // namespace

class TestRfc2217Codec : public QObject
{
    Q_OBJECT

private slots:
    // The offers, once; the server's agreement is not answered again; what
    // each refusal leaves.
    void offers()
    {
        Codec codec;
        QCOMPARE(codec.comPortState(), Codec::ComPortState::NotOffered);
        QCOMPARE(codec.start(), hex("fffb00 fffd00 fffb2c fffd03"));
        QCOMPARE(codec.start(), QByteArray());
        QCOMPARE(codec.comPortState(), Codec::ComPortState::Offered);
        QVERIFY(!codec.offersAnswered());

        // The answers come in any order and are not acknowledged.
        QCOMPARE(codec.feed(hex("fffb03 fffd2c fffb00")), QByteArray());
        QVERIFY(!codec.offersAnswered());
        codec.feed(hex("fffd00"));
        QVERIFY(codec.offersAnswered());
        QCOMPARE(codec.takeOutgoing(), QByteArray());
        QCOMPARE(codec.comPortState(), Codec::ComPortState::Agreed);
        QVERIFY(codec.binaryToServer() && codec.binaryFromServer());
        QVERIFY(codec.isEnabledForServer(Codec::SuppressGoAhead));
        QVERIFY(codec.telnetSeen());

        // A server without the com port option, nor binary input.
        Codec refused;
        refused.start();
        refused.feed(hex("fffe2c fffe00 fffb00 fffc03"));
        QCOMPARE(refused.comPortState(), Codec::ComPortState::Refused);
        QVERIFY(refused.offersAnswered());
        QVERIFY(!refused.binaryToServer() && refused.binaryFromServer());
        QCOMPARE(refused.takeOutgoing(), QByteArray());
        QCOMPARE(refused.faultCount(), 0);

        // Agreed, then withdrawn: acknowledged once.
        Codec withdrawn;
        agree(withdrawn);
        withdrawn.feed(hex("fffe2c fffe2c"));
        QCOMPARE(withdrawn.takeOutgoing(), hex("fffc2c"));
        QCOMPARE(withdrawn.comPortState(), Codec::ComPortState::Refused);
    }

    // The server's own requests, before and after start(): what is agreed,
    // what is refused, and that start() does not offer what is on already.
    void serverRequests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QByteArray>("offersAfter");
        const QByteArray all = hex("fffb00 fffd00 fffb2c fffd03");
        QTest::newRow("WILL ECHO agreed") << hex("fffb01") << hex("fffd01") << all;
        QTest::newRow("DO ECHO refused") << hex("fffd01") << hex("fffc01") << all;
        QTest::newRow("WILL SGA agreed") << hex("fffb03") << hex("fffd03") << hex("fffb00 fffd00 fffb2c");
        QTest::newRow("DO SGA agreed") << hex("fffd03") << hex("fffb03") << all;
        QTest::newRow("DO BINARY agreed") << hex("fffd00") << hex("fffb00") << hex("fffd00 fffb2c fffd03");
        QTest::newRow("WILL BINARY agreed") << hex("fffb00") << hex("fffd00") << hex("fffb00 fffb2c fffd03");
        QTest::newRow("DO COM-PORT agreed") << hex("fffd2c") << hex("fffb2c") << hex("fffb00 fffd00 fffd03");
        QTest::newRow("WILL COM-PORT refused") << hex("fffb2c") << hex("fffe2c") << all;
        QTest::newRow("DO TERMINAL-TYPE refused") << hex("fffd18") << hex("fffc18") << all;
        QTest::newRow("WILL STATUS refused") << hex("fffb05") << hex("fffe05") << all;
        QTest::newRow("DO 255 refused") << hex("fffdff") << hex("fffcff") << all;
        QTest::newRow("DONT LINEMODE: off already") << hex("fffe22") << QByteArray() << all;
        QTest::newRow("WONT ECHO: off already") << hex("fffc01") << QByteArray() << all;
    }
    void serverRequests()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        QFETCH(QByteArray, offersAfter);
        Codec before;
        QCOMPARE(before.feed(request), QByteArray());
        QCOMPARE(before.takeOutgoing(), answer);
        QCOMPARE(before.start(), offersAfter);

        // After start() an agreed option of the offers is no request but
        // the answer to one: nothing goes back. The others get the same
        // answer as before.
        Codec after;
        after.start();
        after.feed(request);
        const bool answersOffer = offersAfter != hex("fffb00 fffd00 fffb2c fffd03");
        QCOMPARE(after.takeOutgoing(), answersOffer ? QByteArray() : answer);
        QCOMPARE(after.faultCount(), 0);
    }

    // A request is answered only when it changes the option's state, so a
    // server that repeats its requests, or acknowledges the answers, gets
    // no stream of answers; one that keeps asking anew is stopped.
    void noNegotiationLoops()
    {
        Codec codec;
        agree(codec);
        QByteArray repeats;
        for (int i = 0; i < 50; ++i)
            repeats += hex(kServerAgrees) + hex("fffb01");
        codec.feed(repeats);
        QCOMPARE(codec.takeOutgoing(), hex("fffd01")); // the first WILL ECHO only

        // A refusal acknowledged by the server (WONT after DONT) ends there.
        codec.feed(hex("fffb18"));
        QCOMPARE(codec.takeOutgoing(), hex("fffe18"));
        codec.feed(hex("fffc18 fffc18"));
        QCOMPARE(codec.takeOutgoing(), QByteArray());

        // Turned off by the server: acknowledged once.
        codec.feed(hex("fffc01 fffc01 fffc01"));
        QCOMPARE(codec.takeOutgoing(), hex("fffe01"));

        // A server that asks again after each refusal, or toggles an option:
        // answered kMaxAnswersPerOption times in all, then one fault.
        Codec asked;
        agree(asked);
        QByteArray again;
        for (int i = 0; i < 100; ++i)
            again += hex("fffd18");
        asked.feed(again);
        QByteArray refusals;
        for (int i = 0; i < Codec::kMaxAnswersPerOption; ++i)
            refusals += hex("fffc18");
        QCOMPARE(asked.takeOutgoing(), refusals);
        QCOMPARE(asked.faultCount(), 1);

        QByteArray toggles;
        for (int i = 0; i < 100; ++i)
            toggles += hex("fffb01 fffc01");
        asked.feed(toggles);
        QCOMPARE(asked.takeOutgoing().size(), 3 * Codec::kMaxAnswersPerOption);
        QCOMPARE(asked.faultCount(), 2);
        // Other options are still answered.
        asked.feed(hex("fffd1f"));
        QCOMPARE(asked.takeOutgoing(), hex("fffc1f"));
    }

    // Every byte value, and runs of 0xFF, go through unchanged both ways.
    void dataTransparency()
    {
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        QByteArray runs;
        for (int n = 1; n <= 9; ++n)
            runs += QByteArray(n, '\xff') + char(n);
        runs += QByteArray(1000, '\xff');

        for (const QByteArray &data : { all, runs, all + runs + all }) {
            const QByteArray escaped = Codec::escape(data);
            QCOMPARE(escaped.size(), data.size() + data.count('\xff'));
            QCOMPARE(QByteArray(escaped).replace("\xff\xff", "\xff"), data);

            Codec codec;
            agree(codec);
            QCOMPARE(codec.encode(data), Codec::escape(data));
            QCOMPARE(codec.feed(Codec::escape(data)), data);
            QByteArray oneByOne;
            for (const char c : Codec::escape(data))
                oneByOne += codec.feed(QByteArrayView(&c, 1));
            QCOMPARE(oneByOne, data);
            QCOMPARE(codec.takeOutgoing(), QByteArray());
            QCOMPARE(codec.faultCount(), 0);
        }
        QCOMPARE(Codec::escape(hex("41ff42ffff")), hex("41ffff42ffffffff"));
    }

    // Without binary in a direction, a bare CR is CR NUL on the wire.
    void carriageReturnWithoutBinary()
    {
        Codec codec;
        codec.start(); // nothing agreed yet
        QCOMPARE(codec.feed(QByteArray("AT\r\0", 4)), QByteArray("AT\r"));
        QCOMPARE(codec.feed(QByteArray("\r")), QByteArray("\r"));
        QCOMPARE(codec.feed(QByteArray("\0OK\r\n\0", 6)), QByteArray("OK\r\n\0", 5));
        QCOMPARE(codec.encode("AT\r"), QByteArray("AT\r\0", 4));
        QCOMPARE(codec.encode("AT\r\n\r\r\n"), QByteArray("AT\r\n\r\0\r\n", 8));
        QCOMPARE(codec.encode("\xff\r"), QByteArray("\xff\xff\r\0", 4));

        codec.feed(hex(kServerAgrees));
        QCOMPARE(codec.feed(QByteArray("AT\r\0", 4)), QByteArray("AT\r\0", 4));
        QCOMPARE(codec.encode("AT\r"), QByteArray("AT\r"));
    }

    // Any split of a server's stream gives the same data, answers, values,
    // notices and faults as the stream in one piece.
    void everySplit()
    {
        const QByteArray stream = QByteArray("RDY\r\0\r\n", 7) // a bare CR before binary
            + hex("fffd00 fffb00 fffd2c fffb03 fffb01 fffd18") // negotiation
            + hex("fffa2c64") + "ser2net \xff\xff" + hex("fff0") // signature, 0xFF in it
            + "AT\r\r\n\xff\xffOK\r\n" // data with 0xFF
            + hex("fffa2c65 0001c200 fff0 fffa2c66 08 fff0 fffa2c67 01 fff0 fffa2c68 01 fff0")
            + hex("fffa2c6b ffff fff0") + "+CREG: 1\r\n" // modem state 0xFF
            + hex("fffa2c69 08 fff0 fffa2c6a 10 fff0 fffa2c6c fff0 fffa2c6d fff0")
            + hex("fffa2c96 01 fff0") + "x" // unknown command
            + hex("fff1 fff9 fffa2c6b 30 fffb01") + "\r\nRING\r\n" // NOP, GA, a missing IAC SE
            + hex("ff41") + QByteArray(1, '\0') + hex("fffa2c64") + QByteArray(300, 's') + hex("fff0") + "end";

        Run whole;
        whole.codec.start();
        whole.feed(stream);
        const QString expected = whole.describe();
        QVERIFY(whole.data.startsWith("RDY\r\r\nAT\r\r\n\xffOK\r\n+CREG: 1\r\nx\r\nRING\r\nA"));
        QVERIFY(whole.data.endsWith("end"));
        QCOMPARE(whole.outgoing, hex("fffd01 fffc18"));
        QCOMPARE(whole.faults.size(), 4);

        for (qsizetype i = 1; i < stream.size(); ++i) {
            for (qsizetype j = i; j < stream.size(); j += 7) {
                Run split;
                split.codec.start();
                split.feed(QByteArrayView(stream).first(i));
                split.feed(QByteArrayView(stream).sliced(i, j - i));
                split.feed(QByteArrayView(stream).sliced(j));
                if (split.describe() != expected)
                    QCOMPARE(split.describe(), expected); // shows the first difference
            }
        }
        Run bytes;
        bytes.codec.start();
        for (const char c : stream)
            bytes.feed(QByteArrayView(&c, 1));
        QCOMPARE(bytes.describe(), expected);
    }

    // Each request's bytes, as RFC 2217 numbers them, 0xFF in a value
    // doubled.
    void requestBytes_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("expected");
        Codec c;
        using P = Codec::Parity;
        using S = Codec::StopSize;
        using C = Codec::Control;
        QTest::newRow("baud 115200") << c.setBaudRate(115200) << hex("fffa2c01 0001c200 fff0");
        QTest::newRow("baud 9600") << c.setBaudRate(9600) << hex("fffa2c01 00002580 fff0");
        QTest::newRow("baud asked") << c.setBaudRate(0) << hex("fffa2c01 00000000 fff0");
        QTest::newRow("baud 0xFF bytes") << c.setBaudRate(0x00ffc2ff) << hex("fffa2c01 00ffffc2ffff fff0");
        QTest::newRow("data size 8") << c.setDataSize(8) << hex("fffa2c02 08 fff0");
        QTest::newRow("data size 7") << c.setDataSize(7) << hex("fffa2c02 07 fff0");
        QTest::newRow("data size asked") << c.setDataSize(0) << hex("fffa2c02 00 fff0");
        QTest::newRow("parity none") << c.setParity(P::None) << hex("fffa2c03 01 fff0");
        QTest::newRow("parity odd") << c.setParity(P::Odd) << hex("fffa2c03 02 fff0");
        QTest::newRow("parity even") << c.setParity(P::Even) << hex("fffa2c03 03 fff0");
        QTest::newRow("parity mark") << c.setParity(P::Mark) << hex("fffa2c03 04 fff0");
        QTest::newRow("parity space") << c.setParity(P::Space) << hex("fffa2c03 05 fff0");
        QTest::newRow("parity asked") << c.setParity(P::Request) << hex("fffa2c03 00 fff0");
        QTest::newRow("stop one") << c.setStopSize(S::One) << hex("fffa2c04 01 fff0");
        QTest::newRow("stop two") << c.setStopSize(S::Two) << hex("fffa2c04 02 fff0");
        QTest::newRow("stop 1.5") << c.setStopSize(S::OneAndHalf) << hex("fffa2c04 03 fff0");
        QTest::newRow("no flow control") << c.setControl(C::NoFlowControl) << hex("fffa2c05 01 fff0");
        QTest::newRow("XON/XOFF") << c.setControl(C::XonXoffFlowControl) << hex("fffa2c05 02 fff0");
        QTest::newRow("hardware flow") << c.setControl(C::HardwareFlowControl) << hex("fffa2c05 03 fff0");
        QTest::newRow("break on") << c.setControl(C::BreakOn) << hex("fffa2c05 05 fff0");
        QTest::newRow("break off") << c.setControl(C::BreakOff) << hex("fffa2c05 06 fff0");
        QTest::newRow("DTR asked") << c.setControl(C::RequestDtr) << hex("fffa2c05 07 fff0");
        QTest::newRow("DTR on") << c.setControl(C::DtrOn) << hex("fffa2c05 08 fff0");
        QTest::newRow("DTR off") << c.setControl(C::DtrOff) << hex("fffa2c05 09 fff0");
        QTest::newRow("RTS on") << c.setControl(C::RtsOn) << hex("fffa2c05 0b fff0");
        QTest::newRow("RTS off") << c.setControl(C::RtsOff) << hex("fffa2c05 0c fff0");
        QTest::newRow("purge receive") << c.purgeData(Codec::Purge::Receive) << hex("fffa2c0c 01 fff0");
        QTest::newRow("purge transmit") << c.purgeData(Codec::Purge::Transmit) << hex("fffa2c0c 02 fff0");
        QTest::newRow("purge both") << c.purgeData(Codec::Purge::Both) << hex("fffa2c0c 03 fff0");
        QTest::newRow("line state mask") << c.setLineStateMask(0x1e) << hex("fffa2c0a 1e fff0");
        QTest::newRow("modem state mask 0xFF") << c.setModemStateMask(0xff) << hex("fffa2c0b ffff fff0");
        QTest::newRow("signature asked") << c.requestSignature() << hex("fffa2c00 fff0");
        QTest::newRow("suspend") << Codec::flowControlSuspend() << hex("fffa2c08 fff0");
        QTest::newRow("resume") << Codec::flowControlResume() << hex("fffa2c09 fff0");
    }
    void requestBytes()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, expected);
        QCOMPARE(bytes.toHex(' '), expected.toHex(' '));
    }

    // The server's answers are read back; a request forgets the value last
    // reported for its own setting only, until the answer comes.
    void readBack()
    {
        using C = Codec::Control;
        using G = Codec::ControlGroup;
        Codec codec;
        agree(codec);
        QVERIFY(!codec.baudRate() && !codec.control(G::Dtr));
        codec.feed(hex("fffa2c65 0001c200 fff0 fffa2c66 07 fff0 fffa2c67 03 fff0 fffa2c68 03 fff0"));
        codec.feed(hex("fffa2c69 08 fff0 fffa2c69 0c fff0 fffa2c69 03 fff0 fffa2c69 06 fff0 fffa2c69 10 fff0"));
        codec.feed(hex("fffa2c6e 1e fff0 fffa2c6f ffff fff0 fffa2c70 03 fff0"));
        codec.feed(hex("fffa2c64") + "ser2net v4" + hex("fff0"));
        QCOMPARE(codec.baudRate(), 115200u);
        QCOMPARE(codec.dataSize(), quint8(7));
        QCOMPARE(codec.parity(), Codec::Parity::Even);
        QCOMPARE(codec.stopSize(), Codec::StopSize::OneAndHalf);
        QCOMPARE(codec.control(G::Dtr), C::DtrOn);
        QCOMPARE(codec.control(G::Rts), C::RtsOff);
        QCOMPARE(codec.control(G::FlowControl), C::HardwareFlowControl);
        QCOMPARE(codec.control(G::Break), C::BreakOff);
        QCOMPARE(codec.control(G::InboundFlowControl), C::InboundHardwareFlowControl);
        QCOMPARE(codec.lineStateMask(), quint8(0x1e));
        QCOMPARE(codec.modemStateMask(), quint8(0xff));
        QCOMPARE(codec.purged(), Codec::Purge::Both);
        QCOMPARE(codec.serverSignature(), QByteArray("ser2net v4"));
        QCOMPARE(codec.faultCount(), 0);

        // A value with 0xFF in it, doubled on the wire.
        codec.feed(hex("fffa2c65 0001c2ffff fff0"));
        QCOMPARE(codec.baudRate(), 0x0001c2ffu);

        codec.setBaudRate(9600);
        codec.setControl(C::RtsOn);
        QVERIFY(!codec.baudRate());
        QVERIFY(!codec.control(G::Rts));
        QCOMPARE(codec.control(G::Dtr), C::DtrOn);
        QCOMPARE(codec.dataSize(), quint8(7));
        codec.feed(hex("fffa2c65 00002580 fff0 fffa2c69 0b fff0"));
        QCOMPARE(codec.baudRate(), 9600u);
        QCOMPARE(codec.control(G::Rts), C::RtsOn);

        // A request of the current value waits for its answer too.
        codec.setParity(Codec::Parity::Request);
        QVERIFY(!codec.parity());
        codec.feed(hex("fffa2c67 01 fff0"));
        QCOMPARE(codec.parity(), Codec::Parity::None);
    }

    // The server asks for the client's signature: the answer is queued, a
    // 0xFF in it doubled.
    void signatureAsked()
    {
        Codec codec(QByteArray("qrvterm \xff"));
        agree(codec);
        QCOMPARE(codec.feed(hex("fffa2c64fff0") + "OK"), QByteArray("OK"));
        QCOMPARE(codec.takeOutgoing(), hex("fffa2c00") + "qrvterm " + hex("ffff fff0"));
        QVERIFY(!codec.serverSignature());
    }

    // NOTIFY-MODEMSTATE and NOTIFY-LINESTATE: the last value, a count, and
    // the notices in order, the oldest dropped past the bound; the flow
    // control the server asks for.
    void notices()
    {
        Codec codec;
        agree(codec);
        QVERIFY(!codec.modemState() && !codec.lineState());
        const QByteArray data = codec.feed(hex("fffa2c6b 31 fff0") + "\r\nRING\r\n"
                                           + hex("fffa2c6b 44 fff0 fffa2c6a 10 fff0 fffa2c6b 80 fff0"));
        QCOMPARE(data, QByteArray("\r\nRING\r\n"));
        QCOMPARE(codec.modemState(), quint8(Codec::Dcd));
        QCOMPARE(codec.modemStateNotices(), 3);
        QCOMPARE(codec.lineState(), quint8(Codec::BreakDetect));
        QCOMPARE(codec.lineStateNotices(), 1);
        using K = Notice::Kind;
        const QList<Notice> expected {
            { K::ModemState, Codec::Cts | Codec::Dsr | Codec::DeltaCts },
            { K::ModemState, Codec::Ri | Codec::RingTrailingEdge },
            { K::LineState, Codec::BreakDetect },
            { K::ModemState, Codec::Dcd },
        };
        QCOMPARE(codec.takeNotices(), expected);
        QCOMPARE(codec.takeNotices(), QList<Notice>());

        for (int i = 0; i < 100; ++i)
            codec.feed(hex("fffa2c6b") + char(i) + hex("fff0"));
        const QList<Notice> kept = codec.takeNotices();
        QCOMPARE(kept.size(), Codec::kMaxPendingNotices);
        QCOMPARE(kept.first().bits, quint8(100 - Codec::kMaxPendingNotices));
        QCOMPARE(kept.last().bits, quint8(99));
        QCOMPARE(codec.modemStateNotices(), 103);

        QVERIFY(!codec.flowSuspended());
        codec.feed(hex("fffa2c6c fff0"));
        QVERIFY(codec.flowSuspended());
        codec.feed(hex("fffa2c6d fff0"));
        QVERIFY(!codec.flowSuspended());
        QCOMPARE(codec.faultCount(), 0);
    }

    // Subnegotiations that are malformed: one fault each, the data around
    // them whole, the values as they were, and what follows read as usual.
    void malformedSubnegotiations_data()
    {
        QTest::addColumn<QByteArray>("bad");
        QTest::newRow("baud of 3 bytes") << hex("fffa2c65 0001c2 fff0");
        QTest::newRow("baud of 5 bytes") << hex("fffa2c65 000001c200 fff0");
        QTest::newRow("data size of 2 bytes") << hex("fffa2c66 0808 fff0");
        QTest::newRow("modem state without value") << hex("fffa2c6b fff0");
        QTest::newRow("suspend with a value") << hex("fffa2c6c 01 fff0");
        QTest::newRow("unknown command") << hex("fffa2c96 01 fff0");
        QTest::newRow("client's command") << hex("fffa2c01 0001c200 fff0");
        QTest::newRow("no command") << hex("fffa2c fff0");
        QTest::newRow("empty") << hex("fffa fff0");
        QTest::newRow("option not agreed") << hex("fffa18 01 fff0");
        QTest::newRow("baud 0") << hex("fffa2c65 00000000 fff0");
        QTest::newRow("data size 4") << hex("fffa2c66 04 fff0");
        QTest::newRow("parity 6") << hex("fffa2c67 06 fff0");
        QTest::newRow("stop size 0") << hex("fffa2c68 00 fff0");
        QTest::newRow("control request value") << hex("fffa2c69 07 fff0");
        QTest::newRow("control 20") << hex("fffa2c69 14 fff0");
        QTest::newRow("purge 0") << hex("fffa2c70 00 fff0");
        QTest::newRow("missing IAC SE") << hex("fffa2c6b 30 fff1");
    }
    void malformedSubnegotiations()
    {
        QFETCH(QByteArray, bad);
        const QByteArray stream = "before\r\n" + bad + "\xff\xff after\r\n" + hex("fffa2c65 00002580 fff0") + "end";
        Run run;
        agree(run.codec);
        run.feed(stream);
        QCOMPARE(run.data, QByteArray("before\r\n\xff after\r\nend"));
        QCOMPARE(run.faults.size(), 1);
        QCOMPARE(run.codec.faultCount(), 1);
        QVERIFY(!run.codec.modemState() && !run.codec.dataSize() && !run.codec.parity() && !run.codec.stopSize());
        QVERIFY(!run.codec.control(Codec::ControlGroup::Dtr) && !run.codec.purged() && !run.codec.flowSuspended());
        QCOMPARE(run.codec.baudRate(), 9600u);
        QCOMPARE(run.outgoing, QByteArray());
    }

    // A subnegotiation cut off by a negotiation: dropped, the negotiation
    // answered.
    void missingEndBeforeNegotiation()
    {
        Codec codec;
        agree(codec);
        QCOMPARE(codec.feed(hex("fffa2c6b 30 fffb01") + "OK"), QByteArray("OK"));
        QCOMPARE(codec.takeOutgoing(), hex("fffd01"));
        QVERIFY(!codec.modemState());
        QCOMPARE(codec.faultCount(), 1);
    }

    // A body of kMaxSubnegotiation bytes is read; one byte more and it is
    // dropped, what follows taken as data; one that never ends costs no
    // more memory than the bound and hides no more data than it.
    void oversizedSubnegotiation()
    {
        const qsizetype text = Codec::kMaxSubnegotiation - 2; // option and command bytes
        Codec fits;
        agree(fits);
        QCOMPARE(fits.feed("a" + hex("fffa2c64") + QByteArray(text, 's') + hex("fff0") + "b"), QByteArray("ab"));
        QCOMPARE(fits.serverSignature(), QByteArray(text, 's'));
        QCOMPARE(fits.faultCount(), 0);

        Codec over;
        agree(over);
        QCOMPARE(over.feed("a" + hex("fffa2c64") + QByteArray(text + 1, 's') + hex("fff0") + "b"), QByteArray("asb"));
        QVERIFY(!over.serverSignature());
        QCOMPARE(over.faultCount(), 1);

        Codec endless;
        agree(endless);
        const QByteArray flood(1 << 20, 'x');
        QByteArray data = endless.feed("a" + hex("fffa2c64"));
        for (int i = 0; i < 4; ++i)
            data += endless.feed(flood);
        QCOMPARE(data.size(), 1 + 4 * flood.size() - text);
        QCOMPARE(endless.faultCount(), 1);
        QCOMPARE(endless.feed(hex("fffa2c6b 10 fff0")), QByteArray());
        QCOMPARE(endless.modemState(), quint8(Codec::Cts));
    }

    // 0xFF before a byte that is no Telnet command: a fault, the byte kept;
    // the fault texts kept are bounded, the count is not.
    void strayIac()
    {
        Codec codec;
        agree(codec);
        QByteArray stream;
        for (int i = 0; i < 10000; ++i)
            stream += hex("ff41");
        QCOMPARE(codec.feed(stream), QByteArray(10000, 'A'));
        QCOMPARE(codec.faultCount(), 10000);
        QCOMPARE(codec.takeFaults().size(), Codec::kMaxPendingFaults);
        QCOMPARE(codec.takeFaults(), QStringList());
        // NOP, DM, BRK, IP, AO, AYT, EC, EL, GA and a stray SE: nothing.
        QCOMPARE(codec.feed(hex("41 fff1 fff2 fff3 fff4 fff5 fff6 fff7 fff8 fff9 fff0 42")), QByteArray("AB"));
        QCOMPARE(codec.faultCount(), 10000);
        QCOMPARE(codec.takeOutgoing(), QByteArray());
    }

    // A server that speaks no Telnet (a raw TCP port): one fault after
    // kNoTelnetAfter bytes of data; none when it negotiated, or when the
    // client made no offers.
    void rawTcpServer()
    {
        const QByteArray lines = QByteArray("+CSQ: 20,99\r\n").repeated(200);
        Codec raw;
        raw.start();
        QCOMPARE(raw.feed(lines), lines);
        QVERIFY(!raw.telnetSeen());
        QCOMPARE(raw.faultCount(), 1);
        QVERIFY(raw.takeFaults().first().contains(QLatin1String("raw TCP")));
        raw.feed(lines);
        QCOMPARE(raw.faultCount(), 1);

        Codec almost;
        almost.start();
        almost.feed(QByteArray(Codec::kNoTelnetAfter - 1, 'x'));
        QCOMPARE(almost.faultCount(), 0);
        almost.feed(hex("fff1") + lines);
        QCOMPARE(almost.faultCount(), 0);

        Codec telnet;
        agree(telnet);
        telnet.feed(lines);
        QCOMPARE(telnet.faultCount(), 0);

        Codec quiet;
        quiet.feed(lines);
        QCOMPARE(quiet.faultCount(), 0);
    }
};

QTEST_GUILESS_MAIN(TestRfc2217Codec)
#include "test_rfc2217codec.moc"
