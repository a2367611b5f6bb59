#include "atinfo/replydecoder.h"

#include "atinfo/replydecoder_p.h"
#include "atinfo/smspdu.h"

#include <QRegularExpression>

namespace ReplyDecoding {

Context ContextOf(QByteArrayView command)
{
    Context context;
    if (command.isEmpty())
        return context;
    const QString typed = QString::fromLatin1(command);
    context.name = AtKnowledge::CommandName(typed);
    if (!context.name.isEmpty())
        context.form = AtKnowledge::FormOf(typed);
    return context;
}

QList<Param> SplitParams(QByteArrayView text, QString *problem)
{
    QList<Param> params;
    Param current;
    bool inQuotes = false, afterQuote = false;
    int depth = 0;
    QByteArray raw; // unquoted text of the parameter, trimmed at the end
    auto finish = [&] {
        if (!current.quoted)
            current.text = raw.trimmed();
        params.append(current);
        current = Param();
        raw.clear();
        afterQuote = false;
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inQuotes) {
            if (c == '"')
                inQuotes = false, afterQuote = depth == 0;
            if (depth > 0)
                raw += c;
            else if (c != '"')
                current.text += c;
            continue;
        }
        if (c == ',' && depth == 0) {
            finish();
            continue;
        }
        if (c == '"') {
            inQuotes = true;
            if (depth == 0) {
                if (current.quoted || !raw.trimmed().isEmpty()) {
                    *problem = QStringLiteral("a quote in the middle of parameter %1").arg(params.size() + 1);
                    return params;
                }
                current.quoted = true;
            } else {
                raw += c;
            }
            continue;
        }
        if (afterQuote && c != ' ') {
            *problem = QStringLiteral("text after the closing quote of parameter %1").arg(params.size() + 1);
            return params;
        }
        if (c == '(') {
            if (depth == 0 && raw.trimmed().isEmpty())
                current.list = true;
            ++depth;
        } else if (c == ')') {
            if (--depth < 0) {
                *problem = QStringLiteral("a ')' without its '(' in parameter %1").arg(params.size() + 1);
                return params;
            }
        }
        if (!current.quoted || depth > 0)
            raw += c;
    }
    if (inQuotes) {
        *problem = QStringLiteral("the quote of parameter %1 is not closed (line cut short?)").arg(params.size() + 1);
        return params;
    }
    if (depth > 0) {
        *problem = QStringLiteral("the '(' of parameter %1 is not closed (line cut short?)").arg(params.size() + 1);
        return params;
    }
    if (current.list)
        current.text = raw.trimmed();
    finish();
    return params;
}

bool Fields::Fail(const QString &problem)
{
    if (m_d.problem.isEmpty())
        m_d.problem = problem;
    return false;
}

bool Fields::Number(const Param &param, const QString &what, qint64 low, qint64 high, qint64 *out,
                    std::initializer_list<qint64> extra)
{
    if (param.isEmpty())
        return Fail(QStringLiteral("%1 is missing").arg(what));
    if (param.quoted || param.list)
        return Fail(QStringLiteral("%1 must be a number, not \"%2\"").arg(what, QString::fromLatin1(param.text)));
    const QByteArray &t = param.text;
    bool digits = !t.isEmpty() && t.size() <= 18;
    for (qsizetype i = 0; i < t.size() && digits; ++i)
        digits = (t[i] >= '0' && t[i] <= '9') || (i == 0 && t[i] == '-' && t.size() > 1);
    if (!digits)
        return Fail(QStringLiteral("%1 \"%2\" is no number").arg(what, QString::fromLatin1(t.left(40))));
    const qint64 value = t.toLongLong();
    bool inRange = low <= value && value <= high;
    for (qint64 code : extra)
        inRange = inRange || value == code;
    if (!inRange) {
        QString range = QStringLiteral("%1..%2").arg(low).arg(high);
        for (qint64 code : extra)
            range += QStringLiteral(", %1").arg(code);
        return Fail(QStringLiteral("%1 %2 is out of range %3").arg(what).arg(value).arg(range));
    }
    *out = value;
    return true;
}

bool Fields::Coded(const QString &key, const Param &param, const char *command, const char *parameter, qint64 low,
                   qint64 high, qint64 *out)
{
    qint64 value = 0;
    if (!Number(param, key, low, high, &value))
        return false;
    const QString words = AtKnowledge::Instance().ValueText(QString::fromLatin1(command), QString::fromLatin1(parameter),
                                                             QString::number(value));
    Add(key, value, words.isEmpty() ? QString::number(value) : QStringLiteral("%1: %2").arg(value).arg(words));
    if (out)
        *out = value;
    return true;
}

