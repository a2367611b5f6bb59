// The table of AT knowledge and the reply decoders, against the examples and
// value ranges of ITU-T V.250, 3GPP TS 27.007 and TS 27.005.

#include "atinfo/atknowledge.h"
#include "atinfo/replydecoder.h"

#include <QSet>
#include <QtTest>

namespace {

QVariant Value(const Decoded &d, const char *key)
{
    const DecodedField *f = d.field(QLatin1String(key));
    return f ? f->value : QVariant(QStringLiteral("<no field %1>").arg(QLatin1String(key)));
}

QString Text(const Decoded &d, const char *key)
{
    const DecodedField *f = d.field(QLatin1String(key));
    return f ? f->text : QStringLiteral("<no field %1>").arg(QLatin1String(key));
}

} // namespace

class TestReplyDecoder : public QObject
{
    Q_OBJECT

private slots:
    void tableLoads();
    void lookupByTypedCommand_data();
    void lookupByTypedCommand();
    void errorAndResultCodes();
    void csqRanges_data();
    void csqRanges();
    void cesqRanges_data();
    void cesqRanges();
    void registration();
    void operatorSelection();
    void simpleReadAnswers();
    void errorLines();
    void finalResults();
    void clockAndBattery();
    void callsAndUssd();
    void messages();
    void identification();
    void transactionRecords();
    void badInput_data();
    void badInput();
};

void TestReplyDecoder::tableLoads()
{
    const AtKnowledge &table = AtKnowledge::Instance();
    QVERIFY2(table.LoadProblem().isEmpty(), qPrintable(table.LoadProblem()));
    const QString sources = table.Sources().join(u' ');
    QVERIFY(sources.contains(QLatin1String("V.250")));
    QVERIFY(sources.contains(QLatin1String("27.007")));
    QVERIFY(sources.contains(QLatin1String("27.005")));
    QVERIFY(table.Commands().size() >= 40);
    QSet<QString> names;
    for (const AtCommandInfo &command : table.Commands()) {
        QVERIFY2(!names.contains(command.name), qPrintable(command.name));
        names.insert(command.name);
        QVERIFY2(!command.description.isEmpty(), qPrintable(command.name));
        QVERIFY2(!command.forms.isEmpty(), qPrintable(command.name));
        for (const AtForm &form : command.forms) {
            if (form.kind == AtFormKind::Unsolicited) {
                QVERIFY2(form.response.startsWith(command.name + u':'), qPrintable(command.name));
                continue;
            }
            // A form's syntax is the command written that way, which the
            // lookups must find again as this command and this form.
            QVERIFY2(form.syntax.startsWith(command.DisplayName()), qPrintable(form.syntax));
            QCOMPARE(table.Command(form.syntax), &command);
            if (!form.syntax.contains(u'['))
                QCOMPARE(AtKnowledge::FormOf(form.syntax), std::optional(form.kind));
        }
    }
    for (const char *name : {"I", "+CGMI", "+CGMM", "+CGMR", "+CGSN", "+CIMI", "+CFUN", "+CPIN", "+CSQ", "+CESQ", "+CREG",
                             "+CGREG", "+CEREG", "+C5GREG", "+COPS", "+CGDCONT", "+CGACT", "+CGPADDR", "+CMEE", "+CMGF",
                             "+CSCA", "+CMGS", "+CMGR", "+CMGL", "+CMGD", "+CNMI", "+CPMS", "+CUSD", "+CCLK", "+CBC",
                             "+CLIP", "+CLCC", "D", "A", "H", "E", "V", "Q", "Z", "&F", "S0"})
        QVERIFY2(names.contains(QLatin1String(name)), name);
    QVERIFY(table.Command(u"+CCID")->source.contains(QLatin1String("not in 27.007")));
    QCOMPARE(table.Command(u"AT+CREG?")->Parameter(u"stat")->ValueText(u"5"), QStringLiteral("registered, roaming"));
    QCOMPARE(table.Command(u"AT+CSQ")->Parameter(u"rssi")->ValueText(u"17"), QStringLiteral("-109 ... -53 dBm"));
}

void TestReplyDecoder::lookupByTypedCommand_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("form");
    const int action = int(AtFormKind::Action), test = int(AtFormKind::Test), read = int(AtFormKind::Read),
              set = int(AtFormKind::Set);
    QTest::newRow("set, lower case") << "at+cgdcont=1,\"IP\",\"internet\"" << "+CGDCONT" << set;
    QTest::newRow("action") << "AT+CSQ" << "+CSQ" << action;
    QTest::newRow("read") << "AT+CREG?" << "+CREG" << read;
    QTest::newRow("test") << "AT+CREG=?" << "+CREG" << test;
    QTest::newRow("digit in name") << "AT+C5GREG=2" << "+C5GREG" << set;
    QTest::newRow("two commands: the first") << "AT+CMGF=1;+CSCA?" << "+CMGF" << set;
    QTest::newRow("name alone") << "+cpin" << "+CPIN" << action;
    QTest::newRow("basic with value") << "ATE0" << "E" << action;
    QTest::newRow("ampersand") << "AT&F" << "&F" << action;
    QTest::newRow("register read") << "ATS0?" << "S0" << read;
    QTest::newRow("register set") << "ats0=2" << "S0" << set;
    QTest::newRow("dial") << "ATD*99#" << "D" << action;
    QTest::newRow("dial voice") << "ATD+8613800000000;" << "D" << action;
    QTest::newRow("identification") << "ati" << "I" << action;
    QTest::newRow("unknown extended") << "AT+XYZ=1" << "" << set;
    QTest::newRow("bare AT") << "AT" << "" << -1;
    QTest::newRow("no command") << "hello" << "" << -1;
}

