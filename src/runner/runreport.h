#pragma once

#include "at/atreplyparser.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

// One AT transaction of a command-line run: a command, what the module
// answered and how long it took.
struct Transaction
{
    // Stopped: the run ended (its deadline, a signal) while it waited.
    // NotRun: never sent (an empty row, or the run ended before it); `why`
    // says which.
    enum class Outcome { Pending, Passed, Failed, TimedOut, PortLost, Stopped, NotRun };

    int index = 0;             // 1-based position in the set
    QByteArray command;        // as sent, without the end character
    QByteArray echo;           // empty when the module did not echo
    bool echoed = false;
    QList<QByteArray> info;    // information lines of the reply
    AtFinalResult final;       // Code::None when no final result came
    Outcome outcome = Outcome::Pending;
    qint64 sentAtMs = 0;       // since the start of the run
    qint64 elapsedMs = -1;     // last byte written to final result; -1 without one
    int attempts = 1;          // with retries: how many times it was sent
    bool body = false;         // the body after a "> " prompt, ended by SUB
    QString failure;           // why a check failed it; empty otherwise
    QString why;               // what else happened to it (line dropped, not taken, ...)
    AtFinalResult late;        // a final result that came after its time-out
    qint64 lateAtMs = -1;      // when (since the start of the run)
    QList<std::pair<QString, QString>> values; // recorded by its checks

    // "OK", "+CME ERROR: 10", "TIMEOUT", "PORT LOST", ...
    QString ResultText() const;
};

// A line the module sent on its own.
struct UrcRecord
{
    qint64 atMs = 0;           // since the start of the run
    QByteArray text;           // both lines of a two-line URC, joined by "\n"
    int duringCommand = 0;     // index of the command that was waiting; 0 for none
};

// The port went away during the run and, with reconnect, came back.
struct Outage
{
    qint64 lostAtMs = 0;       // since the start of the run
    qint64 backAtMs = -1;      // -1 when it did not come back in time
    QString reason;            // the system's words for the loss
    int duringCommand = 0;     // the command that was waiting; 0 for none
    QString device;            // the device it came back on; empty when it did not
};

struct RunReport
{
    QString setFile;
    QString setName;           // the module type: the file's name without .ini
    QString port;              // as given, e.g. "Simulated module" or /dev/ttyUSB0
    QString device;            // the device path opened
    QString lineSettings;      // e.g. "115200 8N1"
    QString endChar;           // e.g. "CR"
    qint64 timeoutMs = 0;
    bool keepGoing = false;
    bool decode = false;       // --decode: each command's decoded answer in the JSON report
    QDateTime started;
    qint64 durationMs = 0;
    QList<Transaction> transactions;
    QList<UrcRecord> urcs;
    QList<Outage> outages;
    QString stopReason;        // why the run ended early; empty when the set ran through
    int exitStatus = 0;
    QString checkFile;         // --expect; empty without
    QString identity;          // the module: its by-id name, or the port
    QString host;              // the machine the run was made on
    qsizetype commandCount = 0; // rows of the set
    qint64 boundMs = 0;        // the longest the run could take with its options

    int Count(Transaction::Outcome outcome) const;
    // Every value the checks recorded, in order; a later one of a name wins.
    QList<std::pair<QString, QString>> Values() const;
};

// The line printed as a command completes, e.g.
// "[ 3/6] AT+CSQ                  OK               12 ms  +CSQ: 20,99".
QByteArray TransactionLine(const Transaction &t, int total);
// Failed, PortLost and Stopped count as failed.
int FailedCount(const RunReport &report);
// Rows of the set that were not run: listed as NotRun, and those the run
// did not reach.
int NotRunCount(const RunReport &report);
// Lists every row of the set the report does not hold yet as NotRun, with
// why (a run that stopped, or never started).
void ListNotRun(RunReport &report, const QList<QByteArray> &commands, const QString &why);
// "6 commands: 5 passed, 1 failed, 0 timed out, 0 not run; 1 URC; 0.4 s".
QByteArray SummaryLine(const RunReport &report, int total);
// The whole run as JSON (UTF-8; module bytes read as code page 936).
QByteArray ReportJson(const RunReport &report);
// One command of the report as its JSON object (the report's "commands"
// hold them; with decode, its decoded answer too), and one URC ("urcs").
QJsonObject TransactionJson(const Transaction &t, bool decode);
QJsonObject UrcJson(const UrcRecord &u);
// The run as a JUnit XML test suite, one test case per command sent.
QByteArray ReportJUnit(const RunReport &report);

// Runs on several modules at once. The JSON holds the report of each module
// under "modules"; the JUnit file a <testsuite> per module, named by the
// module's identity and the host; the CSV a row per module with its counts
// and recorded values (a column per value name, in order of first use).
QByteArray ReportJsonMany(const QList<const RunReport *> &reports, int exitStatus);
QByteArray ReportJUnitMany(const QList<const RunReport *> &reports);
QByteArray ReportCsv(const QList<const RunReport *> &reports);
// The table printed at the end of a run on several modules: a row per module
// with its passed, failed and timed-out counts and its recorded values.
QByteArray SummaryTable(const QList<const RunReport *> &reports, int total);