bool Fields::Hex(const QString &key, const Param &param, int maxDigits, qint64 *out)
{
    const QByteArray &t = param.text;
    bool hex = !t.isEmpty() && t.size() <= maxDigits && !param.list;
    for (char c : t)
        hex = hex && QByteArrayView("0123456789abcdefABCDEF").contains(c);
    if (!hex)
        return Fail(QStringLiteral("%1 \"%2\" is not a hexadecimal number of at most %3 digits")
                        .arg(key, QString::fromLatin1(t.left(40)))
                        .arg(maxDigits));
    const qint64 value = t.toLongLong(nullptr, 16);
    Add(key, value, QStringLiteral("0x%1 (%2)").arg(QString::fromLatin1(t.toUpper())).arg(value));
    if (out)
        *out = value;
    return true;
}

void Fields::Text(const QString &key, const Param &param)
{
    const QString text = QString::fromUtf8(param.text);
    Add(key, text, text);
}

bool Fields::Quoted(const QString &key, const Param &param)
{
    if (!param.quoted)
        return Fail(QStringLiteral("%1 must be a quoted string, not %2").arg(key, QString::fromLatin1(param.text.left(40))));
    Text(key, param);
    return true;
}

QString ZoneText(qint64 quarters)
{
    const qint64 minutes = quarters < 0 ? -quarters * 15 : quarters * 15;
    return QStringLiteral("%1%2:%3")
        .arg(QChar(quarters < 0 ? u'-' : u'+'))
        .arg(minutes / 60, 2, 10, QLatin1Char('0'))
        .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

bool ParseTimeStamp(QByteArrayView text, TimeStamp *stamp, QString *problem)
{
    static const QRegularExpression pattern(
        QStringLiteral("^(\\d\\d)/(\\d\\d)/(\\d\\d),(\\d\\d):(\\d\\d):(\\d\\d)(?:([+-])(\\d\\d?))?$"));
    const QRegularExpressionMatch m = pattern.match(QString::fromLatin1(text));
    if (!m.hasMatch()) {
        *problem = QStringLiteral("time \"%1\" is not \"yy/MM/dd,hh:mm:ss±zz\"").arg(QString::fromLatin1(text.first(qMin<qsizetype>(40, text.size()))));
        return false;
    }
    const int month = m.captured(2).toInt(), day = m.captured(3).toInt();
    const int hour = m.captured(4).toInt(), minute = m.captured(5).toInt(), second = m.captured(6).toInt();
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) {
        *problem = QStringLiteral("time \"%1\" has a month, day, hour, minute or second out of range")
                       .arg(QString::fromLatin1(text));
        return false;
    }
    stamp->date = QStringLiteral("20%1-%2-%3").arg(m.captured(1), m.captured(2), m.captured(3));
    stamp->time = QStringLiteral("%1:%2:%3").arg(m.captured(4), m.captured(5), m.captured(6));
    stamp->zone.reset();
    if (m.capturedLength(7)) {
        const qint64 quarters = m.captured(8).toInt() * (m.captured(7) == QLatin1String("-") ? -1 : 1);
        if (quarters < -96 || quarters > 96) {
            *problem = QStringLiteral("time zone %1 quarter hours is out of range -96..96").arg(quarters);
            return false;
        }
        stamp->zone = quarters;
    }
    return true;
}

} // namespace ReplyDecoding

using namespace ReplyDecoding;