void TestReplyDecoder::lookupByTypedCommand()
{
    QFETCH(QString, typed);
    QFETCH(QString, name);
    QFETCH(int, form);
    const AtCommandInfo *command = AtKnowledge::Instance().Command(typed);
    QCOMPARE(command ? command->name : QString(), name);
    const auto kind = AtKnowledge::FormOf(typed);
    QCOMPARE(kind ? int(*kind) : -1, form);
}

void TestReplyDecoder::errorAndResultCodes()
{
    const AtKnowledge &table = AtKnowledge::Instance();
    // 27.007 9.2.1 and 9.2.2.
    QCOMPARE(table.CmeErrorText(0), QStringLiteral("phone failure"));
    QCOMPARE(table.CmeErrorText(10), QStringLiteral("SIM not inserted"));
    QCOMPARE(table.CmeErrorText(30), QStringLiteral("no network service"));
    QCOMPARE(table.CmeErrorText(100), QStringLiteral("unknown"));
    QCOMPARE(table.CmeErrorText(148), QStringLiteral("unspecified GPRS error"));
    QCOMPARE(table.CmeErrorText(9), QString());
    QCOMPARE(table.CmeErrorNumber(u"sim PIN required"), 11);
    // 27.005 3.2.5: own texts, then the ranges.
    QCOMPARE(table.CmsErrorText(300), QStringLiteral("ME failure"));
    QCOMPARE(table.CmsErrorText(322), QStringLiteral("memory full"));
    QCOMPARE(table.CmsErrorText(330), QStringLiteral("SMSC address unknown"));
    QCOMPARE(table.CmsErrorText(500), QStringLiteral("unknown error"));
    QVERIFY(table.CmsErrorText(42).contains(QLatin1String("24.011")));
    QVERIFY(table.CmsErrorText(208).contains(QLatin1String("23.040")));
    QCOMPARE(table.CmsErrorText(600), QStringLiteral("manufacturer specific"));
    QCOMPARE(table.CmsErrorNumber(u"Memory Full"), 322);
    // V.250 5.7.1 table 1.
    const QList<QPair<int, const char *>> codes = {{0, "OK"}, {1, "CONNECT"}, {2, "RING"}, {3, "NO CARRIER"},
                                                   {4, "ERROR"}, {6, "NO DIALTONE"}, {7, "BUSY"}, {8, "NO ANSWER"}};
    for (const auto &code : codes) {
        QCOMPARE(table.ResultCode(code.first)->verbose, QLatin1String(code.second));
        QCOMPARE(table.ResultCode(QString::fromLatin1(code.second).toLower())->number, code.first);
    }
    QVERIFY(!table.ResultCode(5));
    QVERIFY(!table.ResultCode(u"FINE"));
}

void TestReplyDecoder::csqRanges_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QVariant>("rssi");
    QTest::addColumn<QVariant>("dbm");
    QTest::addColumn<QString>("dbmText");
    QTest::addColumn<QVariant>("ber");
    QTest::addColumn<QString>("berText");
    const QVariant null;
    QTest::newRow("rssi 0") << QByteArray("+CSQ: 0,0") << QVariant(0LL) << QVariant(-113LL) << "-113 dBm or less"
                            << QVariant(0LL) << "RXQUAL 0: BER below 0.2 %";
    QTest::newRow("rssi 1") << QByteArray("+CSQ: 1,7") << QVariant(1LL) << QVariant(-111LL) << "-111 dBm"
                            << QVariant(7LL) << "RXQUAL 7: BER above 12.8 %";
    QTest::newRow("rssi 2") << QByteArray("+CSQ: 2,3") << QVariant(2LL) << QVariant(-109LL) << "-109 dBm"
                            << QVariant(3LL) << "RXQUAL 3: BER 0.8 % to 1.6 %";
    QTest::newRow("rssi 30") << QByteArray("+CSQ: 30,99") << QVariant(30LL) << QVariant(-53LL) << "-53 dBm" << null
                             << "99: not known or not detectable";
    QTest::newRow("rssi 31") << QByteArray("+CSQ:31,0") << QVariant(31LL) << QVariant(-51LL) << "-51 dBm or greater"
                             << QVariant(0LL) << "RXQUAL 0: BER below 0.2 %";
    QTest::newRow("rssi 99") << QByteArray("+CSQ: 99,99") << null << null << "not known or not detectable" << null
                             << "99: not known or not detectable";
}

