#include "session/transactionlog.h"

#include <QDateTime>

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
}

void TransactionLog::sync()
{
    if (m_log.generation() == m_generation)
        return;
    m_generation = m_log.generation();
    m_parser = AtReplyParser([this](const AtReplyParser::Event &event) { onEvent(event); });
    m_rows.clear();
    m_texts.Clear();
    m_chunks.clear();
    m_current = -1;
    m_openUrc = -1;
    m_commands = 0;
}

void TransactionLog::Received(qint64 logPos, const char *data, qsizetype n)
{
    sync();
    if (n <= 0)
        return;
    m_chunks.emplace_back(logPos, n);
    m_parser.Feed(data, n);
}

void TransactionLog::CommandSent(const QByteArray &command, qint64 logPos)
{
    sync();
    // A line held without its end is what came before the command.
    m_parser.BeginCommand(command);
    if (m_current >= 0)
        update(m_current, [](Row &r) { r.ended = true; });
    Row row;
    row.kind = Kind::Command;
    row.from = row.to = logPos;
    row.atMs = m_clock();
    row.textAt = m_texts.size();
    row.textLength = qint32(std::min<qsizetype>(command.size(), std::numeric_limits<qint32>::max()));
    row.number = ++m_commands;
    m_texts.Append(command.left(row.textLength));
    m_rows.push_back(row);
    m_current = m_rows.size() - 1;
}

void TransactionLog::EndCommand()
{
    sync();
    m_parser.EndCommand();
    if (m_current >= 0)
        update(m_current, [](Row &r) { r.ended = true; });
    m_current = -1;
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
        row.atMs = m_clock();
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
            const qint64 now = m_clock();
            update(m_current, [&, to = to](Row &r) {
                r.to = to;
                r.finalCode = event.final.code;
                r.errorNumber = event.final.number;
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
}

qsizetype TransactionLog::memoryUsage() const
{
    return m_rows.memoryUsage() + m_texts.residentBytes() + qsizetype(m_chunks.size() * sizeof(m_chunks.front()));
}