namespace {

const char *const kVerboseFinals[] = {"OK", "ERROR", "NO CARRIER", "BUSY", "NO ANSWER", "NO DIALTONE"};

Decoded ResultDecoded(const AtResultCode &code, const QString &asSent)
{
    Decoded d;
    d.title = code.verbose == QLatin1String("RING") ? QStringLiteral("Incoming call (RING)")
                                                   : QStringLiteral("Final result code (%1)").arg(code.verbose);
    d.fields.append({QStringLiteral("result"), code.verbose,
                     QStringLiteral("%1 (result code %2): %3").arg(asSent).arg(code.number).arg(code.meaning)});
    return d;
}

// "+CME ERROR: 10", "+CME ERROR: SIM not inserted".
Decoded ErrorDecoded(bool cms, QByteArrayView rest)
{
    const AtKnowledge &table = AtKnowledge::Instance();
    Decoded d;
    d.title = cms ? QStringLiteral("Message service error (+CMS ERROR)")
                  : QStringLiteral("Mobile termination error (+CME ERROR)");
    const QString key = cms ? QStringLiteral("cms_error") : QStringLiteral("cme_error");
    const QString text = QString::fromLatin1(rest).trimmed();
    if (text.isEmpty()) {
        d.problem = QStringLiteral("no error number or text after the colon");
        return d;
    }
    bool isNumber = false;
    const int number = text.toInt(&isNumber);
    if (isNumber && number >= 0) {
        const QString words = cms ? table.CmsErrorText(number) : table.CmeErrorText(number);
        if (words.isEmpty()) {
            d.fields.append({key, qint64(number), QStringLiteral("%1: not in the table").arg(number)});
            d.problem = QStringLiteral("%1 %2 is not in %3").arg(key).arg(number)
                            .arg(cms ? QStringLiteral("TS 27.005 3.2.5") : QStringLiteral("TS 27.007 9.2"));
        } else {
            d.fields.append({key, qint64(number), QStringLiteral("%1: %2").arg(number).arg(words)});
        }
        return d;
    }
    if (text.front().isDigit() || text.front() == u'-') {
        d.problem = QStringLiteral("error number \"%1\" is no number").arg(text.first(qMin<qsizetype>(40, text.size())));
        return d;
    }
    const int found = cms ? table.CmsErrorNumber(text) : table.CmeErrorNumber(text);
    d.fields.append({key, found >= 0 ? QVariant(qint64(found)) : QVariant(),
                     found >= 0 ? QStringLiteral("%1: %2").arg(found).arg(text) : text});
    return d;
}

// Answers without a prefix: identification, IMEI, IMSI, ICCID.
Decoded IdentificationDecoded(const Context &context, QByteArrayView line)
{
    Decoded d;
    Fields f(d);
    const QString text = QString::fromLatin1(line).trimmed();
    auto allDigits = [&](qsizetype low, qsizetype high) {
        static const QRegularExpression digits(QStringLiteral("^\\d+$"));
        return text.size() >= low && text.size() <= high && digits.match(text).hasMatch();
    };
    if (context.name == QLatin1String("+CGSN") && context.form != AtFormKind::Test) {
        d.title = QStringLiteral("Serial number (+CGSN)");
        if (!allDigits(15, 15)) {
            f.Add(QStringLiteral("sn"), text, text);
            if (!allDigits(14, 17))
                return d; // a manufacturer's serial number: kept as it stands
            f.Fail(QStringLiteral("IMEI \"%1\" has %2 digits, not 15").arg(text).arg(text.size()));
            return d;
        }
        // The check digit (TS 23.003 B.2): Luhn over the first 14 digits.
        int sum = 0;
        for (int i = 0; i < 14; ++i) {
            int digit = text[i].digitValue() * (i % 2 ? 2 : 1);
            sum += digit > 9 ? digit - 9 : digit;
        }
        const int check = (10 - sum % 10) % 10;
        f.Add(QStringLiteral("imei"), text, QStringLiteral("%1 (TAC %2)").arg(text, text.left(8)));
        if (check != text[14].digitValue())
            f.Fail(QStringLiteral("IMEI check digit %1 should be %2").arg(text[14]).arg(check));
        return d;
    }
    if (context.name == QLatin1String("+CIMI") && context.form != AtFormKind::Test) {
        d.title = QStringLiteral("Subscriber identity (+CIMI)");
        if (!allDigits(6, 15)) {
            f.Fail(QStringLiteral("IMSI \"%1\" is not 6 to 15 digits").arg(text.first(qMin<qsizetype>(40, text.size()))));
            return d;
        }
        f.Add(QStringLiteral("imsi"), text, text);
        f.Add(QStringLiteral("mcc"), qint64(text.left(3).toInt()), QStringLiteral("MCC %1").arg(text.left(3)));
        return d;
    }
    if (context.name == QLatin1String("+CCID") && context.form != AtFormKind::Test) {
        d.title = QStringLiteral("SIM card identity (+CCID)");
        QString iccid = text;
        iccid.remove(u'"');
        f.Add(QStringLiteral("iccid"), iccid, iccid);
        return d;
    }
    const char *key = context.name == QLatin1String("+CGMI") ? "manufacturer"
                      : context.name == QLatin1String("+CGMM") ? "model"
                      : context.name == QLatin1String("+CGMR") ? "revision"
                      : context.name == QLatin1String("I")     ? "identification"
                                                               : nullptr;
    if (key && context.form != AtFormKind::Test && !text.isEmpty()) {
        d.title = QStringLiteral("Identification (%1)").arg(context.name == QLatin1String("I") ? QStringLiteral("ATI")
                                                                                             : context.name);
        f.Add(QLatin1String(key), text, text);
    }
    return d;
}

bool IsNumericResult(QByteArrayView line)
{
    return line.size() == 1 && line[0] >= '0' && line[0] <= '9';
}

QByteArrayView Trimmed(QByteArrayView line)
{
    while (!line.isEmpty() && (line.front() == ' ' || line.front() == '\r' || line.front() == '\n' || line.front() == '\t'))
        line = line.sliced(1);
    while (!line.isEmpty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\n' || line.back() == '\t'))
        line.chop(1);
    return line;
}

} // namespace

Decoded DecodeReplyLine(QByteArrayView rawLine, QByteArrayView command)
{
    const QByteArrayView line = Trimmed(rawLine);
    if (line.isEmpty())
        return {};
    const AtKnowledge &table = AtKnowledge::Instance();
    for (const char *word : kVerboseFinals)
        if (line == QByteArrayView(word))
            return ResultDecoded(*table.ResultCode(QString::fromLatin1(word)), QString::fromLatin1(word));
    if (line == "RING")
        return ResultDecoded(*table.ResultCode(2), QStringLiteral("RING"));
    if (line == "CONNECT" || line.startsWith("CONNECT ")) {
        Decoded d = ResultDecoded(*table.ResultCode(1), QStringLiteral("CONNECT"));
        if (line.size() > 8)
            d.fields.append({QStringLiteral("connect_text"), QString::fromLatin1(line.sliced(8)),
                             QString::fromLatin1(line.sliced(8))});
        return d;
    }
    if (line.startsWith("+CME ERROR:"))
        return ErrorDecoded(false, line.sliced(11));
    if (line.startsWith("+CMS ERROR:"))
        return ErrorDecoded(true, line.sliced(11));

    const Context context = ContextOf(command);
    const qsizetype colon = line.indexOf(':');
    const bool prefixed = colon > 1 && QByteArrayView("+^$#*%").contains(line[0]);
    if (!prefixed)
        return IdentificationDecoded(context, line);

    const QString name = QString::fromLatin1(line.first(colon)).toUpper();
    Decoded d;
    QString problem;
    const QList<Param> params = SplitParams(line.sliced(colon + 1), &problem);
    if (name == QLatin1String("+CCID") || name == QLatin1String("+ICCID")) {
        d.title = QStringLiteral("SIM card identity (%1)").arg(name);
        Fields f(d);
        if (!problem.isEmpty())
            f.Fail(problem);
        else if (!params.isEmpty())
            f.Text(QStringLiteral("iccid"), params[0]);
        return d;
    }
    // The test form's answer lists what a command takes ("+CREG: (0-2)");
    // +COPS=? lists operators and has its own decoder.
    if (context.form == AtFormKind::Test && context.name == name && name != QLatin1String("+COPS")) {
        d.title = QStringLiteral("Supported values (AT%1=?)").arg(name);
        const QString supported = QString::fromLatin1(line.sliced(colon + 1)).trimmed();
        d.fields.append({QStringLiteral("supported"), supported, supported});
        if (!problem.isEmpty())
            d.problem = problem;
        return d;
    }
    if (!problem.isEmpty()) {
        // Decode what we can only when the line is one we know.
        Decoded probe;
        if (!DecodeNetworkLine(name, {}, context, probe) && !DecodeMessageLine(name, {}, context, probe))
            return {};
        probe.fields.clear();
        probe.problem = problem;
        return probe;
    }
    if (DecodeNetworkLine(name, params, context, d) || DecodeMessageLine(name, params, context, d))
        return d;
    return {};
}

namespace {

// Whether a header line of a stored or received message is in PDU mode (its
// next line is the PDU) or text mode (its next line is the text), and the
// PDU's length; false for a line that is no such header.
bool MessageHeader(QByteArrayView line, bool *pduMode, int *length)
{
    static const char *const kHeaders[] = {"+CMGR:", "+CMGL:", "+CMT:", "+CDS:"};
    for (const char *header : kHeaders) {
        if (!line.startsWith(header))
            continue;
        QString problem;
        const QList<Param> params = SplitParams(line.sliced(qstrlen(header)), &problem);
        if (!problem.isEmpty() || params.isEmpty())
            return false;
        const bool cmgl = header[3] == 'G' && header[4] == 'L';
        const bool cmgr = header[3] == 'G' && header[4] == 'R';
        const bool cds = header[2] == 'D';
        const Param &statParam = cmgl && params.size() > 1 ? params[1] : params[0];
        if (cmgr || cmgl)
            *pduMode = !statParam.quoted;
        else if (cds)
            *pduMode = params.size() == 1;
        else
            *pduMode = params.size() <= 2;
        bool ok = false;
        *length = *pduMode ? params.back().text.toInt(&ok) : -1;
        if (*pduMode && (!ok || params.back().quoted))
            *length = -1;
        return true;
    }
    return false;
}

QString WithSuffix(const QString &key, int record)
{
    return QStringLiteral("%1_%2").arg(key).arg(record);
}

} // namespace

Decoded DecodeTransaction(QByteArrayView command, const QList<QByteArray> &lines, QByteArrayView finalLine)
{
    Decoded result;
    QList<Decoded> records;
    QStringList problems;
    const AtKnowledge &table = AtKnowledge::Instance();
    if (const AtCommandInfo *info = table.Command(QString::fromLatin1(command)))
        result.title = QStringLiteral("%1: %2").arg(info->DisplayName(), info->description);

    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArrayView line = Trimmed(lines[i]);
        if (line.isEmpty())
            continue;
        Decoded decoded = DecodeReplyLine(line, command);
        bool pduMode = false;
        int length = -1;
        if (MessageHeader(line, &pduMode, &length) && i + 1 < lines.size()) {
            const QByteArrayView body = Trimmed(lines[i + 1]);
            ++i;
            if (pduMode) {
                decoded.fields.append({QStringLiteral("pdu"), QString::fromLatin1(body), QString::fromLatin1(body)});
                const Decoded pdu = DecodeSmsPdu(body, length);
                decoded.fields.append(pdu.fields);
                if (!pdu.problem.isEmpty())
                    decoded.problem = decoded.problem.isEmpty() ? pdu.problem : decoded.problem + QStringLiteral("; ") + pdu.problem;
            } else {
                decoded.fields.append({QStringLiteral("data"), QString::fromUtf8(body), QString::fromUtf8(body)});
            }
        }
        if (!decoded.problem.isEmpty())
            problems << QStringLiteral("line %1: %2").arg(i + 1).arg(decoded.problem);
        if (!decoded.fields.isEmpty())
            records.append(decoded);
        if (result.title.isEmpty() && !decoded.title.isEmpty())
            result.title = decoded.title;
    }
    for (qsizetype r = 0; r < records.size(); ++r)
        for (const DecodedField &field : records[r].fields)
            result.fields.append({records.size() > 1 ? WithSuffix(field.key, int(r + 1)) : field.key, field.value,
                                  field.text});