void TestReplyDecoder::csqRanges()
{
    QFETCH(QByteArray, line);
    QFETCH(QVariant, rssi);
    QFETCH(QVariant, dbm);
    QFETCH(QString, dbmText);
    QFETCH(QVariant, ber);
    QFETCH(QString, berText);
    const Decoded d = DecodeReplyLine(line, "AT+CSQ");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(d.title, QStringLiteral("Signal quality (+CSQ)"));
    QCOMPARE(Value(d, "rssi"), rssi);
    QCOMPARE(Value(d, "rssi_dbm"), dbm);
    QCOMPARE(Text(d, "rssi_dbm"), dbmText);
    QCOMPARE(Value(d, "ber"), ber);
    QCOMPARE(Text(d, "ber"), berText);
    // The command is no part of how +CSQ reads.
    QCOMPARE(DecodeReplyLine(line).fields.size(), d.fields.size());
}

void TestReplyDecoder::cesqRanges_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("text");
    const QByteArray lte = "+CESQ: 99,99,255,255,20,45";
    QTest::newRow("LTE rsrq") << lte << "rsrq" << QVariant(20LL) << "20: -10 to -9.5 dB";
    QTest::newRow("LTE rsrp") << lte << "rsrp" << QVariant(45LL) << "45: -96 to -95 dBm";
    QTest::newRow("rxlev not known") << lte << "rxlev" << QVariant() << "99: not known or not detectable";
    QTest::newRow("rscp not known") << lte << "rscp" << QVariant() << "255: not known or not detectable";
    QTest::newRow("rsrp 0") << QByteArray("+CESQ: 99,99,255,255,0,0") << "rsrp" << QVariant(0LL) << "0: below -140 dBm";
    QTest::newRow("rsrp 1") << QByteArray("+CESQ: 99,99,255,255,1,1") << "rsrp" << QVariant(1LL) << "1: -140 to -139 dBm";
    QTest::newRow("rsrp 97") << QByteArray("+CESQ: 99,99,255,255,34,97") << "rsrp" << QVariant(97LL)
                             << "97: -44 dBm or greater";
    QTest::newRow("rsrq 0") << QByteArray("+CESQ: 99,99,255,255,0,0") << "rsrq" << QVariant(0LL) << "0: below -19.5 dB";
    QTest::newRow("rsrq 34") << QByteArray("+CESQ: 99,99,255,255,34,97") << "rsrq" << QVariant(34LL)
                             << "34: -3 dB or greater";
    QTest::newRow("rxlev 63") << QByteArray("+CESQ: 63,0,255,255,255,255") << "rxlev" << QVariant(63LL)
                              << "63: -48 dBm or greater";
    QTest::newRow("rxlev 1") << QByteArray("+CESQ: 1,0,255,255,255,255") << "rxlev" << QVariant(1LL)
                             << "1: -110 to -109 dBm";
    QTest::newRow("rscp 96") << QByteArray("+CESQ: 99,99,96,49,255,255") << "rscp" << QVariant(96LL)
                             << "96: -25 dBm or greater";
    QTest::newRow("ecno 1") << QByteArray("+CESQ: 99,99,95,1,255,255") << "ecno" << QVariant(1LL) << "1: -24 to -23.5 dB";
    QTest::newRow("ecno 49") << QByteArray("+CESQ: 99,99,96,49,255,255") << "ecno" << QVariant(49LL)
                             << "49: 0 dB or greater";
}

void TestReplyDecoder::cesqRanges()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, key);
    QFETCH(QVariant, value);
    QFETCH(QString, text);
    const Decoded d = DecodeReplyLine(line);
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(d.fields.size(), 6);
    QCOMPARE(Value(d, key.toLatin1()), value);
    QCOMPARE(Text(d, key.toLatin1()), text);
}

