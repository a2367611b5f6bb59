// The SMS PDU decoder and SMS-SUBMIT encoder of atinfo: published PDUs,
// both directions against the simulated module's own PDU code, and broken
// input.
#include "atinfo/gsm7.h"
#include "atinfo/smspdu.h"

#include "sim/smspdu.h"

#include <QtTest>

namespace {

QVariant valueOf(const Decoded &d, const char *key)
{
    const DecodedField *f = d.field(QLatin1String(key));
    return f ? f->value : QVariant(QStringLiteral("<no field %1>").arg(QLatin1String(key)));
}

// The simulated module writes "yy/MM/dd,hh:mm:ss+zz"; the decoder a space
// in place of the comma and before the zone.
QString decoderStamp(const QString &simStamp)
{
    QString s = simStamp;
    s.replace(u',', u' ');
    s.insert(17, u' ');
    return s;
}

QByteArray septetsHex(const QString &text)
{
    return Gsm7::pack(Gsm7::encode(text)).toHex().toUpper();
}

} // namespace

class TestSmsPdu : public QObject
{
    Q_OBJECT

private slots:
    void gsm7Packing();
    void gsm7Alphabet();
    void publishedDeliver();
    void publishedSubmit();
    void publishedStatusReport();
    void userDataHeaders();
    void codingSchemes_data();
    void codingSchemes();
    void validityPeriods_data();
    void validityPeriods();
    void simDeliverDecodes_data();
    void simDeliverDecodes();
    void submitDecodesInSim_data();
    void submitDecodesInSim();
    void longTextIsConcatenated();
    void submitRefusesWhatIsNoPdu();
    void malformed_data();
    void malformed();
    void faultKeepsEarlierFields();
};

void TestSmsPdu::gsm7Packing()
{
    // The textbook example: "hellohello", ten septets in nine octets.
    const QByteArray septets = Gsm7::encode(QStringLiteral("hellohello"));
    QCOMPARE(Gsm7::pack(septets).toHex().toUpper(), QByteArray("E8329BFD4697D9EC37"));
    QCOMPARE(Gsm7::unpack(QByteArray::fromHex("E8329BFD4697D9EC37"), 10), septets);
    // Eight septets fill seven octets exactly.
    QCOMPARE(Gsm7::pack(Gsm7::encode(QStringLiteral("12345678"))).size(), 7);

    // After a header the text starts past fill bits; any fill from 0 to 6
    // comes back, and asking past the end gives only what is there.
    const QByteArray text = Gsm7::encode(QStringLiteral("Fill bits {x}"));
    for (int fill = 0; fill < 7; ++fill) {
        const QByteArray packed = Gsm7::pack(text, fill);
        QCOMPARE(packed.size(), (fill + 7 * text.size() + 7) / 8);
        QCOMPARE(quint8(packed.at(0)) & ((1 << fill) - 1), 0);
        QCOMPARE(Gsm7::unpack(packed, int(text.size()), fill), text);
    }
    QCOMPARE(Gsm7::unpack(QByteArray::fromHex("E832"), 10).size(), 2);
    QVERIFY(Gsm7::unpack(QByteArray::fromHex("E832"), 3, -1).isEmpty());
}

