// The runner's decoded answers: --decode puts each command's decoded fields
// into the JSON report, and a check file may compare a decoded field
// (rssi_dbm) where it compares a named group.
#include "atinfo/decodedkeys.h"
#include "atinfo/replydecoder.h"
#include "commands/commandsetfiles.h"
#include "runner/checkfile.h"
#include "runner/decodedanswer.h"
#include "runner/runreport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

namespace {

Transaction Answered(const QByteArray &command, const QList<QByteArray> &info, const QByteArray &final)
{
    Transaction t;
    t.index = 1;
    t.command = command;
    t.info = info;
    t.final = AtFinalResult::Classify(final);
    t.outcome = t.final.Succeeded() ? Transaction::Outcome::Passed : Transaction::Outcome::Failed;
    return t;
}

CheckOutcome Judge(const QByteArray &checkText, const Transaction &t)
{
    const CheckFile file = ParseCheckFile(checkText, QStringLiteral("f"), IsDecodedName);
    if (!file.error.isEmpty() || file.checks.isEmpty())
        qFatal("check file refused: %s", qPrintable(file.error));
    std::optional<Decoded> answer;
    return EvaluateChecks(file.checks.first(), t.info + QList<QByteArray> { t.final.text }, [&](const QString &name) {
        if (!answer)
            answer = DecodeAnswer(t);
        return DecodedValueText(*answer, name);
    });
}

QJsonObject FirstCommand(const RunReport &report)
{
    return QJsonDocument::fromJson(ReportJson(report)).object().value(QStringLiteral("commands")).toArray().at(0).toObject();
}

} // namespace

class TestRunnerDecode : public QObject
{
    Q_OBJECT
private slots:
    // A check may name a decoded field; a name that is neither a group nor
    // a field is refused at its line, as is a field without a decoder.
    void checkFilesNameDecodedFields()
    {
        const QByteArray text = "[AT+CSQ]\ncheck = rssi_dbm >= -95\n";
        const CheckFile file = ParseCheckFile(text, QStringLiteral("f"), IsDecodedName);
        QVERIFY2(file.error.isEmpty(), qPrintable(file.error));
        QVERIFY(file.checks.at(0).comparisons.at(0).decoded);
        QVERIFY(ParseCheckFile(text, QStringLiteral("f")).error.startsWith(QLatin1String("f:2: ")));
        QCOMPARE(ParseCheckFile("[1]\ncheck = rssi_dBm >= -95\n", QStringLiteral("f"), IsDecodedName).error,
                 QStringLiteral("f:2: check \"rssi_dBm >= -95\": \"rssi_dBm\" is no named group of a match above "
                                "nor a decoded field"));
        // A record's field of a listing, numbered.
        QVERIFY(IsDecodedName(QStringLiteral("apn_2")));
        QVERIFY(!IsDecodedName(QStringLiteral("_2")));
    }