void TestReplyDecoder::registration()
{
    // The unsolicited code with tac, ci and AcT (27.007 10.1.22, n=2).
    Decoded d = DecodeReplyLine("+CEREG: 1,\"1A2B\",\"01C2D3E4\",7");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QVERIFY(!d.field(u"n"_qs));
    QCOMPARE(Value(d, "stat"), QVariant(1LL));
    QCOMPARE(Text(d, "stat"), QStringLiteral("1: registered, home network"));
    QCOMPARE(Value(d, "tac"), QVariant(0x1A2BLL));
    QCOMPARE(Text(d, "tac"), QStringLiteral("0x1A2B (6699)"));
    QCOMPARE(Value(d, "ci"), QVariant(0x01C2D3E4LL));
    QCOMPARE(Text(d, "act"), QStringLiteral("7: E-UTRAN"));

    // The read answer with n=2: the same line is read as <n>,<stat>,...
    d = DecodeReplyLine("+CREG: 2,5,\"A1B2\",\"0000C3D4\",0", "AT+CREG?");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(Value(d, "n"), QVariant(2LL));
    QCOMPARE(Text(d, "stat"), QStringLiteral("5: registered, roaming"));
    QCOMPARE(Value(d, "lac"), QVariant(0xA1B2LL));
    QCOMPARE(Value(d, "ci"), QVariant(0xC3D4LL));
    QCOMPARE(Text(d, "act"), QStringLiteral("0: GSM"));
    // Without the command the quotes tell the read answer from the code.
    QCOMPARE(DecodeReplyLine("+CREG: 2,5,\"A1B2\",\"0000C3D4\",0").fields.size(), d.fields.size());
    // "+CREG: 0,1" is <n>,<stat> after AT+CREG?, but a code arriving
    // during another command is <stat> and a lac without quotes: refused.
    d = DecodeReplyLine("+CREG: 0,1", "AT+CREG?");
    QCOMPARE(Value(d, "n"), QVariant(0LL));
    QCOMPARE(Value(d, "stat"), QVariant(1LL));
    d = DecodeReplyLine("+CREG: 3", "AT+CSQ");
    QCOMPARE(Text(d, "stat"), QStringLiteral("3: registration denied"));
    QVERIFY(!d.field(u"n"_qs));

    // Denied, with the reject cause (n=3).
    d = DecodeReplyLine("+CEREG: 3,\"1A2B\",\"01C2D3E4\",7,0,15");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(Value(d, "cause_type"), QVariant(0LL));
    QCOMPARE(Value(d, "reject_cause"), QVariant(15LL));
    // Omitted optional parameters are present without value.
    d = DecodeReplyLine("+CEREG: 4,1,,,7", "AT+CEREG?");
    QVERIFY(d.field(u"tac"_qs) && Value(d, "tac").isNull());
    QCOMPARE(Value(d, "act"), QVariant(7LL));
    // +CGREG carries rac; +C5GREG a three byte tac and a 36 bit NR cell.
    d = DecodeReplyLine("+CGREG: 2,1,\"00C3\",\"0000A13F\",2,\"0C\"", "AT+CGREG?");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(Value(d, "rac"), QVariant(0x0CLL));
    d = DecodeReplyLine("+C5GREG: 1,\"00A1B2\",\"0123456789\",11");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(Value(d, "tac"), QVariant(0xA1B2LL));
    QCOMPARE(Value(d, "ci"), QVariant(0x0123456789LL));
    QCOMPARE(Text(d, "act"), QStringLiteral("11: NR connected to a 5GCN"));
    // A tac of 6 digits is too long for +CEREG.
    QVERIFY(DecodeReplyLine("+CEREG: 1,\"00A1B2\",\"01C2D3E4\",7").problem.contains(QLatin1String("tac")));
    // The test form lists values.
    d = DecodeReplyLine("+CREG: (0-2)", "AT+CREG=?");
    QCOMPARE(Value(d, "supported"), QVariant(QStringLiteral("(0-2)")));
}

void TestReplyDecoder::operatorSelection()
{
    Decoded d = DecodeReplyLine("+COPS: 0,0,\"Example Net\",7");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(Text(d, "mode"), QStringLiteral("0: automatic"));
    QCOMPARE(Text(d, "format"), QStringLiteral("0: long alphanumeric"));
    QCOMPARE(Value(d, "operator"), QVariant(QStringLiteral("Example Net")));
    QCOMPARE(Value(d, "act"), QVariant(7LL));
    d = DecodeReplyLine("+COPS: 1,2,\"46000\",2");
    QCOMPARE(Text(d, "operator"), QStringLiteral("46000 (MCC 460, MNC 00)"));
    d = DecodeReplyLine("+COPS: 0");
    QCOMPARE(d.fields.size(), 1);
    d = DecodeReplyLine("+COPS: (2,\"Net A\",\"A\",\"46000\",7),(3,\"Net B\",\"B\",\"46001\",2),,(0-4),(0-2)",
                        "AT+COPS=?");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(Text(d, "operator_stat_1"), QStringLiteral("2: current"));
    QCOMPARE(Value(d, "operator_2"), QVariant(QStringLiteral("Net B")));
    QCOMPARE(Value(d, "operator_numeric_2"), QVariant(QStringLiteral("46001")));
    QCOMPARE(Value(d, "act_2"), QVariant(2LL));
    QVERIFY(!d.field(u"operator_3"_qs));
}