void TestSmsPdu::gsm7Alphabet()
{
    // Every septet but the escape reads as a character that encodes back to it.
    for (int s = 0; s < 128; ++s) {
        if (s == 0x1B)
            continue;
        const QString ch = Gsm7::decode(QByteArray(1, char(s)));
        QCOMPARE(ch.size(), 1);
        QCOMPARE(Gsm7::encode(ch), QByteArray(1, char(s)));
    }
    QCOMPARE(Gsm7::encode(QStringLiteral("@£$")), QByteArray::fromHex("000102"));
    QCOMPARE(Gsm7::encode(QStringLiteral("€[]{}^~\\|")), QByteArray::fromHex("1B651B3C1B3E1B281B291B141B3D1B2F1B40"));
    QCOMPARE(Gsm7::decode(QByteArray::fromHex("1B651B0A")), QStringLiteral("€\f"));
    // An escape to a code the extension table lacks reads as the basic one.
    QCOMPARE(Gsm7::decode(QByteArray::fromHex("1B41")), QStringLiteral("A"));
    bool exact = true;
    QCOMPARE(Gsm7::encode(QStringLiteral("a你"), &exact), QByteArray("a?"));
    QVERIFY(!exact);
    QVERIFY(Gsm7::fits(QStringLiteral("ÄÖÑÜ§¿äöñüà")));
    QVERIFY(!Gsm7::fits(QStringLiteral("ç")));
    // U+FFFF only fills the escape's slot of the table: no septet is it, so
    // a text with it goes as UCS2 and comes back whole.
    QVERIFY(!Gsm7::fits(QStringLiteral("è") + QChar(0xFFFF)));
    QCOMPARE(Gsm7::septetsOf(U'\uFFFF'), 0);
    QCOMPARE(Gsm7::septetsOf(U'€'), 2);
    QCOMPARE(Gsm7::septetsOf(U'😀'), 0);
}

void TestSmsPdu::publishedDeliver()
{
    // The classic "hellohello" SMS-DELIVER.
    Decoded d = DecodeSmsPdu("07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37", 28);
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(valueOf(d, "pdu_type").toString(), QStringLiteral("SMS-DELIVER"));
    QCOMPARE(valueOf(d, "smsc").toString(), QStringLiteral("+27381000015"));
    QCOMPARE(valueOf(d, "sender").toString(), QStringLiteral("27838890001")); // subscriber number, no '+'
    QCOMPARE(valueOf(d, "pid").toLongLong(), 0);
    QCOMPARE(valueOf(d, "dcs").toLongLong(), 0);
    QCOMPARE(valueOf(d, "alphabet").toString(), QStringLiteral("gsm7"));
    QCOMPARE(valueOf(d, "timestamp").toString(), QStringLiteral("99/03/29 15:16:59 +08"));
    QCOMPARE(valueOf(d, "text").toString(), QStringLiteral("hellohello"));
    QVERIFY(d.field(QStringLiteral("timestamp"))->text.contains(QStringLiteral("UTC+02:00")));
    QVERIFY(d.field(QStringLiteral("first_octet"))->text.contains(QStringLiteral("no more messages")));
    QVERIFY(!d.field(QStringLiteral("message_class")));

    // "How are you?" from a Dutch service centre.
    d = DecodeSmsPdu("07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07", 30);
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(valueOf(d, "smsc").toString(), QStringLiteral("+31624000000"));
    QCOMPARE(valueOf(d, "sender").toString(), QStringLiteral("+31641600986"));
    QVERIFY(valueOf(d, "timestamp").toString().startsWith(QStringLiteral("02/08/26 19:37:41 ")));
    QCOMPARE(valueOf(d, "text").toString(), QStringLiteral("How are you?"));

    // UCS2 Chinese from an international sender, zone +8 h (32 quarters).
    d = DecodeSmsPdu("00040D91683108200505F000081210324155802304" "4F60597D");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QVERIFY(valueOf(d, "smsc").isNull());
    QCOMPARE(valueOf(d, "sender").toString(), QStringLiteral("+8613800250500"));
    QCOMPARE(valueOf(d, "alphabet").toString(), QStringLiteral("ucs2"));
    QCOMPARE(valueOf(d, "timestamp").toString(), QStringLiteral("21/01/23 14:55:08 +32"));
    QCOMPARE(valueOf(d, "text").toString(), QStringLiteral("你好"));

    // A negative zone: sign bit 3 of the zone octet, 0x4A = -(2·10 + 4).
    d = DecodeSmsPdu("0004038121F300002101013200004A00");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(valueOf(d, "sender").toString(), QStringLiteral("123"));
    QCOMPARE(valueOf(d, "timestamp").toString(), QStringLiteral("12/10/10 23:00:00 -24"));
    QVERIFY(d.field(QStringLiteral("timestamp"))->text.contains(QStringLiteral("UTC-06:00")));
    QCOMPARE(valueOf(d, "text").toString(), QString());
}

