#include "runner/checkfile.h"

#include "at/commandframe.h"
#include "text/codepage936.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace {

// Larger check files are refused: a real one is a few kilobytes.
constexpr qint64 kMaxCheckFileSize = 1024 * 1024;
constexpr int kMaxRetries = 100;
// The longest pause, pulse or break a row may ask for.
constexpr int kMaxLineMs = 10000;
constexpr double kMaxSeconds = 86400;

class Reader
{
public:
    Reader(const QString &fileName, const DecodedNames &decodedNames)
        : m_fileName(fileName)
        , m_decodedNames(decodedNames)
    {
    }

    bool Fail(int line, const QString &what)
    {
        if (m_error.isEmpty())
            m_error = QStringLiteral("%1:%2: %3").arg(m_fileName).arg(line).arg(what);
        return false;
    }
    QString Error() const { return m_error; }

    bool Seconds(int line, const QString &key, const QString &value, qint64 *ms, bool zeroAllowed)
    {
        bool ok = false;
        const double s = value.toDouble(&ok);
        if (!ok || !std::isfinite(s) || s < 0 || (s == 0 && !zeroAllowed) || s > kMaxSeconds)
            return Fail(line, QStringLiteral("%1 is a number of seconds up to %2, not \"%3\"")
                                  .arg(key)
                                  .arg(kMaxSeconds)
                                  .arg(value));
        *ms = qint64(std::llround(s * 1000));
        return true;
    }

    bool Regex(int line, const QString &key, const QString &value, QRegularExpression *regex)
    {
        if (value.isEmpty())
            return Fail(line, key + QStringLiteral(" needs a regular expression"));
        *regex = QRegularExpression(value);
        if (!regex->isValid())
            return Fail(line, QStringLiteral("%1: %2 at character %3 of \"%4\"")
                                  .arg(key, regex->errorString())
                                  .arg(regex->patternErrorOffset() + 1)
                                  .arg(value));
        regex->optimize();
        return true;
    }

    bool Compare(int line, const QString &value, const CommandCheck &check, Comparison *c)
    {
        // NAME OP OPERAND; the operators of two characters are tried first.
        static const QList<std::pair<QString, Comparison::Op>> ops = {
            {QStringLiteral("<="), Comparison::Op::LessEqual}, {QStringLiteral(">="), Comparison::Op::GreaterEqual},
            {QStringLiteral("=="), Comparison::Op::Equal},     {QStringLiteral("!="), Comparison::Op::NotEqual},
            {QStringLiteral("<"), Comparison::Op::Less},       {QStringLiteral(">"), Comparison::Op::Greater},
        };
        qsizetype at = -1;
        QString opText;
        for (const auto &[text, op] : ops) {
            const qsizetype i = value.indexOf(text);
            if (i > 0 && (at < 0 || i < at)) {
                at = i;
                opText = text;
                c->op = op;
            }
        }
        if (at < 0)
            return Fail(line, QStringLiteral("check is NAME OP VALUE with OP one of < <= > >= == !=, not \"%1\"")
                                  .arg(value));
        c->name = value.left(at).trimmed();
        c->operand = value.mid(at + opText.size()).trimmed();
        c->text = value;
        c->line = line;
        if (c->operand.isEmpty())
            return Fail(line, QStringLiteral("check \"%1\" has nothing to compare with").arg(value));
        const bool known = std::any_of(check.matches.begin(), check.matches.end(), [&](const CommandCheck::Match &m) {
            return m.regex.namedCaptureGroups().contains(c->name);
        });
        c->decoded = !known && m_decodedNames && m_decodedNames(c->name);
        if (!known && !c->decoded)
            return Fail(line, QStringLiteral("check \"%1\": \"%2\" is no named group of a match above%3")
                                  .arg(value, c->name,
                                       m_decodedNames ? QStringLiteral(" nor a decoded field") : QString()));
        const std::optional<ExactNumber> number = ExactNumber::Parse(c->operand);
        c->numeric = number.has_value();
        if (number)
            c->number = *number;
        if (!c->numeric && c->op != Comparison::Op::Equal && c->op != Comparison::Op::NotEqual)
            return Fail(line, QStringLiteral("check \"%1\": %2 compares numbers, and \"%3\" is none")
                                  .arg(value, opText, c->operand));
        return true;
    }

