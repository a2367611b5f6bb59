#include "runner/runreport.h"

#include "runner/decodedanswer.h"
#include "text/codepage936.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QXmlStreamWriter>

namespace {

QString Text(const QByteArray &bytes)
{
    return FromCodePage936(bytes);
}

const char *OutcomeName(Transaction::Outcome outcome)
{
    switch (outcome) {
    case Transaction::Outcome::Pending: return "pending";
    case Transaction::Outcome::Passed: return "passed";
    case Transaction::Outcome::Failed: return "failed";
    case Transaction::Outcome::TimedOut: return "timeout";
    case Transaction::Outcome::PortLost: return "port-lost";
    case Transaction::Outcome::Stopped: return "stopped";
    case Transaction::Outcome::NotRun: return "not-run";
    }
    return "";
}

// XML 1.0 cannot carry most control characters: they are shown as <XX>.
QString XmlSafe(const QString &text)
{
    QString shown;
    for (QChar c : text) {
        if (c.unicode() < 0x20 && c != QLatin1Char('\n') && c != QLatin1Char('\t'))
            shown += QStringLiteral("<%1>").arg(c.unicode(), 2, 16, QLatin1Char('0')).toUpper();
        else if (c.isSurrogate() || c.unicode() >= 0xFFFE)
            shown += QChar::ReplacementCharacter;
        else
            shown += c;
    }
    return shown;
}

QString Seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000.0, 'f', 3);
}

} // namespace

QString Transaction::ResultText() const
{
    switch (outcome) {
    case Outcome::TimedOut: return QStringLiteral("TIMEOUT");
    case Outcome::PortLost: return QStringLiteral("PORT LOST");
    case Outcome::Stopped: return QStringLiteral("STOPPED");
    case Outcome::NotRun: return QStringLiteral("NOT RUN");
    case Outcome::Pending: return QStringLiteral("NOT FINISHED");
    default: break;
    }
    return final.code == AtFinalResult::Code::Prompt ? QStringLiteral("> (prompt)") : Text(final.text);
}

int RunReport::Count(Transaction::Outcome outcome) const
{
    return int(std::count_if(transactions.begin(), transactions.end(),
                             [outcome](const Transaction &t) { return t.outcome == outcome; }));
}

int FailedCount(const RunReport &report)
{
    return report.Count(Transaction::Outcome::Failed) + report.Count(Transaction::Outcome::PortLost)
           + report.Count(Transaction::Outcome::Stopped);
}

int NotRunCount(const RunReport &report)
{
    return report.Count(Transaction::Outcome::NotRun)
           + int(std::max<qsizetype>(0, report.commandCount - report.transactions.size()));
}

void ListNotRun(RunReport &report, const QList<QByteArray> &commands, const QString &why)
{
    for (qsizetype row = report.transactions.size(); row < commands.size(); ++row) {
        Transaction t;
        t.index = int(row + 1);
        t.command = commands.at(row);
        t.outcome = Transaction::Outcome::NotRun;
        t.why = why;
        report.transactions.append(t);
    }
}

QList<std::pair<QString, QString>> RunReport::Values() const
{
    QList<std::pair<QString, QString>> all;
    for (const Transaction &t : transactions) {
        for (const auto &[name, value] : t.values) {
            auto same = std::find_if(all.begin(), all.end(), [&](const auto &v) { return v.first == name; });
            if (same != all.end())
                same->second = value;
            else
                all.append({name, value});
        }
    }
    return all;
}

QByteArray TransactionLine(const Transaction &t, int total)
{
    const int width = int(QString::number(total).size());
    QString line = QStringLiteral("[%1/%2] %3 %4 %5")
                       .arg(t.index, width)
                       .arg(total)
                       .arg(Text(t.command), -24)
                       .arg(t.ResultText(), -16)
                       .arg(t.elapsedMs >= 0 ? QStringLiteral("%1 ms").arg(t.elapsedMs, 6) : QString(9, QLatin1Char(' ')));
    if (!t.failure.isEmpty())
        line += QStringLiteral("  CHECK FAILED: ") + t.failure;
    else if (!t.why.isEmpty())
        line += QStringLiteral("  ") + t.why;
    else if (!t.info.isEmpty())
        line += QStringLiteral("  ") + Text(t.info.first());
    if (t.attempts > 1)
        line += QStringLiteral("  (attempt %1)").arg(t.attempts);
    return line.trimmed().toUtf8();
}