void TestSmsPdu::publishedSubmit()
{
    // The classic SMS-SUBMIT: relative validity 0xAA (4 days), no service centre.
    const Decoded d = DecodeSmsPdu("0011000B916407281553F80000AA0AE8329BFD4697D9EC37", 23);
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(valueOf(d, "pdu_type").toString(), QStringLiteral("SMS-SUBMIT"));
    QVERIFY(valueOf(d, "smsc").isNull());
    QCOMPARE(valueOf(d, "message_ref").toLongLong(), 0);
    QCOMPARE(valueOf(d, "destination").toString(), QStringLiteral("+46708251358"));
    QCOMPARE(valueOf(d, "validity").toLongLong(), 4 * 86400);
    QCOMPARE(d.field(QStringLiteral("validity"))->text, QStringLiteral("relative: 4 days"));
    QCOMPARE(valueOf(d, "text").toString(), QStringLiteral("hellohello"));
    QVERIFY(d.field(QStringLiteral("first_octet"))->text.contains(QStringLiteral("relative validity period")));
    QVERIFY(!d.field(QStringLiteral("sender")));
    QVERIFY(!d.field(QStringLiteral("timestamp")));
}

void TestSmsPdu::publishedStatusReport()
{
    const QByteArray report = "0006D60B911326880736F4111011719551401110117195714000";
    Decoded d = DecodeSmsPdu(report, 25);
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(valueOf(d, "pdu_type").toString(), QStringLiteral("SMS-STATUS-REPORT"));
    QCOMPARE(valueOf(d, "message_ref").toLongLong(), 214);
    QCOMPARE(valueOf(d, "recipient").toString(), QStringLiteral("+31628870634"));
    QCOMPARE(valueOf(d, "timestamp").toString(), QStringLiteral("11/01/11 17:59:15 +04"));
    QCOMPARE(valueOf(d, "discharge_time").toString(), QStringLiteral("11/01/11 17:59:17 +04"));
    QCOMPARE(valueOf(d, "status").toLongLong(), 0);
    QVERIFY(d.field(QStringLiteral("status"))->text.contains(QStringLiteral("received")));

    // With the optional tail: indicator 07, PID, DCS, "Hi"; and a status of
    // a message that expired.
    QByteArray withTail = report;
    withTail.chop(2);
    withTail += "46" "07" "00" "00" "02" "C834";
    d = DecodeSmsPdu(withTail, 31);
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(valueOf(d, "status").toLongLong(), 0x46);
    QVERIFY(d.field(QStringLiteral("status"))->text.contains(QStringLiteral("validity period expired")));
    QCOMPARE(valueOf(d, "text").toString(), QStringLiteral("Hi"));
}