    bool Setting(int line, const QString &key, const QString &value, CommandCheck &check)
    {
        bool ok = false;
        if (key == QLatin1String("match")) {
            CommandCheck::Match m;
            m.line = line;
            if (!Regex(line, key, value, &m.regex))
                return false;
            check.matches.append(m);
        } else if (key == QLatin1String("check")) {
            Comparison c;
            if (!Compare(line, value, check, &c))
                return false;
            check.comparisons.append(c);
        } else if (key == QLatin1String("timeout")) {
            return Seconds(line, key, value, &check.timeoutMs, false);
        } else if (key == QLatin1String("retries")) {
            check.retries = value.toInt(&ok);
            if (!ok || check.retries < 0 || check.retries > kMaxRetries)
                return Fail(line, QStringLiteral("retries is a count from 0 to %1, not \"%2\"").arg(kMaxRetries).arg(value));
        } else if (key == QLatin1String("pause")) {
            return Seconds(line, key, value, &check.pauseMs, true);
        } else if (key == QLatin1String("wait")) {
            check.waits = true;
            return Regex(line, key, value, &check.wait);
        } else if (key == QLatin1String("wait-timeout")) {
            return Seconds(line, key, value, &check.waitMs, false);
        } else if (key == QLatin1String("reset")) {
            const QString v = value.toLower();
            if (v != QLatin1String("yes") && v != QLatin1String("no"))
                return Fail(line, QStringLiteral("reset is yes or no, not \"%1\"").arg(value));
            check.resets = v == QLatin1String("yes") ? 1 : 0;
        } else if (key == QLatin1String("char-delay") || key == QLatin1String("pulse-dtr")
                   || key == QLatin1String("break")) {
            // Milliseconds: a pause after each character of the row's frame,
            // DTR turned over before it is sent, a break before it is sent.
            const int ms = value.toInt(&ok);
            const int low = key == QLatin1String("char-delay") ? 0 : 1;
            if (!ok || ms < low || ms > kMaxLineMs)
                return Fail(line, QStringLiteral("%1 is milliseconds from %2 to %3, not \"%4\"")
                                      .arg(key)
                                      .arg(low)
                                      .arg(kMaxLineMs)
                                      .arg(value));
            (key == QLatin1String("char-delay") ? check.charDelayMs
             : key == QLatin1String("pulse-dtr") ? check.pulseDtrMs
                                                 : check.breakMs) = ms;
        } else if (key == QLatin1String("end")) {
            if (!ParseEndCharName(value, &check.endChar, &check.customHex))
                return Fail(line, QStringLiteral("end is CR, LF, CRLF, NULL, SUB or hex digits, not \"%1\"").arg(value));
        } else {
            return Fail(line, QStringLiteral("unknown setting \"%1\" (match, check, timeout, retries, pause, wait, "
                                             "wait-timeout, end, reset, char-delay, pulse-dtr, break)")
                                  .arg(key));
        }
        return true;
    }

private:
    QString m_fileName;
    DecodedNames m_decodedNames;
    QString m_error;
};

} // namespace

