#include "session/transactionlog.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <algorithm>
#include <limits>
#include <utility>

TransactionLog::TransactionLog(const SessionLog &log)
    : m_log(log)
    , m_generation(log.generation())
    , m_clock([] { return QDateTime::currentMSecsSinceEpoch(); })
    , m_parser([this](const AtReplyParser::Event &event) { onEvent(event); })
{
    m_texts.setMemoryLimit(qsizetype(4) * 1024 * 1024);
    m_marks.setMemoryLimit(qsizetype(1) * 1024 * 1024);
}

void TransactionLog::sync()
{
    if (m_log.generation() == m_generation)
        return;
    m_generation = m_log.generation();
    m_parser = AtReplyParser([this](const AtReplyParser::Event &event) { onEvent(event); });
    m_rows.clear();
    m_texts.Clear();
    m_marks.clear();
    m_nextMark = 0;
    m_read = 0;
    m_chunks.clear();
    m_current = -1;
    m_openUrc = -1;
    m_commands = 0;
}

void TransactionLog::CommandSent(const QByteArray &command, qint64 logPos)
{
    sync();
    Mark mark;
    mark.logPos = logPos;
    mark.atMs = m_clock();
    mark.textAt = m_texts.size();
    mark.textLength = qint32(std::min<qsizetype>(command.size(), std::numeric_limits<qint32>::max()));
    m_texts.Append(command.left(mark.textLength));
    m_marks.push_back(mark);
}

void TransactionLog::EndCommand(qint64 logPos)
{
    sync();
    Mark mark;
    mark.logPos = logPos;
    m_marks.push_back(mark);
}

void TransactionLog::apply(const Mark &mark)
{
    if (mark.textAt < 0) {
        m_parser.EndCommand();
        if (m_current >= 0)
            update(m_current, [](Row &r) { r.ended = true; });
        m_current = -1;
        return;
    }
    // A line held without its end is what came before the command.
    bool whole = true;
    m_parser.BeginCommand(m_texts.Slice(mark.textAt, mark.textLength, &whole));
    if (m_current >= 0)
        update(m_current, [](Row &r) { r.ended = true; });
    Row row;
    row.kind = Kind::Command;
    row.from = row.to = mark.logPos;
    row.atMs = mark.atMs;
    row.textAt = mark.textAt;
    row.textLength = mark.textLength;
    row.number = ++m_commands;
    m_rows.push_back(row);
    m_current = m_rows.size() - 1;
}

void TransactionLog::read(qint64 from, qint64 to)
{
    const auto feed = [this](qint64 at, qint64 end) {
        if (end <= at)
            return;
        bool whole = true;
        const QByteArray bytes = m_log.Slice(at, end - at, &whole);
        // A part of the log that cannot be read back gives what came before
        // it; the lines across it are read as one.
        if (bytes.isEmpty())
            return;
        m_chunks.emplace_back(at, bytes.size());
        m_parser.Feed(bytes);
    };
    qint64 at = from;
    for (const SessionLog::Range &range : m_log.TerminalRanges(from, to)) {
        feed(at, range.from);
        at = range.to;
    }
    feed(at, to);
}

bool TransactionLog::CatchUp(qint64 budgetMs)
{
    sync();
    // Slices small enough to stop near the budget, large enough that the
    // log's lock and the terminal's ranges are looked up seldom.
    constexpr qint64 kSlice = 64 * 1024;
    QElapsedTimer timer;
    timer.start();
    const qint64 end = m_log.size();
    bool sliced = false;
    for (;;) {
        Mark mark;
        bool marked = false;
        while (m_nextMark < m_marks.size()) {
            if (!m_marks.at(m_nextMark, &mark)) {
                // Lost on the disk: the commands from here are not known.
                m_nextMark = m_marks.size();
                break;
            }
            if (mark.logPos > m_read) {
                marked = true;
                break;
            }
            apply(mark);
            ++m_nextMark;
        }
        if (!marked && m_nextMark > 0) {
            // All applied: their memory (and file) goes.
            m_marks.clear();
            m_nextMark = 0;
        }
        if (m_read >= end)
            return true;
        // Each call reads a slice at least, so that it gets on.
        if (sliced && budgetMs >= 0 && timer.elapsed() >= budgetMs)
            return false;
        qint64 to = std::min(end, m_read + kSlice);
        if (marked)
            to = std::min(to, mark.logPos);
        read(m_read, to);
        m_read = to;
        sliced = true;
    }
}

qint64 TransactionLog::unreadBytes() const
{
    if (m_log.generation() != m_generation)
        return m_log.size();
    return std::max<qint64>(m_log.size() - m_read, 0);
}

std::pair<qint64, qint64> TransactionLog::consume(qsizetype bytes)
{
    qint64 from = -1;
    qint64 to = -1;
    while (bytes > 0 && !m_chunks.empty()) {
        auto &chunk = m_chunks.front();
        if (from < 0)
            from = chunk.first;
        const qsizetype take = std::min(bytes, chunk.second);
        chunk.first += take;
        chunk.second -= take;
        bytes -= take;
        to = chunk.first;
        if (chunk.second == 0)
            m_chunks.pop_front();
    }
    if (from < 0)
        from = to = m_chunks.empty() ? m_log.size() : m_chunks.front().first;
    return {from, to};
}