void TestSmsPdu::userDataHeaders()
{
    // 8-bit reference 0xCC, part 1 of 2, then "Hi" after one fill bit.
    Decoded d = DecodeSmsPdu("0041000B916407281553F8000009050003CC02019069");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(valueOf(d, "udh").toString(), QStringLiteral("0003CC0201"));
    QCOMPARE(valueOf(d, "concat_ref").toLongLong(), 0xCC);
    QCOMPARE(valueOf(d, "concat_part").toLongLong(), 1);
    QCOMPARE(valueOf(d, "concat_total").toLongLong(), 2);
    QCOMPARE(valueOf(d, "text").toString(), QStringLiteral("Hi"));

    // 16-bit reference 0x1234, part 2 of 3, UCS2 "A".
    d = DecodeSmsPdu("0041000B916407281553F800080906080412340302" "0041");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(valueOf(d, "concat_ref").toLongLong(), 0x1234);
    QCOMPARE(valueOf(d, "concat_part").toLongLong(), 2);
    QCOMPARE(valueOf(d, "concat_total").toLongLong(), 3);
    QCOMPARE(valueOf(d, "text").toString(), QStringLiteral("A"));

    // Another element (application ports) is listed by its IEI; 8-bit data as hex.
    d = DecodeSmsPdu("0041000B916407281553F80004090605040B8423F0CAFE");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QVERIFY(d.field(QStringLiteral("udh"))->text.contains(QStringLiteral("0x05")));
    QVERIFY(!d.field(QStringLiteral("concat_ref")));
    QCOMPARE(valueOf(d, "alphabet").toString(), QStringLiteral("8bit"));
    QCOMPARE(valueOf(d, "text").toString(), QStringLiteral("CAFE"));

    // An alphanumeric sender: septets in the address's semi-octets.
    const QByteArray name = septetsHex(QStringLiteral("Test"));
    d = DecodeSmsPdu("000407D0" + name + "0000" "21010132000040" "00");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(valueOf(d, "sender").toString(), QStringLiteral("Test"));
    QVERIFY(d.field(QStringLiteral("sender"))->text.contains(QStringLiteral("alphanumeric")));
}

void TestSmsPdu::codingSchemes_data()
{
    QTest::addColumn<QByteArray>("dcs");
    QTest::addColumn<QString>("alphabet");
    QTest::addColumn<int>("messageClass");
    QTest::newRow("default") << QByteArray("00") << "gsm7" << -1;
    QTest::newRow("8-bit") << QByteArray("04") << "8bit" << -1;
    QTest::newRow("UCS2") << QByteArray("08") << "ucs2" << -1;
    QTest::newRow("flash") << QByteArray("10") << "gsm7" << 0;
    QTest::newRow("8-bit class 2") << QByteArray("16") << "8bit" << 2;
    QTest::newRow("UCS2 class 3") << QByteArray("1B") << "ucs2" << 3;
    QTest::newRow("reserved alphabet") << QByteArray("0C") << "gsm7" << -1;
    QTest::newRow("auto-delete UCS2") << QByteArray("48") << "ucs2" << -1;
    QTest::newRow("reserved group") << QByteArray("80") << "gsm7" << -1;
    QTest::newRow("waiting, discard") << QByteArray("C8") << "gsm7" << -1;
    QTest::newRow("waiting, store") << QByteArray("D9") << "gsm7" << -1;
    QTest::newRow("waiting, store UCS2") << QByteArray("E8") << "ucs2" << -1;
    QTest::newRow("class group 0") << QByteArray("F0") << "gsm7" << 0;
    QTest::newRow("class group 8-bit") << QByteArray("F6") << "8bit" << 2;
}

void TestSmsPdu::codingSchemes()
{
    QFETCH(QByteArray, dcs);
    QFETCH(QString, alphabet);
    QFETCH(int, messageClass);
    const Decoded d = DecodeSmsPdu("0004038121F300" + dcs + "21010132000040" "00");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(valueOf(d, "dcs").toLongLong(), dcs.toLongLong(nullptr, 16));
    QCOMPARE(valueOf(d, "alphabet").toString(), alphabet);
    if (messageClass < 0)
        QVERIFY(!d.field(QStringLiteral("message_class")));
    else
        QCOMPARE(valueOf(d, "message_class").toLongLong(), messageClass);
    if (dcs.startsWith('C') || dcs.startsWith('D') || dcs.startsWith('E'))
        QVERIFY(d.field(QStringLiteral("dcs"))->text.contains(QStringLiteral("message waiting")));
}