CheckFile ParseCheckFile(const QByteArray &bytes, const QString &fileName, const DecodedNames &decodedNames)
{
    CheckFile file;
    Reader reader(fileName, decodedNames);
    // A byte-order mark, as some Windows editors save UTF-8, is no text.
    const QByteArray bom("\xEF\xBB\xBF");
    const QByteArray body = bytes.startsWith(bom) ? bytes.mid(bom.size()) : bytes;
    const QString text = QString::fromUtf8(body);
    if (text.toUtf8() != body) {
        // Say where: the first line that does not survive the round trip.
        int line = 1;
        for (const QByteArray &l : body.split('\n')) {
            if (QString::fromUtf8(l).toUtf8() != l)
                break;
            ++line;
        }
        reader.Fail(line, QStringLiteral("not UTF-8 text"));
        file.error = reader.Error();
        return file;
    }
    QList<QStringView> lines;
    QStringView rest(text);
    while (!rest.isEmpty()) {
        const qsizetype end = rest.indexOf(u'\n');
        lines.append(end < 0 ? rest : rest.left(end));
        rest = end < 0 ? QStringView() : rest.mid(end + 1);
    }
    CommandCheck *current = nullptr;
    for (qsizetype i = 0; i < lines.size() && file.error.isEmpty(); ++i) {
        const int number = int(i + 1);
        const QString line = lines.at(i).trimmed().toString();
        if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            if (!line.endsWith(u']') || line.size() < 3) {
                reader.Fail(number, QStringLiteral("a section is [number] or [command], not %1").arg(line));
                break;
            }
            CommandCheck check;
            check.line = number;
            check.section = line.mid(1, line.size() - 2).trimmed();
            bool isNumber = false;
            const int n = check.section.toInt(&isNumber);
            if (isNumber) {
                if (n < 1) {
                    reader.Fail(number, QStringLiteral("commands are numbered from 1, not %1").arg(check.section));
                    break;
                }
                check.commandNumber = n;
            } else {
                check.commandText = ToCodePage936(check.section);
            }
            file.checks.append(check);
            current = &file.checks.last();
            continue;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0) {
            reader.Fail(number, QStringLiteral("expected \"setting = value\", not \"%1\"").arg(line));
            break;
        }
        if (!current) {
            reader.Fail(number, QStringLiteral("a setting before the first [section]"));
            break;
        }
        const QString key = line.left(eq).trimmed().toLower();
        if (!reader.Setting(number, key, line.mid(eq + 1).trimmed(), *current))
            break;
    }
    file.error = reader.Error();
    if (!file.error.isEmpty())
        file.checks.clear();
    return file;
}

CheckFile ReadCheckFile(const QString &path, const DecodedNames &decodedNames)
{
    CheckFile file;
    QFile f(path);
    const QFileInfo info(path);
    if (!info.isFile()) {
        file.error = QStringLiteral("%1: no such check file").arg(path);
    } else if (info.size() > kMaxCheckFileSize) {
        file.error = QStringLiteral("%1: larger than %2 bytes; not a check file").arg(path).arg(kMaxCheckFileSize);
    } else if (!f.open(QIODevice::ReadOnly)) {
        file.error = QStringLiteral("%1: %2").arg(path, f.errorString());
    } else {
        return ParseCheckFile(f.readAll(), path, decodedNames);
    }
    return file;
}

QHash<int, CommandCheck> ChecksForRows(const CheckFile &file, const QList<QByteArray> &commands, QString *error)
{
    QHash<int, CommandCheck> rows;
    QHash<int, int> sectionLine; // row -> the line of the section that took it
    for (const CommandCheck &check : file.checks) {
        QList<int> named;
        if (check.commandNumber > 0) {
            if (check.commandNumber <= commands.size())
                named << check.commandNumber - 1;
        } else {
            for (int row = 0; row < commands.size(); ++row) {
                if (commands.at(row).trimmed().compare(check.commandText, Qt::CaseInsensitive) == 0)
                    named << row;
            }
        }
        if (named.isEmpty()) {
            *error = QStringLiteral("line %1: [%2] names no command of the set (%3 commands)")
                         .arg(check.line)
                         .arg(check.section)
                         .arg(commands.size());
            return {};
        }
        for (int row : std::as_const(named)) {
            if (sectionLine.contains(row)) {
                *error = QStringLiteral("line %1: [%2] names command %3, which the section on line %4 named already")
                             .arg(check.line)
                             .arg(check.section)
                             .arg(row + 1)
                             .arg(sectionLine.value(row));
                return {};
            }
            sectionLine.insert(row, check.line);
            rows.insert(row, check);
        }
    }
    return rows;
}

namespace {

QString Quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString Came(const QList<QString> &lines)
{
    if (lines.isEmpty())
        return QStringLiteral("no reply lines");
    QStringList quoted;
    for (const QString &l : lines)
        quoted << Quoted(l);
    return QStringLiteral("came ") + quoted.join(QStringLiteral(", "));
}

bool Holds(const Comparison &c, const QString &value, bool *numberMissing)
{
    *numberMissing = false;
    const std::optional<ExactNumber> v = c.numeric ? ExactNumber::Parse(value) : std::nullopt;
    switch (c.op) {
    case Comparison::Op::Equal: return v ? *v == c.number : value == c.operand;
    case Comparison::Op::NotEqual: return v ? !(*v == c.number) : value != c.operand;
    default: break;
    }
    if (!v) {
        *numberMissing = true;
        return false;
    }
    const int order = v->Compare(c.number);
    switch (c.op) {
    case Comparison::Op::Less: return order < 0;
    case Comparison::Op::LessEqual: return order <= 0;
    case Comparison::Op::Greater: return order > 0;
    case Comparison::Op::GreaterEqual: return order >= 0;
    default: return false;
    }
}

} // namespace

