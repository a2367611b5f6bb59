#pragma once

// What the reply decoders' files share: a line cut into parameters, the
// context of the command it answers, and the adding of checked fields.

#include "atinfo/atknowledge.h"
#include "atinfo/decoded.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <optional>

namespace ReplyDecoding {

// One parameter of an information line: its text without the quotes, and
// whether it was quoted. A parenthesised list "(0-2)" is one parameter.
struct Param
{
    QByteArray text;
    bool quoted = false;
    bool list = false; // started with '('
    bool isEmpty() const { return text.isEmpty() && !quoted; }
};

// The command a line answers.
struct Context
{
    QString name;                    // "+CREG", "E"; empty when unknown
    std::optional<AtFormKind> form;  // its form when known
    bool Is(const char *commandName, AtFormKind kind) const { return name == QLatin1String(commandName) && form == kind; }
};
Context ContextOf(QByteArrayView command);

// Cuts the text after "<name>:" into parameters at commas outside quotes
// and parentheses. Spaces around unquoted parameters go. *problem tells of
// a quote or parenthesis left open, or text after a closing quote.
QList<Param> SplitParams(QByteArrayView text, QString *problem);

// Adds fields to a Decoded and stops at the first fault. Each Add* returns
// false (and sets the problem) when the parameter is not what it must be.
class Fields
{
public:
    explicit Fields(Decoded &decoded) : m_d(decoded) {}

    void Add(const QString &key, const QVariant &value, const QString &text) { m_d.fields.append({key, value, text}); }
    void Omitted(const QString &key) { Add(key, QVariant(), QStringLiteral("(omitted)")); }
    bool Fail(const QString &problem);
    bool Failed() const { return !m_d.problem.isEmpty(); }

    // A whole number from an unquoted parameter, in [low, high] or one of
    // the extra codes; *out gets it. `what` names it in a problem.
    bool Number(const Param &param, const QString &what, qint64 low, qint64 high, qint64 *out,
                std::initializer_list<qint64> extra = {});
    // A number whose words come from the table (command's parameter), as a
    // field: value the number, text "<n>: <words>".
    bool Coded(const QString &key, const Param &param, const char *command, const char *parameter, qint64 low,
               qint64 high, qint64 *out = nullptr);
    // A hexadecimal number in a string (quotes optional), at most maxDigits
    // digits: value the number, text "0x1A2B (6699)".
    bool Hex(const QString &key, const Param &param, int maxDigits, qint64 *out = nullptr);
    // A string parameter as it stands (quoted or not).
    void Text(const QString &key, const Param &param);
    // A quoted string: a problem when the quotes are missing.
    bool Quoted(const QString &key, const Param &param);

private:
    Decoded &m_d;
};

// "+08" quarter hours as "+02:00".
QString ZoneText(qint64 quarters);
// "yy/MM/dd,hh:mm:ss±zz" into date ("2026-12-08"), time ("10:15:00") and
// zone (quarter hours); false with *problem on a malformed stamp.
struct TimeStamp
{
    QString date, time;
    std::optional<qint64> zone;
};
bool ParseTimeStamp(QByteArrayView text, TimeStamp *stamp, QString *problem);

// The decoders of the families, each for the parameters after "<name>:".
// They return false when the name is none of theirs.
bool DecodeNetworkLine(const QString &name, const QList<Param> &params, const Context &context, Decoded &d);
bool DecodeMessageLine(const QString &name, const QList<Param> &params, const Context &context, Decoded &d);

// The text of the data coding scheme's alphabet and the decoded string:
// UCS2 as hex, GSM 7-bit as text or packed hex, 8-bit as hex.
void DecodeUssdString(const Param &str, const Param &dcs, Fields &fields);

} // namespace ReplyDecoding