void TestSmsPdu::validityPeriods_data()
{
    QTest::addColumn<QByteArray>("firstAndVp");
    QTest::addColumn<QVariant>("validity");
    const auto s = [](qint64 v) { return QVariant::fromValue(v); };
    QTest::newRow("5 minutes") << QByteArray("11|00") << s(300);
    QTest::newRow("12 hours") << QByteArray("11|8F") << s(12 * 3600);
    QTest::newRow("12 h 30 min") << QByteArray("11|90") << s(12 * 3600 + 1800);
    QTest::newRow("24 hours") << QByteArray("11|A7") << s(86400);
    QTest::newRow("2 days") << QByteArray("11|A8") << s(2 * 86400);
    QTest::newRow("30 days") << QByteArray("11|C4") << s(30 * 86400);
    QTest::newRow("5 weeks") << QByteArray("11|C5") << s(5 * 7 * 86400);
    QTest::newRow("63 weeks") << QByteArray("11|FF") << s(63 * 7 * 86400);
    QTest::newRow("absolute") << QByteArray("19|2101013200004A") << QVariant(QStringLiteral("12/10/10 23:00:00 -24"));
    QTest::newRow("enhanced seconds") << QByteArray("09|021E0000000000") << s(30);
    QTest::newRow("enhanced relative") << QByteArray("09|01A70000000000") << s(86400);
    QTest::newRow("enhanced hh:mm:ss") << QByteArray("09|03103254000000") << s(3600 + 23 * 60 + 45);
}

void TestSmsPdu::validityPeriods()
{
    QFETCH(QByteArray, firstAndVp);
    QFETCH(QVariant, validity);
    const QList<QByteArray> parts = firstAndVp.split('|');
    const Decoded d = DecodeSmsPdu("00" + parts.at(0) + "00" "038121F3" "0000" + parts.at(1) + "00");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(valueOf(d, "validity"), validity);
    QVERIFY(d.field(QStringLiteral("text")));
}

void TestSmsPdu::simDeliverDecodes_data()
{
    QTest::addColumn<QString>("serviceCentre");
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("stamp");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("alphabet");
    QTest::newRow("extension characters") << "" << "+8613800138000" << "24/02/29,23:59:59+32"
                                          << "Price: 5€ [a]{b}^~\\| ok" << "gsm7";
    QTest::newRow("Chinese") << "+8613800100500" << "10086" << "26/12/08,22:30:00-16"
                             << "短信测试：你好，世界！" << "ucs2";
    QTest::newRow("outside the BMP") << "" << "+447700900123" << "25/06/30,12:00:00+04"
                                     << "smile 😀 笑" << "ucs2";
    QTest::newRow("empty") << "" << "+1234567" << "00/01/01,00:00:00+00" << "" << "gsm7";
    QTest::newRow("160 septets") << "" << "+4412345" << "99/12/31,23:59:59-48" << QString(160, u'x') << "gsm7";
    QTest::newRow("80 euro signs") << "" << "+4412345" << "10/10/10,10:10:10+00" << QString(80, QChar(0x20AC))
                                   << "gsm7";
    QTest::newRow("70 UCS2 units") << "" << "*99#" << "10/10/10,10:10:10+00" << QString(70, QChar(0x4E2D)) << "ucs2";
}

void TestSmsPdu::simDeliverDecodes()
{
    QFETCH(QString, serviceCentre);
    QFETCH(QString, sender);
    QFETCH(QString, stamp);
    QFETCH(QString, text);
    QFETCH(QString, alphabet);
    int length = -1;
    const QByteArray pdu = SmsPdu::encodeDeliver({serviceCentre, sender, stamp, text}, &length);
    const Decoded d = DecodeSmsPdu(pdu.toHex(), length);
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(valueOf(d, "pdu_type").toString(), QStringLiteral("SMS-DELIVER"));
    QCOMPARE(valueOf(d, "smsc").toString(), serviceCentre);
    QCOMPARE(valueOf(d, "sender").toString(), sender);
    QCOMPARE(valueOf(d, "timestamp").toString(), decoderStamp(stamp));
    QCOMPARE(valueOf(d, "alphabet").toString(), alphabet);
    QCOMPARE(valueOf(d, "text").toString(), text);
}