CheckOutcome EvaluateChecks(const CommandCheck &check, const QList<QByteArray> &replyLines,
                            const DecodedValue &decoded)
{
    CheckOutcome outcome;
    QList<QString> lines;
    for (const QByteArray &l : replyLines)
        lines << FromCodePage936(l);
    QHash<QString, QString> values;
    for (const CommandCheck::Match &m : check.matches) {
        QRegularExpressionMatch found;
        for (const QString &line : std::as_const(lines)) {
            found = m.regex.match(line);
            if (found.hasMatch())
                break;
        }
        if (!found.hasMatch()) {
            outcome.passed = false;
            outcome.message = QStringLiteral("line %1: no reply line matches %2; %3")
                                  .arg(m.line)
                                  .arg(Quoted(m.regex.pattern()), Came(lines));
            return outcome;
        }
        for (const QString &name : m.regex.namedCaptureGroups()) {
            if (name.isEmpty() || found.capturedStart(name) < 0)
                continue;
            const QString value = found.captured(name);
            values.insert(name, value);
            auto same = std::find_if(outcome.values.begin(), outcome.values.end(),
                                     [&](const auto &v) { return v.first == name; });
            if (same != outcome.values.end())
                same->second = value;
            else
                outcome.values.append({name, value});
        }
    }
    for (const Comparison &c : check.comparisons) {
        if (c.decoded && !values.contains(c.name)) {
            const std::optional<QString> value = decoded ? decoded(c.name) : std::nullopt;
            if (!value) {
                outcome.passed = false;
                outcome.message = QStringLiteral("line %1: check %2 failed: the answer gives no %3")
                                      .arg(c.line)
                                      .arg(Quoted(c.text), c.name);
                return outcome;
            }
            values.insert(c.name, *value);
            outcome.values.append({c.name, *value});
        }
        const auto value = values.constFind(c.name);
        if (value == values.constEnd()) {
            outcome.passed = false;
            outcome.message = QStringLiteral("line %1: check %2 failed: %3 was not captured")
                                  .arg(c.line)
                                  .arg(Quoted(c.text), c.name);
            return outcome;
        }
        bool numberMissing = false;
        if (!Holds(c, *value, &numberMissing)) {
            outcome.passed = false;
            outcome.message = QStringLiteral("line %1: check %2 failed: %3 is %4%5")
                                  .arg(c.line)
                                  .arg(Quoted(c.text), c.name, Quoted(*value),
                                       numberMissing ? QStringLiteral(", not a number") : QString());
            return outcome;
        }
    }
    return outcome;
}

bool ParseEndCharName(const QString &text, int *endChar, QByteArray *customHex)
{
    const QString name = text.toUpper().remove(QLatin1Char(' '));
    static const QList<std::pair<QString, int>> names = {
        {QStringLiteral("NULL"), END_NULL}, {QStringLiteral("CR"), END_CR},   {QStringLiteral("LF"), END_LF},
        {QStringLiteral("CRLF"), END_CR_LF}, {QStringLiteral("SUB"), END_SUB},
    };
    for (const auto &[known, value] : names) {
        if (name == known) {
            *endChar = value;
            return true;
        }
    }
    const QString hex = name.startsWith(QLatin1String("HEX:")) ? name.mid(4) : name;
    if (hex.isEmpty() || hex.size() % 2 != 0
        || !std::all_of(hex.begin(), hex.end(), [](QChar c) { return c.unicode() < 128 && std::isxdigit(c.toLatin1()); }))
        return false;
    *endChar = END_CUSTOM;
    *customHex = hex.toLatin1();
    return true;
}

bool IsResetCommand(const QByteArray &command)
{
    QByteArray compact = command.toUpper();
    compact.replace(' ', QByteArray());
    return compact == "AT+CFUN=1,1";
}