    // Every field an answer decodes to is a name a check may use: a sample
    // answer of each decoder, read whole.
    void everyDecodedFieldIsANameChecksKnow()
    {
        const QList<std::pair<QByteArray, QList<QByteArray>>> answers = {
            { "AT+CSQ", { "+CSQ: 17,99" } },
            { "AT+CESQ", { "+CESQ: 99,99,255,255,20,45" } },
            { "AT+CREG?", { "+CREG: 2,5,\"A1B2\",\"0000C3D4\",7" } },
            { "AT+CGREG?", { "+CGREG: 2,1,\"A1B2\",\"0000C3D4\",7,\"01\"" } },
            { "AT+CEREG?", { "+CEREG: 4,3,\"1A2B\",\"01C2D3E4\",7,0,15,\"00100100\",\"01000111\"" } },
            { "AT+C5GREG?", { "+C5GREG: 2,1,\"1A2B\",\"01C2D3E4\",11,1,\"01\"" } },
            { "AT+COPS?", { "+COPS: 0,0,\"Net A\",7" } },
            { "AT+COPS=?", { "+COPS: (2,\"Net A\",\"A\",\"46000\",7),(3,\"Net B\",\"B\",\"46001\",2),,(0-4),(0-2)" } },
            { "AT+CPIN?", { "+CPIN: READY" } },
            { "AT+CFUN?", { "+CFUN: 1" } },
            { "AT+CMEE?", { "+CMEE: 2" } },
            { "AT+CMGF?", { "+CMGF: 0" } },
            { "AT+CCLK?", { "+CCLK: \"26/12/08,10:15:30+32\"" } },
            { "AT+CBC", { "+CBC: 0,75,3900" } },
            { "AT+CSCA?", { "+CSCA: \"+8613800100500\",145" } },
            { "AT+CGPADDR", { "+CGPADDR: 1,\"10.0.0.2\",\"FE80::1\"" } },
            { "AT+CGDCONT?", { "+CGDCONT: 1,\"IP\",\"internet\",\"0.0.0.0\",0,0", "+CGDCONT: 2,\"IPV4V6\",\"ims\",\"\",0,0" } },
            { "AT+CGACT?", { "+CGACT: 1,1" } },
            { "AT+CLIP?", { "+CLIP: 1,1" } },
            { "ATD123;", { "+CLIP: \"+8613912345678\",145,,,\"Bob\",0" } },
            { "AT+CLCC", { "+CLCC: 1,0,0,0,0,\"+8613912345678\",145,\"Bob\"" } },
            { "AT+CUSD=1,\"*100#\",15", { "+CUSD: 0,\"4F60597D0021\",72" } },
            { "AT+CUSD?", { "+CUSD: 1" } },
            { "AT+CNMI?", { "+CNMI: 2,1,0,0,0" } },
            { "AT+CPMS?", { "+CPMS: \"SM\",1,30,\"SM\",1,30,\"SM\",1,30" } },
            { "AT+CMGS=22", { "+CMGS: 12,\"26/12/08,10:15:30+32\"" } },
            { "AT+CMGL=4", { "+CMGL: 1,1,,22", "0791683108200505F0040D91683119325476F8000862", "+CMGL: 2,\"REC READ\",\"+8613912345678\",,\"26/12/08,10:15:30+32\"", "Hi" } },
            { "AT+CMGR=1", { "+CMGR: 0,,40", "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37" } },
            { "AT", { "+CMTI: \"SM\",3", "+CDS: 6,12,\"+8613912345678\",145,\"26/12/08,10:15:30+32\",\"26/12/08,10:15:40+32\",0" } },
            { "AT+CGSN", { "490154203237518" } },
            { "AT+CIMI", { "460001234567890" } },
            { "AT+CCID", { "+CCID: 89860012345678901234" } },
            { "AT+CGMI", { "Maker" } },
            { "AT+CGMM", { "Model" } },
            { "AT+CGMR", { "R1" } },
            { "ATI", { "Maker Model R1" } },
            { "AT+CSQ=?", { "+CSQ: (0-31,99),(0-7,99)" } },
        };
        QSet<QString> seen;
        for (const auto &[command, lines] : answers) {
            const Decoded d = DecodeTransaction(command, lines, "OK");
            QVERIFY2(d.fields.size() > 1, command.constData()); // more than the result
            for (const DecodedField &f : d.fields)
                seen.insert(f.key);
        }
        for (const QByteArray &final : { QByteArray("+CME ERROR: 10"), QByteArray("+CMS ERROR: 321"), QByteArray("CONNECT 115200") })
            for (const DecodedField &f : DecodeTransaction("ATD*99#", {}, final).fields)
                seen.insert(f.key);
        for (const QString &key : std::as_const(seen))
            QVERIFY2(IsDecodedName(key), qPrintable(key));
        QVERIFY(seen.size() > 80);
    }

    // The comparison takes the decoded value; a group of the same name wins;
    // an answer without the field fails the check and says so.
    void checksCompareDecodedValues()
    {
        const Transaction good = Answered("AT+CSQ", { "+CSQ: 17,99" }, "OK");
        CheckOutcome o = Judge("[1]\ncheck = rssi_dbm >= -95\n", good);
        QVERIFY2(o.passed, qPrintable(o.message));
        QCOMPARE(o.values, (QList<std::pair<QString, QString>> { { QStringLiteral("rssi_dbm"), QStringLiteral("-79") } }));

        o = Judge("[1]\ncheck = rssi_dbm >= -95\n", Answered("AT+CSQ", { "+CSQ: 5,99" }, "OK"));
        QVERIFY(!o.passed);
        QVERIFY2(o.message.contains(QLatin1String("rssi_dbm is \"-103\"")), qPrintable(o.message));

        // rssi 99: the signal is not known, so there is nothing to compare.
        o = Judge("[1]\ncheck = rssi_dbm >= -95\n", Answered("AT+CSQ", { "+CSQ: 99,99" }, "OK"));
        QVERIFY(!o.passed);
        QVERIFY2(o.message.contains(QLatin1String("the answer gives no rssi_dbm")), qPrintable(o.message));

        // A named group called rssi_dbm is what the check compares.
        o = Judge("[1]\nmatch = ^\\+CSQ: (?<rssi_dbm>\\d+)\ncheck = rssi_dbm == 17\n", good);
        QVERIFY2(o.passed, qPrintable(o.message));

        // Registration in words' number; text compared as text.
        o = Judge("[1]\ncheck = stat == 5\ncheck = tac == 6699\n",
                  Answered("AT+CEREG?", { "+CEREG: 2,5,\"1A2B\",\"01C2D3E4\",7" }, "OK"));
        QVERIFY2(o.passed, qPrintable(o.message));
    }