void TestSmsPdu::submitDecodesInSim_data()
{
    QTest::addColumn<QString>("serviceCentre");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("dcs");
    QTest::newRow("GSM 7-bit") << "" << "+8613912345678" << "Hello {world} €5, [ok]~^|\\" << 0x00;
    QTest::newRow("UCS2") << "+8613800100500" << "10086" << "查询余额 😀" << 0x08;
    QTest::newRow("empty") << "" << "*100#" << "" << 0x00;
    QTest::newRow("160 septets") << "" << "123" << QString(160, u'@') << 0x00;
}

void TestSmsPdu::submitDecodesInSim()
{
    QFETCH(QString, serviceCentre);
    QFETCH(QString, destination);
    QFETCH(QString, text);
    QFETCH(int, dcs);
    SmsSubmitMessage m;
    m.serviceCentre = serviceCentre;
    m.destination = destination;
    m.text = text;
    m.messageReference = 42;
    m.validityMinutes = 24 * 60;
    int length = 0;
    const QByteArray hex = EncodeSmsSubmit(m, &length);
    QVERIFY(!hex.isEmpty());
    const std::optional<SmsPdu::Submit> sim = SmsPdu::decodeSubmit(QByteArray::fromHex(hex), length);
    QVERIFY(sim);
    QCOMPARE(sim->serviceCentre, serviceCentre);
    QCOMPARE(sim->destination, destination);
    QCOMPARE(sim->destinationType, destination.startsWith(u'+') ? 145 : 129);
    QCOMPARE(sim->reference, 42);
    QCOMPARE(int(sim->dcs), dcs);
    QCOMPARE(sim->text, text);
    QVERIFY(sim->header.isEmpty());

    const Decoded d = DecodeSmsPdu(hex, length);
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(valueOf(d, "validity").toLongLong(), 86400);
    QCOMPARE(valueOf(d, "text").toString(), text);
}

void TestSmsPdu::longTextIsConcatenated()
{
    struct Case
    {
        QString text;
        qsizetype parts;
        QString firstPart;
    };
    const QString chinese67(67, QChar(0x4E2D));
    const QList<Case> cases = {
        {QString(160, u'a'), 1, QString(160, u'a')},
        {QString(161, u'a'), 2, QString(153, u'a')},
        {QString(306, u'a'), 2, QString(153, u'a')},
        {QString(307, u'a'), 3, QString(153, u'a')},
        // The escape and its code stay in one part.
        {QString(152, u'a') + QStringLiteral("€") + QString(10, u'b'), 2, QString(152, u'a')},
        {QString(71, QChar(0x4E2D)), 2, chinese67},
        // A surrogate pair is not cut in two.
        {QString(66, QChar(0x4E2D)) + QStringLiteral("😀") + QString(10, QChar(0x4E2D)), 2, QString(66, QChar(0x4E2D))},
        // A zero-width no-break space (U+FEFF) is a character like any
        // other, also first in a part.
        {QString(67, QChar(0xFEFF)) + QChar(0xFEFF) + QString(4, QChar(0x4E2D)), 2, QString(67, QChar(0xFEFF))},
        {QStringLiteral("è") + QString(4, QChar(0xFFFF)), 1, QStringLiteral("è") + QString(4, QChar(0xFFFF))},
    };
    for (const Case &c : cases) {
        SmsSubmitMessage m;
        m.destination = QStringLiteral("+8613912345678");
        m.text = c.text;
        m.concatReference = 0xAB;
        const QList<SmsSubmitPdu> pdus = EncodeSmsSubmitParts(m);
        QCOMPARE(pdus.size(), c.parts);
        QString joined;
        for (qsizetype i = 0; i < pdus.size(); ++i) {
            const auto sim = SmsPdu::decodeSubmit(QByteArray::fromHex(pdus.at(i).hex), pdus.at(i).tpduLength);
            QVERIFY(sim);
            if (c.parts == 1)
                QVERIFY(sim->header.isEmpty());
            else
                QCOMPARE(sim->header, QByteArray::fromHex("0003AB") + char(c.parts) + char(i + 1));
            if (i == 0)
                QCOMPARE(sim->text, c.firstPart);
            joined += sim->text;

            const Decoded d = DecodeSmsPdu(pdus.at(i).hex, pdus.at(i).tpduLength);
            QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
            if (c.parts > 1)
                QCOMPARE(valueOf(d, "concat_part").toLongLong(), i + 1);
        }
        QCOMPARE(joined, c.text);
    }
}