void TestReplyDecoder::simpleReadAnswers()
{
    Decoded d = DecodeReplyLine("+CPIN: READY");
    QCOMPARE(Value(d, "state"), QVariant(QStringLiteral("READY")));
    QVERIFY(Text(d, "state").contains(QLatin1String("not pending")));
    d = DecodeReplyLine("+CPIN: SIM PIN");
    QVERIFY(Text(d, "state").contains(QLatin1String("SIM PIN")));
    QCOMPARE(Text(DecodeReplyLine("+CFUN: 1"), "fun"), QStringLiteral("1: full functionality"));
    QCOMPARE(Text(DecodeReplyLine("+CFUN: 4"), "fun"), QStringLiteral("4: disable phone both transmit and receive RF circuits"));
    QCOMPARE(Text(DecodeReplyLine("+CMEE: 2"), "n"), QStringLiteral("2: +CME ERROR: <err> with verbose values"));
    QCOMPARE(Text(DecodeReplyLine("+CMGF: 0"), "mode"), QStringLiteral("0: PDU mode"));
    d = DecodeReplyLine("+CSCA: \"+8613800100500\",145");
    QCOMPARE(Value(d, "sca"), QVariant(QStringLiteral("+8613800100500")));
    QCOMPARE(Text(d, "tosca"), QStringLiteral("145: international number, ISDN numbering plan"));
    d = DecodeReplyLine("+CGPADDR: 1,\"10.11.12.13\"");
    QCOMPARE(Value(d, "cid"), QVariant(1LL));
    QCOMPARE(Value(d, "pdp_addr"), QVariant(QStringLiteral("10.11.12.13")));
    d = DecodeReplyLine("+CGACT: 1,1");
    QCOMPARE(Text(d, "state"), QStringLiteral("1: activated"));
    d = DecodeReplyLine("+CNMI: 2,1,0,0,0");
    QCOMPARE(Text(d, "mt"), QStringLiteral("1: +CMTI: <mem>,<index>"));
}

void TestReplyDecoder::errorLines()
{
    Decoded d = DecodeReplyLine("+CME ERROR: 10");
    QCOMPARE(Value(d, "cme_error"), QVariant(10LL));
    QCOMPARE(Text(d, "cme_error"), QStringLiteral("10: SIM not inserted"));
    d = DecodeReplyLine("+CME ERROR: SIM not inserted");
    QCOMPARE(Value(d, "cme_error"), QVariant(10LL));
    QVERIFY(d.problem.isEmpty());
    d = DecodeReplyLine("+CME ERROR: something odd");
    QVERIFY(Value(d, "cme_error").isNull());
    QCOMPARE(Text(d, "cme_error"), QStringLiteral("something odd"));
    d = DecodeReplyLine("+CMS ERROR: 321");
    QCOMPARE(Text(d, "cms_error"), QStringLiteral("321: invalid memory index"));
    d = DecodeReplyLine("+CMS ERROR: 42");
    QCOMPARE(Value(d, "cms_error"), QVariant(42LL));
    QVERIFY(Text(d, "cms_error").contains(QLatin1String("network cause")));
}

void TestReplyDecoder::finalResults()
{
    QCOMPARE(Value(DecodeReplyLine("OK"), "result"), QVariant(QStringLiteral("OK")));
    QCOMPARE(Value(DecodeReplyLine("NO CARRIER"), "result"), QVariant(QStringLiteral("NO CARRIER")));
    Decoded d = DecodeReplyLine("CONNECT 115200");
    QCOMPARE(Value(d, "result"), QVariant(QStringLiteral("CONNECT")));
    QCOMPARE(Value(d, "connect_text"), QVariant(QStringLiteral("115200")));
    QCOMPARE(DecodeReplyLine("RING").title, QStringLiteral("Incoming call (RING)"));
    // A lone digit is only a result code as a transaction's final line.
    QVERIFY(DecodeReplyLine("0").isEmpty());
    QCOMPARE(Value(DecodeTransaction("ATE0", {}, "0"), "result"), QVariant(QStringLiteral("OK")));
    QCOMPARE(Value(DecodeTransaction("ATD123;", {}, "7"), "result"), QVariant(QStringLiteral("BUSY")));
    d = DecodeTransaction("ATS0?", {"000"}, "4");
    QCOMPARE(Value(d, "result"), QVariant(QStringLiteral("ERROR")));
    QVERIFY(DecodeTransaction("AT", {}, "5").problem.contains(QLatin1String("numeric result code 5")));
    QVERIFY(DecodeTransaction("AT", {}, "FINE").problem.contains(QLatin1String("no result code")));
    // An information line in the final line's place is not merged as one.
    d = DecodeTransaction("AT+CSQ", {}, "+CSQ: 20,0");
    QVERIFY(d.problem.contains(QLatin1String("no result code")));
    QVERIFY(!d.field(u"rssi"_qs));
    d = DecodeTransaction("AT+CPIN?", {}, "+CME ERROR: 10");
    QCOMPARE(Value(d, "cme_error"), QVariant(10LL));
}

void TestReplyDecoder::clockAndBattery()
{
    Decoded d = DecodeReplyLine("+CCLK: \"26/12/08,10:15:30+32\"");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(Value(d, "date"), QVariant(QStringLiteral("2026-12-08")));
    QCOMPARE(Value(d, "time"), QVariant(QStringLiteral("10:15:30")));
    QCOMPARE(Value(d, "zone"), QVariant(32LL));
    QVERIFY(Text(d, "zone").startsWith(QLatin1String("+08:00")));
    QVERIFY(Text(DecodeReplyLine("+CCLK: \"94/05/06,22:10:00-14\""), "zone").startsWith(QLatin1String("-03:30")));
    QVERIFY(!DecodeReplyLine("+CCLK: \"26/12/08,10:15:30\"").field(u"zone"_qs));
    d = DecodeReplyLine("+CBC: 0,75,3900");
    QCOMPARE(Text(d, "bcs"), QStringLiteral("0: MT is powered by the battery"));
    QCOMPARE(Value(d, "bcl"), QVariant(75LL));
    QCOMPARE(Value(d, "voltage_mv"), QVariant(3900LL));
    QVERIFY(!DecodeReplyLine("+CBC: 2,0").field(u"voltage_mv"_qs));
}