QByteArray SummaryLine(const RunReport &report, int total)
{
    const int failed = FailedCount(report);
    QString line = QStringLiteral("%1 command%2: %3 passed, %4 failed, %5 timed out, %6 not run; %7 URC%8; %9 s")
                       .arg(total)
                       .arg(total == 1 ? "" : "s")
                       .arg(report.Count(Transaction::Outcome::Passed))
                       .arg(failed)
                       .arg(report.Count(Transaction::Outcome::TimedOut))
                       .arg(std::max(NotRunCount(report), total - int(report.transactions.size())))
                       .arg(report.urcs.size())
                       .arg(report.urcs.size() == 1 ? "" : "s")
                       .arg(double(report.durationMs) / 1000.0, 0, 'f', 1);
    if (!report.outages.isEmpty())
        line += QStringLiteral("; port lost %1 time%2").arg(report.outages.size()).arg(report.outages.size() == 1 ? "" : "s");
    if (!report.stopReason.isEmpty())
        line += QStringLiteral(" (") + report.stopReason + QLatin1Char(')');
    return line.toUtf8();
}

namespace {

QJsonArray ValuesJson(const QList<std::pair<QString, QString>> &values)
{
    QJsonArray out;
    for (const auto &[name, value] : values)
        out.append(QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("value"), value}});
    return out;
}

} // namespace

QJsonObject TransactionJson(const Transaction &t, bool decode)
{
    QJsonObject o;
    o.insert(QStringLiteral("index"), t.index);
    o.insert(QStringLiteral("command"), Text(t.command));
    o.insert(QStringLiteral("echo"), t.echoed ? QJsonValue(Text(t.echo)) : QJsonValue());
    QJsonArray info;
    for (const QByteArray &line : t.info)
        info.append(Text(line));
    o.insert(QStringLiteral("reply"), info);
    o.insert(QStringLiteral("result"), t.final.code == AtFinalResult::Code::None
                                           ? QJsonValue()
                                           : QJsonValue(QString::fromLatin1(AtFinalResult::Name(t.final.code))));
    o.insert(QStringLiteral("resultText"), t.final.code == AtFinalResult::Code::None ? QJsonValue()
                                                                                    : QJsonValue(Text(t.final.text)));
    if (t.final.number >= 0)
        o.insert(QStringLiteral("errorCode"), t.final.number);
    o.insert(QStringLiteral("outcome"), QString::fromLatin1(OutcomeName(t.outcome)));
    o.insert(QStringLiteral("sentAtMs"), t.outcome == Transaction::Outcome::NotRun ? QJsonValue() : QJsonValue(t.sentAtMs));
    o.insert(QStringLiteral("elapsedMs"), t.elapsedMs >= 0 ? QJsonValue(t.elapsedMs) : QJsonValue());
    if (t.attempts > 1)
        o.insert(QStringLiteral("attempts"), t.attempts);
    if (t.body)
        o.insert(QStringLiteral("body"), true);
    if (!t.failure.isEmpty())
        o.insert(QStringLiteral("checkFailed"), t.failure);
    if (!t.why.isEmpty())
        o.insert(QStringLiteral("why"), t.why);
    if (t.late.code != AtFinalResult::Code::None) {
        o.insert(QStringLiteral("lateResult"), Text(t.late.text));
        o.insert(QStringLiteral("lateAtMs"), t.lateAtMs);
    }
    if (!t.values.isEmpty())
        o.insert(QStringLiteral("values"), ValuesJson(t.values));
    if (decode && t.outcome != Transaction::Outcome::NotRun) {
        const Decoded answer = DecodeAnswer(t);
        if (!answer.fields.isEmpty())
            o.insert(QStringLiteral("decoded"), DecodedJson(answer));
        if (!answer.problem.isEmpty())
            o.insert(QStringLiteral("decodeProblem"), answer.problem);
    }
    return o;
}

QJsonObject UrcJson(const UrcRecord &u)
{
    QJsonObject o;
    o.insert(QStringLiteral("atMs"), u.atMs);
    o.insert(QStringLiteral("text"), Text(u.text));
    o.insert(QStringLiteral("duringCommand"), u.duringCommand > 0 ? QJsonValue(u.duringCommand) : QJsonValue());
    return o;
}

