#include "widgets/transactionsmodel.h"

#include "atinfo/replydecoder.h"
#include "text/codepage936.h"

#include <QBrush>
#include <QDateTime>
#include <QPalette>

#include <algorithm>
#include <limits>

namespace {

// The fields of a decoded answer on one line: "-79 dBm; ber < 0.2 %".
QString OneLine(const Decoded &decoded)
{
    QStringList parts;
    for (const DecodedField &field : decoded.fields)
        if (!field.text.isEmpty() && field.key != QLatin1String("result"))
            parts << field.key + QLatin1Char(' ') + field.text;
    QString line = parts.join(QStringLiteral("; "));
    if (!decoded.problem.isEmpty())
        line += (line.isEmpty() ? QString() : QStringLiteral("; ")) + QStringLiteral("cannot decode: ") + decoded.problem;
    constexpr int kMax = 300;
    if (line.size() > kMax)
        line = line.left(kMax) + QChar(0x2026);
    return line;
}

} // namespace

TransactionsModel::TransactionsModel(const TransactionLog &log, QObject *parent)
    : QAbstractTableModel(parent)
    , m_log(log)
    , m_generation(log.generation())
{
    refresh();
}

int TransactionsModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

int TransactionsModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TransactionsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char *const names[ColumnCount] = { "Time",   "Command", "Echo",    "Reply",
                                                    "Result", "ms",      "Meaning", "Unsolicited" };
    return section >= 0 && section < ColumnCount ? QString::fromLatin1(names[section]) : QVariant();
}

void TransactionsModel::refresh()
{
    if (m_log.generation() != m_generation) {
        beginResetModel();
        m_generation = m_log.generation();
        m_rows = 0;
        m_total = 0;
        m_first = 0;
        m_open = -1;
        m_cache.clear();
        endResetModel();
    }
    // The rows that were open may have changed (a result, a URC's second line).
    const qsizetype wasOpen = m_open;
    m_total = m_log.count();
    fitRows();
    m_open = m_log.openRow();
    if (wasOpen >= 0 && wasOpen < m_total) {
        const qsizetype last = std::min(m_total - 1, std::max(wasOpen, m_open));
        for (qsizetype r = wasOpen; r <= last; ++r)
            m_cache.remove(r);
        const qsizetype from = std::max(wasOpen, m_first) - m_first;
        const qsizetype to = std::min<qsizetype>(last - m_first, m_rows - 1);
        if (from <= to)
            emit dataChanged(index(int(from), 0), index(int(to), ColumnCount - 1));
    }
}

void TransactionsModel::fitRows()
{
    const int want = int(std::clamp<qsizetype>(m_total - m_first, 0, m_window));
    if (want > m_rows) {
        beginInsertRows(QModelIndex(), m_rows, want - 1);
        m_rows = want;
        endInsertRows();
    } else if (want < m_rows) {
        beginRemoveRows(QModelIndex(), want, m_rows - 1);
        m_rows = want;
        endRemoveRows();
    }
}

void TransactionsModel::setFirst(qsizetype row)
{
    row = std::clamp<qsizetype>(row, 0, std::max<qsizetype>(0, m_total - 1));
    if (row == m_first)
        return;
    m_first = row;
    fitRows();
    if (m_rows > 0)
        emit dataChanged(index(0, 0), index(m_rows - 1, ColumnCount - 1));
}

void TransactionsModel::setWindowSize(int rows)
{
    rows = std::max(rows, 1);
    if (rows == m_window)
        return;
    m_window = rows;
    fitRows();
}

std::pair<qint64, qint64> TransactionsModel::rangeOf(qsizetype row) const
{
    TransactionLog::Row r;
    if (!m_log.row(row, &r))
        return {-1, -1};
    return {r.from, r.to};
}

QString TransactionsModel::explain(qsizetype row) const
{
    const Texts *t = textsOf(row);
    return t ? t->tip : QString();
}

const TransactionsModel::Texts *TransactionsModel::textsOf(qsizetype row) const
{
    if (row < 0 || row >= m_total)
        return nullptr;
    if (const Texts *cached = m_cache.object(row))
        return cached;
    auto *t = new Texts;
    TransactionLog::Row r;
    if (!m_log.row(row, &r)) {
        t->cells[Command] = QStringLiteral("(cannot be read back)");
        t->failed = true;
        m_cache.insert(row, t);
        return t;
    }
    const TransactionLog::Details d = m_log.details(row);
    t->cells[Time] = QDateTime::fromMSecsSinceEpoch(r.atMs).toString(QStringLiteral("HH:mm:ss.zzz"));
    Decoded decoded;
    if (r.kind == TransactionLog::Kind::Urc) {
        t->urc = true;
        t->cells[Unsolicited] = FromCodePage936(d.urc).replace(QLatin1Char('\n'), QStringLiteral(" | "));
        decoded = DecodeTransaction({}, d.urc.split('\n'), {});
    } else {
        t->cells[Command] = FromCodePage936(d.command);
        t->cells[Echo] = d.echoed ? QStringLiteral("yes") : QStringLiteral("no");
        QStringList reply;
        for (const QByteArray &line : d.info)
            reply << FromCodePage936(line);
        t->cells[Reply] = reply.join(QStringLiteral(" | "));
        decoded = DecodeTransaction(d.command, d.info,
                                    d.final.code == AtFinalResult::Code::Prompt ? QByteArray() : d.final.text);
        if (d.final.code != AtFinalResult::Code::None) {
            QString result = FromCodePage936(d.final.text);
            if (d.final.code == AtFinalResult::Code::Prompt)
                result = QStringLiteral(">");
            for (const char *key : {"cme_error", "cms_error"})
                if (const DecodedField *error = decoded.field(QLatin1String(key)); error && !error->text.isEmpty())
                    result += QStringLiteral(" (") + error->text + QLatin1Char(')');
            t->cells[Result] = result;
            t->failed = !d.final.Succeeded();
        } else {
            t->cells[Result] = r.ended ? QStringLiteral("no result") : QStringLiteral("waiting");
        }
        t->cells[Ms] = r.resultMs >= 0 ? QString::number(r.resultMs) : QString();
    }
    t->cells[Meaning] = OneLine(decoded);
    t->tip = decoded.toText();
    if (!d.complete)
        t->tip += QStringLiteral("\nPart of it cannot be read back from the session log's temporary file.");
    m_cache.insert(row, t);
    return t;
}

QVariant TransactionsModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    const Texts *t = textsOf(m_first + index.row());
    if (!t)
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return t->cells[index.column()];
    case Qt::ToolTipRole:
        return t->tip.isEmpty() ? QVariant() : QVariant(t->tip);
    case Qt::AccessibleDescriptionRole:
        return t->tip;
    case Qt::ForegroundRole:
        if (t->failed && index.column() == Result)
            return QBrush(Qt::red);
        if (t->urc)
            return QBrush(Qt::darkMagenta);
        return {};
    default:
        return {};
    }
}