void TestReplyDecoder::callsAndUssd()
{
    Decoded d = DecodeReplyLine("+CLIP: \"+8613912345678\",145,,,\"Alice\",0");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(Value(d, "number"), QVariant(QStringLiteral("+8613912345678")));
    QCOMPARE(Value(d, "type"), QVariant(145LL));
    QCOMPARE(Value(d, "alpha"), QVariant(QStringLiteral("Alice")));
    QCOMPARE(Text(d, "cli_validity"), QStringLiteral("0: CLI valid"));
    d = DecodeReplyLine("+CLIP: 1,2", "AT+CLIP?");
    QCOMPARE(Text(d, "m"), QStringLiteral("2: unknown"));
    d = DecodeReplyLine("+CLCC: 1,1,4,0,0,\"13912345678\",129");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(Text(d, "dir"), QStringLiteral("1: mobile terminated (MT) call"));
    QCOMPARE(Text(d, "state"), QStringLiteral("4: incoming (MT call)"));
    QCOMPARE(Text(d, "mode"), QStringLiteral("0: voice"));
    QCOMPARE(Text(d, "type"), QStringLiteral("129: unknown type, ISDN numbering plan"));
    // USSD in UCS2 (dcs 72 = 0x48: general coding, UCS2).
    d = DecodeReplyLine("+CUSD: 0,\"4F60597D0021\",72");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(Value(d, "str"), QVariant(QStringLiteral("你好!")));
    QCOMPARE(Text(d, "m"), QStringLiteral("0: no further user action required"));
    QCOMPARE(Text(d, "dcs"), QStringLiteral("72: UCS2"));
    // GSM 7 bit (dcs 15) as the module's character set gives it.
    d = DecodeReplyLine("+CUSD: 1,\"Balance: 10.00\",15");
    QCOMPARE(Value(d, "str"), QVariant(QStringLiteral("Balance: 10.00")));
    QCOMPARE(Text(d, "m"), QStringLiteral("1: further user action required"));
    QCOMPARE(Value(DecodeReplyLine("+CUSD: 2"), "m"), QVariant(2LL));
    // GSM 7 bit given as packed septets in hex: "hellohello" in nine octets.
    d = DecodeReplyLine("+CUSD: 0,\"E8329BFD4697D9EC37\",15");
    QCOMPARE(Value(d, "str"), QVariant(QStringLiteral("hellohello")));
    // Hex-looking text whose septets would be control codes stays as sent.
    QCOMPARE(Value(DecodeReplyLine("+CUSD: 0,\"123456\",15"), "str"), QVariant(QStringLiteral("123456")));
}

void TestReplyDecoder::messages()
{
    Decoded d = DecodeReplyLine("+CMTI: \"SM\",3");
    QCOMPARE(Value(d, "mem"), QVariant(QStringLiteral("SM")));
    QCOMPARE(Value(d, "index"), QVariant(3LL));
    // Text mode read (27.005 3.4.3), with its data line.
    d = DecodeTransaction("AT+CMGR=3", {"+CMGR: \"REC UNREAD\",\"+8613912345678\",,\"26/12/08,10:15:30+32\"", "Hello"},
                          "OK");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(Value(d, "stat"), QVariant(QStringLiteral("REC UNREAD")));
    QCOMPARE(Value(d, "number"), QVariant(QStringLiteral("+8613912345678")));
    QCOMPARE(Value(d, "scts"), QVariant(QStringLiteral("2026-12-08 10:15:30 +08:00")));
    QCOMPARE(Value(d, "data"), QVariant(QStringLiteral("Hello")));
    QCOMPARE(Value(d, "result"), QVariant(QStringLiteral("OK")));
    // PDU mode: the header's last value is the TPDU length.
    // A stored SMS-SUBMIT: <toda> where a received message has <scts>.
    d = DecodeReplyLine("+CMGR: \"STO UNSENT\",\"+8613912345678\",,145,17,0,0,167,\"+8613800100500\",145,5");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(Value(d, "type"), QVariant(145LL));
    QVERIFY(!d.field(u"scts"_qs));
    d = DecodeReplyLine("+CMGR: 1,,24");
    QCOMPARE(Value(d, "stat"), QVariant(QStringLiteral("REC READ")));
    QCOMPARE(Value(d, "length"), QVariant(24LL));
    d = DecodeReplyLine("+CMGL: 2,0,\"\",24");
    QCOMPARE(Value(d, "index"), QVariant(2LL));
    QCOMPARE(Value(d, "length"), QVariant(24LL));
    d = DecodeReplyLine("+CMT: ,24");
    QCOMPARE(Value(d, "length"), QVariant(24LL));
    d = DecodeReplyLine("+CMT: \"+8613912345678\",,\"26/12/08,10:15:30+32\"");
    QCOMPARE(Value(d, "number"), QVariant(QStringLiteral("+8613912345678")));
    d = DecodeReplyLine("+CDS: 6,12,\"13912345678\",129,\"26/12/08,10:15:30+32\",\"26/12/08,10:15:35+32\",0");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(Value(d, "mr"), QVariant(12LL));
    QCOMPARE(Value(d, "st"), QVariant(0LL));
    d = DecodeReplyLine("+CMGS: 17");
    QCOMPARE(Value(d, "mr"), QVariant(17LL));
    d = DecodeReplyLine("+CPMS: \"SM\",3,50,\"SM\",3,50,\"ME\",0,100", "AT+CPMS?");
    QCOMPARE(Value(d, "mem3"), QVariant(QStringLiteral("ME")));
    QCOMPARE(Value(d, "total3"), QVariant(100LL));
    d = DecodeReplyLine("+CPMS: 3,50,3,50,0,100", "AT+CPMS=\"SM\"");
    QCOMPARE(Value(d, "used1"), QVariant(3LL));
}