namespace {

QJsonObject ReportObject(const RunReport &report)
{
    QJsonArray transactions;
    for (const Transaction &t : report.transactions)
        transactions.append(TransactionJson(t, report.decode));
    QJsonArray urcs;
    for (const UrcRecord &u : report.urcs)
        urcs.append(UrcJson(u));
    QJsonArray outages;
    for (const Outage &o : report.outages) {
        QJsonObject j;
        j.insert(QStringLiteral("lostAtMs"), o.lostAtMs);
        j.insert(QStringLiteral("lostAt"), report.started.addMSecs(o.lostAtMs).toString(Qt::ISODateWithMs));
        j.insert(QStringLiteral("backAtMs"), o.backAtMs >= 0 ? QJsonValue(o.backAtMs) : QJsonValue());
        j.insert(QStringLiteral("backAt"), o.backAtMs >= 0 ? QJsonValue(report.started.addMSecs(o.backAtMs).toString(Qt::ISODateWithMs))
                                                           : QJsonValue());
        j.insert(QStringLiteral("reason"), o.reason);
        j.insert(QStringLiteral("duringCommand"), o.duringCommand > 0 ? QJsonValue(o.duringCommand) : QJsonValue());
        j.insert(QStringLiteral("device"), o.device.isEmpty() ? QJsonValue() : QJsonValue(o.device));
        outages.append(j);
    }
    QJsonObject root;
    root.insert(QStringLiteral("setFile"), report.setFile);
    root.insert(QStringLiteral("setName"), report.setName);
    root.insert(QStringLiteral("port"), report.port);
    root.insert(QStringLiteral("device"), report.device);
    root.insert(QStringLiteral("lineSettings"), report.lineSettings);
    root.insert(QStringLiteral("endChar"), report.endChar);
    root.insert(QStringLiteral("timeoutMs"), report.timeoutMs);
    root.insert(QStringLiteral("keepGoing"), report.keepGoing);
    root.insert(QStringLiteral("started"), report.started.toString(Qt::ISODateWithMs));
    root.insert(QStringLiteral("durationMs"), report.durationMs);
    if (report.boundMs > 0)
        root.insert(QStringLiteral("boundMs"), report.boundMs);
    root.insert(QStringLiteral("commands"), transactions);
    root.insert(QStringLiteral("urcs"), urcs);
    root.insert(QStringLiteral("outages"), outages);
    root.insert(QStringLiteral("stopReason"), report.stopReason.isEmpty() ? QJsonValue() : QJsonValue(report.stopReason));
    root.insert(QStringLiteral("exitStatus"), report.exitStatus);
    if (!report.checkFile.isEmpty()) {
        root.insert(QStringLiteral("checkFile"), report.checkFile);
        root.insert(QStringLiteral("values"), ValuesJson(report.Values()));
    }
    if (!report.identity.isEmpty())
        root.insert(QStringLiteral("identity"), report.identity);
    return root;
}

} // namespace

QByteArray ReportJson(const RunReport &report)
{
    return QJsonDocument(ReportObject(report)).toJson(QJsonDocument::Indented);
}