void TestSmsPdu::submitRefusesWhatIsNoPdu()
{
    SmsSubmitMessage m;
    m.destination = QStringLiteral("+123");
    m.text = QString(161, u'a');
    int length = 0;
    QVERIFY(EncodeSmsSubmit(m, &length).isEmpty());
    QCOMPARE(length, -1);
    m.text = QStringLiteral("ok");
    for (const QString &bad : {QStringLiteral(""), QStringLiteral("+"), QStringLiteral("abc"), QString(21, u'1')}) {
        m.destination = bad;
        QVERIFY2(EncodeSmsSubmit(m).isEmpty(), qPrintable(bad));
        QVERIFY(EncodeSmsSubmitParts(m).isEmpty());
    }
    m.destination = QStringLiteral("123");
    m.concatTotal = 2;
    m.concatPart = 3;
    QVERIFY(EncodeSmsSubmit(m).isEmpty());
    m.concatPart = 2;
    QVERIFY(!EncodeSmsSubmit(m).isEmpty());
    m.concatTotal = 0;
    m.serviceCentre = QStringLiteral("centre");
    QVERIFY(EncodeSmsSubmit(m).isEmpty());
}

void TestSmsPdu::malformed_data()
{
    QTest::addColumn<QByteArray>("hex");
    QTest::addColumn<int>("tpduLength");
    const QByteArray deliver = "0004038121F30000";
    const QByteArray stamp = "21010132000040";
    const QByteArray submit = "0011000B916407281553F80000AA0AE8329BFD4697D9EC37";
    QTest::newRow("empty") << QByteArray() << -1;
    QTest::newRow("blank") << QByteArray("  \r\n") << -1;
    QTest::newRow("odd digits") << QByteArray("0011000") << -1;
    QTest::newRow("not hex") << QByteArray("00G1") << -1;
    QTest::newRow("0x prefix") << QByteArray("0x0011") << -1;
    QTest::newRow("service centre over 11") << QByteArray("0C91") + QByteArray(22, '1') << -1;
    QTest::newRow("service centre cut") << QByteArray("07917283") << -1;
    QTest::newRow("service centre filler inside") << QByteArray("0391F121") << -1;
    QTest::newRow("no TPDU") << QByteArray("00") << -1;
    QTest::newRow("reserved type 11") << QByteArray("0003") << -1;
    QTest::newRow("length says more") << submit << 24;
    QTest::newRow("length says less") << submit << 22;
    QTest::newRow("cut in time stamp") << deliver + "210101" << -1;
    QTest::newRow("address over 20 digits") << QByteArray("000415911111111111") << -1;
    QTest::newRow("address cut") << QByteArray("00040B9164") << -1;
    QTest::newRow("filler inside number") << QByteArray("00040481F132") + "0000" + stamp + "00" << -1;
    QTest::newRow("time stamp not BCD") << deliver + "2A0101320000400" + "0" << -1;
    QTest::newRow("month 13") << deliver + "21310132000040" + "00" << -1;
    QTest::newRow("zone not BCD") << deliver + "210101320000A0" + "00" << -1;
    QTest::newRow("UDL past data") << deliver + stamp + "0AE832" << -1;
    QTest::newRow("UDL over 160") << deliver + stamp + "A1" + QByteArray(282, '0') << -1;
    QTest::newRow("8-bit UDL over 140") << QByteArray("0004038121F30004") + stamp + "8D" + QByteArray(282, '0') << -1;
    QTest::newRow("header past data") << QByteArray("0041000381") + "21F30000" + "03050003" << -1;
    QTest::newRow("element past header") << QByteArray("0041000381") + "21F30004" + "0403000501" << -1;
    QTest::newRow("header and no data") << QByteArray("0041000381") + "21F30004" + "00" << -1;
    QTest::newRow("concat part 0") << QByteArray("0041000381") + "21F30004" + "06050003010200" << -1;
    QTest::newRow("concat part past total") << QByteArray("0041000381") + "21F30004" + "06050003010203" << -1;
    QTest::newRow("concat element short") << QByteArray("0041000381") + "21F30004" + "050400020102" << -1;
    QTest::newRow("septets shorter than header") << QByteArray("0041000381") + "21F30000" + "06050003010201" << -1;
    QTest::newRow("UCS2 odd octets") << QByteArray("0004038121F30008") + stamp + "034F6059" << -1;
    QTest::newRow("UCS2 lone surrogate") << QByteArray("0004038121F30008") + stamp + "04D83D0041" << -1;
    QTest::newRow("octets after the message") << submit + "00" << -1;
    QTest::newRow("status report cut") << QByteArray("0006D60B911326880736F41110117195514011101171") << -1;
    QTest::newRow("enhanced format reserved") << QByteArray("0009000381") + "21F30000" + "05000000000000" + "00" << -1;
    QTest::newRow("enhanced not hh:mm:ss") << QByteArray("0009000381") + "21F30000" + "03A09900000000" + "00" << -1;
    QTest::newRow("compressed") << QByteArray("0004038121F30020") + stamp + "0100" << -1;
    QTest::newRow("parameter indicator cut") << QByteArray("0006D60B911326880736F41110117195514011101171957140") + "0080" << -1;
}