void TestReplyDecoder::identification()
{
    // 490154203237518: a well-formed IMEI (check digit 8).
    Decoded d = DecodeReplyLine("490154203237518", "AT+CGSN");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(Value(d, "imei"), QVariant(QStringLiteral("490154203237518")));
    d = DecodeReplyLine("490154203237517", "AT+CGSN");
    QVERIFY(d.problem.contains(QLatin1String("check digit")));
    d = DecodeReplyLine("460001234567890", "AT+CIMI");
    QCOMPARE(Value(d, "mcc"), QVariant(460LL));
    d = DecodeReplyLine("+CCID: \"89860012345678901234\"");
    QCOMPARE(Value(d, "iccid"), QVariant(QStringLiteral("89860012345678901234")));
    QCOMPARE(Value(DecodeReplyLine("Example Modules Ltd", "AT+CGMI"), "manufacturer"),
             QVariant(QStringLiteral("Example Modules Ltd")));
    QVERIFY(DecodeReplyLine("460001234567890").isEmpty());
}

void TestReplyDecoder::transactionRecords()
{
    const QList<QByteArray> lines = {"+CGDCONT: 1,\"IP\",\"internet\",\"0.0.0.0\",0,0",
                                     "+CGDCONT: 2,\"IPV4V6\",\"ims\",\"\",0,0"};
    Decoded d = DecodeTransaction("AT+CGDCONT?", lines, "OK");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QVERIFY(d.title.contains(QLatin1String("AT+CGDCONT")));
    QCOMPARE(Value(d, "cid_1"), QVariant(1LL));
    QCOMPARE(Value(d, "apn_1"), QVariant(QStringLiteral("internet")));
    QCOMPARE(Value(d, "cid_2"), QVariant(2LL));
    QCOMPARE(Value(d, "pdp_type_2"), QVariant(QStringLiteral("IPV4V6")));
    QVERIFY(!d.field(u"cid"_qs));
    QCOMPARE(Value(d, "result"), QVariant(QStringLiteral("OK")));
    // One record keeps its keys; a bad line is named by its number.
    d = DecodeTransaction("AT+CSQ", {"+CSQ: 40,99"}, "OK");
    QVERIFY(d.problem.startsWith(QLatin1String("line 1: rssi 40")));
    d = DecodeTransaction("AT+CMGL=4", {"+CMGL: 1,1,,22", "0791683108200505F0040D91683119325476F8000862", "+CMGL: 2,0,,22",
                                        "0791683108200505F0040D91683119325476F8000862"},
                          "OK");
    QCOMPARE(Value(d, "index_2"), QVariant(2LL));
    QVERIFY(d.field(u"pdu_1"_qs));
    // The PDU after a PDU-mode header is decoded with its <length>: the
    // "hellohello" SMS-DELIVER (SMSC +27381000015, 28 octets of TPDU).
    d = DecodeTransaction("AT+CMGR=1",
                          {"+CMGR: 0,,28", "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37"},
                          "OK");
    QVERIFY2(d.problem.isEmpty(), qPrintable(d.problem));
    QCOMPARE(Value(d, "stat"), QVariant(QStringLiteral("REC UNREAD")));
    QCOMPARE(Value(d, "length"), QVariant(28LL));
    QCOMPARE(Value(d, "text"), QVariant(QStringLiteral("hellohello")));
    // A header whose <length> disagrees with the PDU gets the PDU's problem.
    d = DecodeTransaction("AT+CMGR=1",
                          {"+CMGR: 0,,30", "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37"},
                          "OK");
    QVERIFY(d.problem.startsWith(QLatin1String("line 2: ")));
}