QByteArray ReportJsonMany(const QList<const RunReport *> &reports, int exitStatus)
{
    QJsonArray modules;
    for (const RunReport *r : reports)
        modules.append(ReportObject(*r));
    QJsonObject root;
    root.insert(QStringLiteral("host"), QSysInfo::machineHostName());
    root.insert(QStringLiteral("modules"), modules);
    root.insert(QStringLiteral("exitStatus"), exitStatus);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

namespace {

// One <testsuite>; named after the set, or (several modules) after the
// module and the host.
void WriteSuite(QXmlStreamWriter &xml, const RunReport &report, bool byModule)
{
    const QString suite = report.setName.isEmpty() ? QStringLiteral("commands") : report.setName;
    const int failures = report.Count(Transaction::Outcome::Failed);
    const int errors = report.Count(Transaction::Outcome::TimedOut) + report.Count(Transaction::Outcome::PortLost)
                       + report.Count(Transaction::Outcome::Stopped) + report.Count(Transaction::Outcome::Pending);
    xml.writeStartElement(QStringLiteral("testsuite"));
    const QString host = report.host.isEmpty() ? QSysInfo::machineHostName() : report.host;
    xml.writeAttribute(QStringLiteral("name"), XmlSafe(byModule ? QStringLiteral("%1@%2").arg(report.identity, host) : suite));
    xml.writeAttribute(QStringLiteral("tests"), QString::number(report.transactions.size()));
    xml.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    xml.writeAttribute(QStringLiteral("errors"), QString::number(errors));
    xml.writeAttribute(QStringLiteral("skipped"), QString::number(report.Count(Transaction::Outcome::NotRun)));
    xml.writeAttribute(QStringLiteral("time"), Seconds(report.durationMs));
    xml.writeAttribute(QStringLiteral("timestamp"), report.started.toString(Qt::ISODate));
    xml.writeAttribute(QStringLiteral("hostname"), XmlSafe(host));

    xml.writeStartElement(QStringLiteral("properties"));
    const QList<std::pair<QString, QString>> properties = {
        {QStringLiteral("setFile"), report.setFile},
        {QStringLiteral("port"), report.port},
        {QStringLiteral("device"), report.device},
        {QStringLiteral("lineSettings"), report.lineSettings},
        {QStringLiteral("endChar"), report.endChar},
        {QStringLiteral("timeoutMs"), QString::number(report.timeoutMs)},
    };
    QList<std::pair<QString, QString>> more;
    if (!report.identity.isEmpty())
        more.append({QStringLiteral("identity"), report.identity});
    if (!report.checkFile.isEmpty())
        more.append({QStringLiteral("checkFile"), report.checkFile});
    for (const auto &[name, value] : report.Values())
        more.append({QStringLiteral("value.") + name, value});
    for (const auto &[name, value] : properties + more) {
        xml.writeStartElement(QStringLiteral("property"));
        xml.writeAttribute(QStringLiteral("name"), name);
        xml.writeAttribute(QStringLiteral("value"), XmlSafe(value));
        xml.writeEndElement();
    }
    xml.writeEndElement();

    for (const Transaction &t : report.transactions) {
        xml.writeStartElement(QStringLiteral("testcase"));
        xml.writeAttribute(QStringLiteral("name"),
                           XmlSafe(QStringLiteral("%1 %2").arg(t.index, 3, 10, QLatin1Char('0')).arg(Text(t.command))));
        xml.writeAttribute(QStringLiteral("classname"),
                           XmlSafe(QStringLiteral("qrvterm-run.") + suite
                                   + (byModule ? QLatin1Char('.') + report.identity : QString())));
        xml.writeAttribute(QStringLiteral("time"), Seconds(std::max<qint64>(t.elapsedMs, 0)));
        if (t.outcome == Transaction::Outcome::NotRun) {
            xml.writeStartElement(QStringLiteral("skipped"));
            xml.writeAttribute(QStringLiteral("message"), XmlSafe(t.why.isEmpty() ? t.ResultText() : t.why));
            xml.writeEndElement();
        } else if (t.outcome == Transaction::Outcome::Failed) {
            xml.writeStartElement(QStringLiteral("failure"));
            xml.writeAttribute(QStringLiteral("message"), XmlSafe(t.failure.isEmpty() ? t.ResultText() : t.failure));
            xml.writeAttribute(QStringLiteral("type"), t.failure.isEmpty()
                                                           ? QString::fromLatin1(AtFinalResult::Name(t.final.code))
                                                           : QStringLiteral("check"));
            xml.writeEndElement();
        } else if (t.outcome != Transaction::Outcome::Passed) {
            xml.writeStartElement(QStringLiteral("error"));
            xml.writeAttribute(QStringLiteral("message"),
                               XmlSafe(t.why.isEmpty() ? t.ResultText() : t.ResultText() + QStringLiteral(": ") + t.why));
            xml.writeAttribute(QStringLiteral("type"), QString::fromLatin1(OutcomeName(t.outcome)));
            xml.writeEndElement();
        }
        QStringList lines;
        if (t.echoed)
            lines << Text(t.echo);
        for (const QByteArray &line : t.info)
            lines << Text(line);
        if (t.final.code != AtFinalResult::Code::None)
            lines << Text(t.final.text);
        xml.writeTextElement(QStringLiteral("system-out"), XmlSafe(lines.join(QLatin1Char('\n'))));
        xml.writeEndElement();
    }
    if (!report.urcs.isEmpty() || !report.outages.isEmpty()) {
        QStringList lines;
        for (const UrcRecord &u : report.urcs)
            lines << QStringLiteral("%1 ms URC %2").arg(u.atMs).arg(Text(u.text));
        for (const Outage &o : report.outages) {
            lines << QStringLiteral("%1 ms port lost at %2: %3")
                         .arg(o.lostAtMs)
                         .arg(report.started.addMSecs(o.lostAtMs).toString(Qt::ISODateWithMs), o.reason);
            if (o.backAtMs >= 0)
                lines << QStringLiteral("%1 ms port back at %2 on %3")
                             .arg(o.backAtMs)
                             .arg(report.started.addMSecs(o.backAtMs).toString(Qt::ISODateWithMs), o.device);
        }
        xml.writeTextElement(QStringLiteral("system-out"), XmlSafe(lines.join(QLatin1Char('\n'))));
    }
    xml.writeEndElement();
}

} // namespace

QByteArray ReportJUnit(const RunReport &report)
{
    return ReportJUnitMany({&report});
}

QByteArray ReportJUnitMany(const QList<const RunReport *> &reports)
{
    QByteArray out;
    QXmlStreamWriter xml(&out);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("testsuites"));
    for (const RunReport *r : reports)
        WriteSuite(xml, *r, reports.size() > 1);
    xml.writeEndElement();
    xml.writeEndDocument();
    return out;
}