void TransactionLog::update(qsizetype i, const std::function<void(Row &)> &change)
{
    Row r;
    if (!m_rows.at(i, &r) || (change(r), !m_rows.setAt(i, r)))
        ++m_lostUpdates;
}

void TransactionLog::onEvent(const AtReplyParser::Event &event)
{
    const auto [from, to] = consume(event.bytes);
    if (event.kind == AtReplyParser::Kind::Noise)
        return;
    // Only the line after +CMT:, +CDS: or +CBM: belongs to the URC before it.
    const qsizetype openUrc = std::exchange(m_openUrc, -1);
    switch (event.kind) {
    case AtReplyParser::Kind::Noise:
        return;
    case AtReplyParser::Kind::Urc: {
        if (event.continuation && openUrc >= 0) {
            update(openUrc, [to = to](Row &r) { r.to = to; });
            return;
        }
        Row row;
        row.kind = Kind::Urc;
        row.from = from;
        row.to = to;
        row.atMs = m_log.TimeAt(from);
        row.number = m_current >= 0 ? m_commands : 0;
        m_rows.push_back(row);
        for (const char *name : {"+CMT:", "+CDS:", "+CBM:"})
            if (event.text.startsWith(name))
                m_openUrc = m_rows.size() - 1;
        return;
    }
    case AtReplyParser::Kind::Echo:
    case AtReplyParser::Kind::Info:
        if (m_current >= 0)
            update(m_current, [&, to = to](Row &r) {
                r.to = to;
                r.echoed = r.echoed || event.kind == AtReplyParser::Kind::Echo;
            });
        return;
    case AtReplyParser::Kind::Final:
        if (m_current >= 0) {
            // When the result's line came, as the log has it.
            const qint64 now = m_log.TimeAt(to - 1);
            update(m_current, [&, to = to](Row &r) {
                r.to = to;
                r.finalCode = event.final.code;
                r.errorNumber = event.final.number;
                if (now >= 0)
                    r.resultMs = qint32(std::clamp<qint64>(now - r.atMs, 0, std::numeric_limits<qint32>::max()));
                r.ended = true;
            });
        }
        m_current = -1;
        return;
    }
}

qsizetype TransactionLog::count() const
{
    return m_log.generation() == m_generation ? m_rows.size() : 0;
}

bool TransactionLog::row(qsizetype i, Row *out) const
{
    return i >= 0 && i < count() && m_rows.at(i, out);
}

qsizetype TransactionLog::openRow() const
{
    if (!count())
        return -1;
    return std::max(m_current, m_openUrc);
}

QByteArray TransactionLog::receivedBytes(qint64 from, qint64 to, bool *complete) const
{
    bool whole = true;
    const QByteArray bytes = m_log.Slice(from, to - from, &whole);
    if (!whole || bytes.size() != to - from) {
        *complete = false;
        return {};
    }
    // The terminal's own additions in the range (its copy of a command, a
    // lost/back line) are no module's bytes.
    QByteArray received;
    qint64 at = from;
    for (const SessionLog::Range &range : m_log.TerminalRanges(from, to)) {
        received += bytes.mid(at - from, range.from - at);
        at = range.to;
    }
    received += bytes.mid(at - from);
    return received;
}

TransactionLog::Details TransactionLog::details(qsizetype i) const
{
    Details d;
    Row r;
    if (!row(i, &r)) {
        d.complete = false;
        return d;
    }
    const QByteArray bytes = receivedBytes(r.from, r.to, &d.complete);
    if (r.kind == Kind::Urc) {
        for (const QByteArray &line : bytes.split('\n')) {
            const QByteArray text = QByteArray(line).replace('\r', QByteArray());
            if (text.isEmpty())
                continue;
            if (!d.urc.isEmpty())
                d.urc += '\n';
            d.urc += text;
        }
        return d;
    }
    bool whole = true;
    d.command = m_texts.Slice(r.textAt, r.textLength, &whole);
    d.complete = d.complete && whole;
    // The same rules as the live parser, from the same start: the command
    // just sent, nothing held.
    AtReplyParser parser([&d](const AtReplyParser::Event &event) {
        switch (event.kind) {
        case AtReplyParser::Kind::Echo:
            if (!d.echoed) {
                d.echo = event.text;
                d.echoed = true;
            }
            break;
        case AtReplyParser::Kind::Info:
            d.info.append(event.text);
            break;
        case AtReplyParser::Kind::Final:
            d.final = event.final;
            break;
        default:
            break;
        }
    });
    parser.BeginCommand(d.command);
    parser.Feed(bytes);
    if (r.ended)
        parser.Flush();
    return d;
}

void TransactionLog::setMemoryLimit(qsizetype bytes)
{
    m_rows.setMemoryLimit(bytes);
    m_marks.setMemoryLimit(std::min<qsizetype>(bytes, qsizetype(1) * 1024 * 1024));
}

qsizetype TransactionLog::memoryUsage() const
{
    return m_rows.memoryUsage() + m_marks.memoryUsage() + m_texts.residentBytes()
        + qsizetype(m_chunks.size() * sizeof(m_chunks.front()));
}