    // With --decode the report has each command's fields, numbers as numbers
    // and an unknown value as null; without it, none.
    void reportCarriesDecodedFields()
    {
        RunReport report;
        report.transactions = { Answered("AT+CSQ", { "+CSQ: 17,99" }, "OK") };
        QVERIFY(!FirstCommand(report).contains(QStringLiteral("decoded")));
        report.decode = true;
        QJsonObject decoded = FirstCommand(report).value(QStringLiteral("decoded")).toObject();
        QCOMPARE(decoded.value(QStringLiteral("rssi_dbm")).toInteger(), -79);
        QCOMPARE(decoded.value(QStringLiteral("rssi")).toInteger(), 17);
        QVERIFY(decoded.contains(QStringLiteral("ber")));
        QVERIFY(decoded.value(QStringLiteral("ber")).isNull());

        report.transactions = { Answered("AT+CPIN?", {}, "+CME ERROR: 10") };
        decoded = FirstCommand(report).value(QStringLiteral("decoded")).toObject();
        QCOMPARE(decoded.value(QStringLiteral("cme_error")).toInteger(), 10);

        // What could not be decoded is said beside what could.
        report.transactions = { Answered("AT+CSQ", { "+CSQ: 40,99" }, "OK") };
        const QJsonObject command = FirstCommand(report);
        QVERIFY(!command.value(QStringLiteral("decodeProblem")).toString().isEmpty());
    }

    // End to end on the simulated module in process: signal, registration
    // and an SMS in PDU mode decoded, a check on rssi_dbm passing.
    void runnerDecodesTheModulesAnswers()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QCOMPARE(SaveCommandSet(dir.path(), QStringLiteral("decode"),
                                { "AT+CSQ", "AT+CREG?", "AT+CMGF=0", "AT+CMGR=1" }),
                 SaveResult::Saved);
        QFile checks(dir.filePath(QStringLiteral("decode.checks")));
        QVERIFY(checks.open(QIODevice::WriteOnly));
        checks.write("[AT+CSQ]\ncheck = rssi_dbm >= -113\n[AT+CREG?]\ncheck = stat == 1\n");
        checks.close();
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QRV_SIM_IN_PROCESS"), QStringLiteral("1"));
        process.setProcessEnvironment(env);
        const QString json = dir.filePath(QStringLiteral("report.json"));
        process.start(QStringLiteral(QRV_RUNNER_PATH),
                      { QStringLiteral("--port"), QStringLiteral("Simulated module"), QStringLiteral("--speed"),
                        QStringLiteral("115200"), QStringLiteral("--decode"), QStringLiteral("--expect"),
                        checks.fileName(), QStringLiteral("--json"), json,
                        CommandSetPath(dir.path(), QStringLiteral("decode")) });
        QVERIFY(process.waitForFinished(60000));
        QFile file(json);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonArray commands = QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("commands")).toArray();
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(commands.size(), 4);
        const QJsonObject csq = commands.at(0).toObject();
        QVERIFY(csq.value(QStringLiteral("decoded")).toObject().value(QStringLiteral("rssi_dbm")).isDouble());
        const QJsonObject recorded = csq.value(QStringLiteral("values")).toArray().at(0).toObject();
        QCOMPARE(recorded.value(QStringLiteral("name")).toString(), QStringLiteral("rssi_dbm"));
        QCOMPARE(recorded.value(QStringLiteral("value")).toString().toLongLong(),
                 csq.value(QStringLiteral("decoded")).toObject().value(QStringLiteral("rssi_dbm")).toInteger());
        QCOMPARE(commands.at(1).toObject().value(QStringLiteral("decoded")).toObject().value(QStringLiteral("stat")).toInteger(), 1);
        const QJsonObject sms = commands.at(3).toObject().value(QStringLiteral("decoded")).toObject();
        QCOMPARE(sms.value(QStringLiteral("pdu_type")).toString(), QStringLiteral("SMS-DELIVER"));
        QVERIFY(!sms.value(QStringLiteral("sender")).toString().isEmpty());
        QVERIFY(!sms.value(QStringLiteral("text")).toString().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestRunnerDecode)
#include "test_runnerdecode.moc"