void TestSmsPdu::malformed()
{
    QFETCH(QByteArray, hex);
    QFETCH(int, tpduLength);
    const Decoded d = DecodeSmsPdu(hex, tpduLength);
    QVERIFY2(!d.problem.isEmpty(), qPrintable(d.toText()));
    // Decoding is a function of its input.
    QCOMPARE(DecodeSmsPdu(hex, tpduLength).toText(), d.toText());
}

void TestSmsPdu::faultKeepsEarlierFields()
{
    // Cut inside the time stamp: the service centre and the sender stand.
    const QByteArray whole = "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37";
    Decoded d = DecodeSmsPdu(whole.left(40), 28);
    QCOMPARE(d.problem, QStringLiteral("the PDU ends after 12 of 28 octets of the TPDU"));
    QCOMPARE(valueOf(d, "smsc").toString(), QStringLiteral("+27381000015"));
    QCOMPARE(valueOf(d, "sender").toString(), QStringLiteral("27838890001"));
    QVERIFY(!d.field(QStringLiteral("timestamp")));
    QVERIFY(!d.field(QStringLiteral("text")));

    // Without the length the reason is where it ended.
    d = DecodeSmsPdu(whole.left(40));
    QVERIFY2(d.problem.contains(QStringLiteral("time stamp")), qPrintable(d.problem));

    // A header that runs past its data keeps the fields before the user data.
    d = DecodeSmsPdu("0041000B916407281553F8000009050003CC020190");
    QVERIFY(!d.problem.isEmpty());
    QCOMPARE(valueOf(d, "destination").toString(), QStringLiteral("+46708251358"));
    QVERIFY(!d.field(QStringLiteral("text")));
}

QTEST_GUILESS_MAIN(TestSmsPdu)
#include "test_smspdu.moc"
