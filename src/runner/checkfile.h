#pragma once

#include "runner/exactnumber.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QRegularExpression>
#include <QString>

#include <functional>
#include <optional>

// Checks on what a module answers, read from a check file kept beside a
// command set (see README, "Checks on the answers"). The file is in INI form:
// a section per command, named by its number in the set ("[3]") or by its
// text ("[AT+CSQ]", every row with that text), and one setting a line:
//
//   match = REGEX        a reply line must match (several: each must);
//                        named groups (?<rssi>\d+) are recorded as values
//   check = NAME OP N    compares a recorded value: < <= > >= == !=
//                        (numbers, exactly, of any length; == and !=
//                        compare text when N or the value is no number);
//                        NAME is a named group of a match above, or a
//                        field of the decoded answer (rssi_dbm, stat, ...)
//   timeout = SECONDS    the command's own time-out
//   retries = N          sends it again up to N times when it fails
//   pause = SECONDS      between retries (1)
//   wait = REGEX         once it passed, waits for a URC matching REGEX
//   wait-timeout = SEC   how long (30)
//   end = END            the row's end character: CR, LF, CRLF, NULL, SUB,
//                        or hex digits
//   reset = yes|no       the command resets the module: its line drops
//                        (with --reconnect; AT+CFUN=1,1 is taken as yes)
//   char-delay = MS      a pause after each character of its frame
//   pulse-dtr = MS       DTR turned over for MS before it is first sent
//   break = MS           a break of MS before it is first sent
//
// Lines starting with ';' or '#' are comments; a value runs to the end of
// its line (a regular expression may hold ';'). Reading is strict: anything
// else is an error naming the line.
struct Comparison
{
    enum class Op { Less, LessEqual, Greater, GreaterEqual, Equal, NotEqual };
    QString name;
    Op op = Op::Equal;
    QString operand;
    bool numeric = false;
    ExactNumber number;
    QString text;              // as written, for messages
    int line = 0;
    bool decoded = false;      // names a field of the decoded answer, not a group
};

struct CommandCheck
{
    int line = 0;              // the section's line
    QString section;           // as written between the brackets
    int commandNumber = 0;     // 1-based; 0 when named by text
    QByteArray commandText;    // when named by text
    struct Match
    {
        QRegularExpression regex;
        int line = 0;
    };
    QList<Match> matches;
    QList<Comparison> comparisons;
    qint64 timeoutMs = -1;     // -1: the run's
    int retries = 0;
    qint64 pauseMs = 1000;
    bool waits = false;
    QRegularExpression wait;
    qint64 waitMs = 30000;
    int endChar = -1;          // -1: the run's (EndChar otherwise)
    QByteArray customHex;
    int resets = -1;           // reset = yes (1) or no (0); -1 when not said
    int charDelayMs = -1;      // -1: the run's
    int pulseDtrMs = 0;        // 0: none
    int breakMs = 0;           // 0: none

    bool HasChecks() const { return !matches.isEmpty() || !comparisons.isEmpty(); }
};

struct CheckFile
{
    QList<CommandCheck> checks;
    QString error;             // "<file>:<line>: <what>"; empty when read
};

// Whether a name is a field the decoder can give for an answer; checks on
// it compare the decoded value. Given by the caller, so reading and judging
// checks needs no decoder; without it a check names groups only.
using DecodedNames = std::function<bool(const QString &name)>;

// The file's bytes (UTF-8) to checks; fileName is for messages only.
CheckFile ParseCheckFile(const QByteArray &text, const QString &fileName, const DecodedNames &decodedNames = {});
// Reads and parses a check file.
CheckFile ReadCheckFile(const QString &path, const DecodedNames &decodedNames = {});

// The check of each row of a set (row index -> check); an error names the
// section that names no command of the set, or two sections for one row.
QHash<int, CommandCheck> ChecksForRows(const CheckFile &file, const QList<QByteArray> &commands, QString *error);

// What a reply did against its checks.
struct CheckOutcome
{
    bool passed = true;
    QString message;                           // why not
    QList<std::pair<QString, QString>> values; // named captures, in order (also when a comparison failed)
};
// A field of the decoded answer as text, by its name; nullopt when the
// answer has no such field or it has no value. Asked only when a check
// names a decoded field.
using DecodedValue = std::function<std::optional<QString>(const QString &name)>;
// Judges a reply's lines (information lines, then the final result's text).
// A decoded field compared is recorded among the values as a group is.
CheckOutcome EvaluateChecks(const CommandCheck &check, const QList<QByteArray> &lines,
                            const DecodedValue &decoded = {});

// Whether a command resets the module, dropping its line, when its check
// does not say: AT+CFUN=1,1 (any case, spaces ignored).
bool IsResetCommand(const QByteArray &command);

// "CR", "crlf", "SUB", "0D0A", "hex:0d0a": an end character as the window's
// End Char group names it, or hex digits as typed in its custom box.
bool ParseEndCharName(const QString &text, int *endChar, QByteArray *customHex);