namespace {

// Every value name of the reports, in order of first use.
QStringList ValueNames(const QList<const RunReport *> &reports)
{
    QStringList names;
    for (const RunReport *r : reports) {
        for (const auto &[name, value] : r->Values()) {
            if (!names.contains(name))
                names.append(name);
        }
    }
    return names;
}

QString ValueOf(const QList<std::pair<QString, QString>> &values, const QString &name)
{
    for (const auto &[n, v] : values) {
        if (n == name)
            return v;
    }
    return QString();
}

const char *StatusWord(int exitStatus)
{
    return exitStatus == 0 ? "passed" : exitStatus == 1 ? "failed" : "error";
}

// RFC 4180: a field with a comma, a quote or a line break is quoted, its
// quotes doubled.
QString CsvField(const QString &field)
{
    if (!field.contains(QLatin1Char(',')) && !field.contains(QLatin1Char('"')) && !field.contains(QLatin1Char('\n'))
        && !field.contains(QLatin1Char('\r')))
        return field;
    QString quoted = field;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

QByteArray ReportCsv(const QList<const RunReport *> &reports)
{
    const QStringList names = ValueNames(reports);
    QStringList header = {QStringLiteral("port"),    QStringLiteral("identity"), QStringLiteral("device"),
                          QStringLiteral("host"),    QStringLiteral("started"),  QStringLiteral("status"),
                          QStringLiteral("passed"),  QStringLiteral("failed"),   QStringLiteral("timed out"),
                          QStringLiteral("not run"), QStringLiteral("reason")};
    header += names;
    QString out;
    const auto row = [&out](const QStringList &fields) {
        QStringList shown;
        for (const QString &f : fields)
            shown << CsvField(f);
        out += shown.join(QLatin1Char(',')) + QStringLiteral("\r\n");
    };
    row(header);
    for (const RunReport *r : reports) {
        const int failed = FailedCount(*r);
        QStringList fields = {r->port,
                              r->identity,
                              r->device,
                              r->host.isEmpty() ? QSysInfo::machineHostName() : r->host,
                              r->started.toString(Qt::ISODate),
                              QString::fromLatin1(StatusWord(r->exitStatus)),
                              QString::number(r->Count(Transaction::Outcome::Passed)),
                              QString::number(failed),
                              QString::number(r->Count(Transaction::Outcome::TimedOut)),
                              QString::number(NotRunCount(*r)),
                              r->stopReason};
        const auto values = r->Values();
        for (const QString &name : names)
            fields << ValueOf(values, name);
        row(fields);
    }
    return out.toUtf8();
}

QByteArray SummaryTable(const QList<const RunReport *> &reports, int total)
{
    const QStringList names = ValueNames(reports);
    QList<QStringList> rows;
    rows << (QStringList{QStringLiteral("module"), QStringLiteral("status"), QStringLiteral("passed"),
                         QStringLiteral("failed"), QStringLiteral("timed out"), QStringLiteral("not run")}
             + names);
    for (const RunReport *r : reports) {
        const int failed = FailedCount(*r);
        QStringList fields = {r->identity.isEmpty() ? r->port : r->identity,
                              QString::fromLatin1(StatusWord(r->exitStatus)),
                              QString::number(r->Count(Transaction::Outcome::Passed)),
                              QString::number(failed),
                              QString::number(r->Count(Transaction::Outcome::TimedOut)),
                              QString::number(std::max(NotRunCount(*r), total - int(r->transactions.size())))};
        const auto values = r->Values();
        for (const QString &name : names)
            fields << ValueOf(values, name);
        rows << fields;
    }
    QList<qsizetype> widths(rows.first().size(), 0);
    for (const QStringList &row : std::as_const(rows)) {
        for (qsizetype i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row.at(i).size());
    }
    QString out;
    for (const QStringList &row : std::as_const(rows)) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i)
            line += row.at(i).leftJustified(widths.at(i)) + QStringLiteral("  ");
        out += line.trimmed() + QLatin1Char('\n');
    }
    return out.toUtf8();
}