    const QByteArrayView final = Trimmed(finalLine);
    if (IsNumericResult(final)) {
        const auto code = table.ResultCode(final[0] - '0');
        if (code) {
            const Decoded decoded = ResultDecoded(*code, QString::fromLatin1(final));
            result.fields.append(decoded.fields);
            if (result.title.isEmpty())
                result.title = decoded.title;
        } else {
            problems << QStringLiteral("final result: numeric result code %1 is not in V.250's table")
                            .arg(QString::fromLatin1(final));
        }
    } else if (!final.isEmpty()) {
        const Decoded decoded = DecodeReplyLine(final, command);
        const QString key = decoded.fields.isEmpty() ? QString() : decoded.fields.front().key;
        if (key != QLatin1String("result") && key != QLatin1String("cme_error") && key != QLatin1String("cms_error")) {
            problems << QStringLiteral("final result \"%1\" is no result code")
                            .arg(QString::fromLatin1(final.first(qMin<qsizetype>(40, final.size()))));
        } else {
            result.fields.append(decoded.fields);
            if (result.title.isEmpty())
                result.title = decoded.title;
        }
        if (!decoded.problem.isEmpty())
            problems << QStringLiteral("final result: %1").arg(decoded.problem);
    }
    result.problem = problems.join(QStringLiteral("; "));
    return result;
}
