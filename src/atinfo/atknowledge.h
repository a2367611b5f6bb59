#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <optional>

// The table of what the terminal knows of AT commands, result codes and
// error codes: resources/atcommands.json, compiled into the library. Loaded
// once, on first use, from any thread; read-only afterwards.

// The four forms of a command (ITU-T V.250 5.4) and the line a module sends
// on its own.
enum class AtFormKind { Action, Test, Read, Set, Unsolicited };

struct AtForm
{
    AtFormKind kind = AtFormKind::Action;
    QString syntax;   // "AT+CMGS=<da>[,<toda>]"; empty for Unsolicited
    QString response; // "+CMGS: <mr>[,<scts>]"; empty when only a result code
};

struct AtParameter
{
    QString name;    // "rssi", "AcT", as the standard writes it
    QString meaning;
    // Values in words, in the table's order: ("0", "-113 dBm or less"),
    // ("2..30", "-109 ... -53 dBm"), ("READY", ...). Empty when there are many.
    QList<QPair<QString, QString>> values;

    // The words for one value: an exact entry, or a range "a..b" holding it
    // for a number; empty when the table has none.
    QString ValueText(QStringView value) const;
};

struct AtCommandInfo
{
    // "+CSQ", "+C5GREG" for extended commands; "E", "&F", "S0", "D" for the
    // basic ones (shown with AT before them).
    QString name;
    QString description; // one line
    QString source;      // "27.007 8.5", or where a command comes from when no standard
    QList<AtForm> forms;
    QList<AtParameter> parameters;

    const AtForm *Form(AtFormKind kind) const;
    const AtParameter *Parameter(QStringView name) const; // case-insensitive
    // "AT+CSQ" / "ATE": how a person writes the command.
    QString DisplayName() const;
};

struct AtResultCode
{
    int number = -1;  // numeric form (ATV0)
    QString verbose;  // "NO CARRIER"
    QString meaning;
};

class AtKnowledge
{
public:
    // The one table, loaded on first call (thread-safe).
    static const AtKnowledge &Instance();

    // Empty when the table loaded; else why not (the table is then empty).
    QString LoadProblem() const { return m_loadProblem; }
    // The published versions the table's facts come from.
    QStringList Sources() const { return m_sources; }

    const QList<AtCommandInfo> &Commands() const { return m_commands; }
    // A command by name ("+cgdcont", "CSQ" is not one: the '+' belongs to the
    // name) or by a typed command line ("at+cgdcont=1,\"IP\"", "ATE0",
    // "ATS0=2", "ATD123;"), case-insensitive; nullptr when unknown.
    const AtCommandInfo *Command(QStringView typed) const;

    // The name of the first command of a typed line as the table spells it:
    // "at+cgdcont=1" gives "+CGDCONT", "ATE0" gives "E", "AT&F" gives "&F",
    // "ATS0?" gives "S0", "ATD*99#" gives "D"; a name without AT ("+csq")
    // is taken as it stands. Empty when the line holds no command.
    static QString CommandName(QStringView typed);
    // Which form a typed command uses: "=?" Test, "?" Read, "=" Set, nothing
    // after the name Action. std::nullopt when there is no command.
    static std::optional<AtFormKind> FormOf(QStringView typed);
    static QString FormName(AtFormKind kind); // "action", "test", "read", "set", "unsolicited"

    // The text of +CME ERROR: <n> (27.007 9.2) and +CMS ERROR: <n> (27.005
    // 3.2.5; numbers of a range without their own text give the range's
    // words); empty when the table has none.
    QString CmeErrorText(int number) const;
    QString CmsErrorText(int number) const;
    // The number of a verbose error text, compared without case; -1 if none.
    int CmeErrorNumber(QStringView text) const;
    int CmsErrorNumber(QStringView text) const;

    // V.250 final and unsolicited result codes, by number or verbose word
    // ("no carrier" too).
    std::optional<AtResultCode> ResultCode(int number) const;
    std::optional<AtResultCode> ResultCode(QStringView verbose) const;
    const QList<AtResultCode> &ResultCodes() const { return m_results; }

    // The words the table has for a command's parameter's value
    // ("+CREG", "stat", "5" gives "registered, roaming"); empty if none.
    QString ValueText(QStringView command, QStringView parameter, QStringView value) const;

private:
    AtKnowledge();

    struct Range
    {
        qint64 from, to;
        QString text;
    };

    QString m_loadProblem;
    QStringList m_sources;
    QList<AtCommandInfo> m_commands;
    QList<AtResultCode> m_results;
    QList<QPair<int, QString>> m_cme;
    QList<QPair<int, QString>> m_cms;
    QList<Range> m_cmsRanges;
};
