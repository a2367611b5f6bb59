#pragma once

#include "at/atreplyparser.h"
#include "session/sessionlog.h"
#include "store/spilledrecords.h"

#include <QByteArray>
#include <QList>
#include <deque>
#include <functional>

// The session's AT transactions as AtReplyParser reads them: each command
// sent, with its echo, information lines and final result code, and the
// lines the module sent on its own (URCs), in time order.
//
// The session tells it only of each command sent and of each close, where
// the log stood at the time: a few bytes each, nothing on the receive path.
// The received bytes are read from the session log itself, from where the
// last reading stopped, when its reader asks (CatchUp), in slices of a time
// it chooses: a session whose transactions nobody looks at pays nothing for
// them, and one looked at after hours is read in the background of the
// pane. The terminal's own bytes in the log (its copy of a command, a
// lost/back line) are left out, as they are no module's. A line's time is
// the log's time for it.
//
// A long session has millions of them, so a row keeps no text: only where
// its bytes are in the session log, its times and its result, in fixed-size
// records that go to a temporary file past a limit (SpilledRecords). A
// command's text, which the log may not hold (the module need not echo),
// goes to a store of its own. details() reads a row back from the log: the
// received bytes of its range, read again by a parser of the same rules,
// give the same lines the live parser gave.
//
// A Clear of the session log (its generation changes) empties it.
class TransactionLog
{
public:
    enum class Kind : quint8 { Command, Urc };

    struct Row
    {
        qint64 from = 0;        // log offset where it begins (a command: the log's end when it was sent)
        qint64 to = 0;          // log offset after its last line
        qint64 atMs = 0;        // sent (a command, by the clock) or received (a URC, the log's time)
        qint64 textAt = -1;     // a command: where its text is in the text store
        qint32 textLength = 0;
        qint32 resultMs = -1;   // a command: sent to final result; -1 without one
        qint32 errorNumber = -1; // +CME/+CMS ERROR: <n>; -1 otherwise
        qint32 number = 0;      // a command: 1, 2, ...; a URC: the command that waited, 0 for none
        Kind kind = Kind::Command;
        AtFinalResult::Code finalCode = AtFinalResult::Code::None;
        bool echoed = false;
        bool ended = false;     // a command: no more lines can be its (a result, the next command, a close)
    };

    struct Details
    {
        QByteArray command;       // as sent, without the end character
        QByteArray echo;
        bool echoed = false;
        QList<QByteArray> info;   // information lines
        AtFinalResult final;      // Code::None without one
        QByteArray urc;           // a URC: its line, or both lines joined by "\n"
        bool complete = true;     // false when part of it could not be read back
    };

    using Clock = std::function<qint64()>;

    explicit TransactionLog(const SessionLog &log);

    // A command was sent (its text without the end character), when the log
    // ended at logPos.
    void CommandSent(const QByteArray &command, qint64 logPos);
    // The port closed or went away when the log ended at logPos: the
    // command waiting then gets no more lines.
    void EndCommand(qint64 logPos);

    // Reads the log on from where the last reading stopped, for about
    // budgetMs (all of it when negative); true once all of it is read.
    bool CatchUp(qint64 budgetMs = -1);
    // Bytes of the log not read yet.
    qint64 unreadBytes() const;

    qsizetype count() const;
    qsizetype commandCount() const { return count() ? m_commands : 0; }
    // Row i into *out; false when it cannot be read back (or i is out of range).
    bool row(qsizetype i, Row *out) const;
    Details details(qsizetype i) const;
    // The last row that may still change (a command waiting for its result,
    // a URC whose second line may come); -1 for none.
    qsizetype openRow() const;
    // Changes whenever the rows start again (the log was cleared).
    quint64 generation() const { return m_log.generation(); }

    // The clock a command's time is taken by when it is sent.
    void setClock(Clock clock) { m_clock = std::move(clock); }
    // Bytes of rows kept in memory (8 MB unless set); the commands sent and
    // not read yet keep at most 1 MB, or this if less.
    void setMemoryLimit(qsizetype bytes);
    qsizetype memoryUsage() const;

private:
    // A command sent or a close, where the log ended then.
    struct Mark
    {
        qint64 logPos = 0;
        qint64 atMs = 0;
        qint64 textAt = -1;     // -1: a close
        qint32 textLength = 0;
    };

    void sync();
    void apply(const Mark &mark);
    // Gives the parser the module's bytes of [from, to).
    void read(qint64 from, qint64 to);
    void onEvent(const AtReplyParser::Event &event);
    void update(qsizetype i, const std::function<void(Row &)> &change);
    // Where the next `bytes` parsed bytes are in the log: [from, to).
    std::pair<qint64, qint64> consume(qsizetype bytes);
    QByteArray receivedBytes(qint64 from, qint64 to, bool *complete) const;

    const SessionLog &m_log;
    quint64 m_generation = 0;
    Clock m_clock;
    AtReplyParser m_parser;
    SpilledRecords<Row, 1024> m_rows;
    SessionLog m_texts;          // the commands' texts, one after another
    SpilledRecords<Mark, 1024> m_marks;
    qsizetype m_nextMark = 0;    // the first mark not applied
    qint64 m_read = 0;           // the log is read up to here
    std::deque<std::pair<qint64, qsizetype>> m_chunks; // bytes read not yet given out by the parser
    qsizetype m_current = -1;    // the command that waits
    qsizetype m_openUrc = -1;    // the URC a continuation line belongs to
    qint32 m_commands = 0;
    // A row too old to change in memory (a waiting command past a flood of
    // URCs) is left as it is: its later lines are not counted.
    qsizetype m_lostUpdates = 0;
};