void TestReplyDecoder::badInput_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QString>("problem"); // empty: the line is not known at all
    QTest::addColumn<int>("fieldsKept");
    QTest::newRow("rssi out of range") << QByteArray("+CSQ: 40,99") << QByteArray() << "rssi 40 is out of range 0..31, 99" << 0;
    QTest::newRow("ber out of range") << QByteArray("+CSQ: 20,8") << QByteArray() << "ber 8 is out of range 0..7, 99" << 2;
    QTest::newRow("csq one value") << QByteArray("+CSQ: 15") << QByteArray() << "1 parameters, not 2" << 0;
    QTest::newRow("csq not numbers") << QByteArray("+CSQ: a,b") << QByteArray() << "rssi \"a\" is no number" << 0;
    QTest::newRow("csq quoted") << QByteArray("+CSQ: \"15\",99") << QByteArray() << "rssi must be a number" << 0;
    QTest::newRow("csq negative") << QByteArray("+CSQ: -1,99") << QByteArray() << "rssi -1 is out of range" << 0;
    QTest::newRow("cesq rsrp 98") << QByteArray("+CESQ: 99,99,255,255,20,98") << QByteArray() << "rsrp 98 is out of range" << 5;
    QTest::newRow("cesq short") << QByteArray("+CESQ: 99,99,255") << QByteArray() << "not 6" << 0;
    QTest::newRow("creg cut in a quote") << QByteArray("+CREG: 1,\"1A2B") << QByteArray() << "not closed" << 0;
    QTest::newRow("creg stat 12") << QByteArray("+CREG: 12") << QByteArray() << "stat 12 is out of range 0..11" << 0;
    QTest::newRow("creg lac not hex") << QByteArray("+CREG: 1,\"ZZ\",\"01C2\"") << QByteArray() << "lac \"ZZ\"" << 1;
    QTest::newRow("creg too many") << QByteArray("+CREG: 1,\"1A2B\",\"01C2\",7,0,15,9") << QByteArray() << "more than" << 6;
    QTest::newRow("creg read without stat") << QByteArray("+CREG: 1") << QByteArray("AT+CREG?") << "without <stat>" << 1;
    QTest::newRow("cops mode 5") << QByteArray("+COPS: 5") << QByteArray() << "mode 5 is out of range 0..4" << 0;
    QTest::newRow("cops unquoted operator") << QByteArray("+COPS: 0,0,Net") << QByteArray() << "must be a quoted" << 2;
    QTest::newRow("cclk month 13") << QByteArray("+CCLK: \"26/13/08,10:15:30+32\"") << QByteArray() << "out of range" << 0;
    QTest::newRow("cclk zone 97") << QByteArray("+CCLK: \"26/12/08,10:15:30+97\"") << QByteArray() << "zone 97" << 0;
    QTest::newRow("cclk cut") << QByteArray("+CCLK: \"26/12/08,10:1") << QByteArray() << "not closed" << 0;
    QTest::newRow("cbc 101 %") << QByteArray("+CBC: 0,101") << QByteArray() << "bcl 101 is out of range 0..100" << 1;
    QTest::newRow("cpin unknown") << QByteArray("+CPIN: FOO") << QByteArray() << "not in TS 27.007" << 0;
    QTest::newRow("cme number unknown") << QByteArray("+CME ERROR: 9999") << QByteArray() << "not in TS 27.007 9.2" << 1;
    QTest::newRow("cme empty") << QByteArray("+CME ERROR:") << QByteArray() << "no error number" << 0;
    QTest::newRow("cms bad number") << QByteArray("+CMS ERROR: 3x") << QByteArray() << "is no number" << 0;
    QTest::newRow("ussd odd ucs2") << QByteArray("+CUSD: 0,\"00410\",72") << QByteArray() << "groups of 4" << 2;
    QTest::newRow("ussd reserved dcs") << QByteArray("+CUSD: 0,\"abc\",160") << QByteArray() << "reserved" << 3;
    QTest::newRow("cmgr bad status") << QByteArray("+CMGR: \"REC NEW\",\"123\"") << QByteArray() << "REC NEW" << 0;
    QTest::newRow("clcc state 6") << QByteArray("+CLCC: 1,0,6,0,0") << QByteArray() << "state 6 is out of range" << 2;
    QTest::newRow("text after quote") << QByteArray("+CSCA: \"123\"x,145") << QByteArray() << "after the closing quote" << 0;
    QTest::newRow("imsi letters") << QByteArray("46000ABC") << QByteArray("AT+CIMI") << "not 6 to 15 digits" << 0;
    QTest::newRow("unknown prefix") << QByteArray("+XYZ: 1,2") << QByteArray() << "" << 0;
    QTest::newRow("plain text") << QByteArray("hello") << QByteArray() << "" << 0;
    QTest::newRow("colon alone") << QByteArray("+:") << QByteArray() << "" << 0;
}

void TestReplyDecoder::badInput()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, command);
    QFETCH(QString, problem);
    QFETCH(int, fieldsKept);
    const Decoded d = DecodeReplyLine(line, command);
    if (problem.isEmpty()) {
        QVERIFY2(d.isEmpty(), qPrintable(d.toText()));
        return;
    }
    QVERIFY2(d.problem.contains(problem), qPrintable(d.problem));
    QVERIFY(!d.title.isEmpty());
    QCOMPARE(d.fields.size(), fieldsKept);
}

QTEST_APPLESS_MAIN(TestReplyDecoder)
#include "test_replydecoder.moc"
