#include "widgets/logview.h"

#include "text/gbk.h"
#include "session/sessionlog.h"

#include <cstring>

// The text of the view: lines as stored and as shown, ranges of text, and
// character offsets for accessibility.

namespace {
constexpr qsizetype kCharMarkSpacing = 64 * 1024; // bytes between character-offset marks
}

bool LogView::fetchLine(qsizetype line, QByteArray &out) const
{
    const qsizetype start = m_index.lineStart(line);
    const qsizetype length = m_index.lineLength(line);
    const bool known = m_index.lineKnown(line);
    out.resize(length);
    if (!m_log || length == 0)
        return known;
    char *dst = out.data();
    qsizetype got = 0;
    const bool read = m_log->Visit(start, length, [&](const char *p, qsizetype n) {
        memcpy(dst + got, p, size_t(n));
        got += n;
    });
    out.truncate(got);
    return read && known;
}

bool LogView::fetchStyledLine(qsizetype line, QByteArray &bytes, QList<StyledRun> &runs) const
{
    const bool complete = fetchLine(line, m_lineBuffer);
    const qsizetype n = m_lineBuffer.size();
    const char *raw = m_lineBuffer.constData();
    bytes.resize(n);
    memcpy(bytes.data(), raw, size_t(n));
    runs.clear();
    styleLine(m_index.lineStart(line), bytes, runs);
    if (bytes.size() != n) {
        bytes.resize(n);
        memcpy(bytes.data(), raw, size_t(n));
        return complete;
    }
    if (memcmp(bytes.constData(), raw, size_t(n)) == 0)
        return complete;
    // Keep a rewrite only where a single printable ASCII byte becomes another
    // printable ASCII byte that cannot pair with a lone lead byte before it,
    // so the line keeps its units and cells.
    char *shown = bytes.data();
    bool afterLoneLead = false;
    for (qsizetype i = 0; i < n;) {
        const Gbk::Unit u = Gbk::unitAt(raw + i, n - i);
        if (shown[i] != raw[i]) {
            const uchar now = uchar(shown[i]);
            const bool keep = u.kind == Gbk::Kind::Text && Gbk::isPrintableAscii(uchar(raw[i]))
                              && Gbk::isPrintableAscii(now) && !(afterLoneLead && Gbk::isTrail(now));
            if (!keep)
                shown[i] = raw[i];
        }
        for (int k = 1; k < u.length; ++k)
            shown[i + k] = raw[i + k];
        afterLoneLead = u.kind == Gbk::Kind::Invalid && Gbk::isLead(uchar(raw[i]));
        i += u.length;
    }
    return complete;
}

void LogView::styleLine(qsizetype, QByteArray &, QList<StyledRun> &) const {}

QString LogView::lineText(qsizetype line) const
{
    if (line < 0 || line >= m_index.lineCount())
        return QString();
    QByteArray bytes;
    QList<StyledRun> runs;
    fetchStyledLine(line, bytes, runs);
    QString out;
    const char *p = bytes.constData();
    const qsizetype n = bytes.size();
    qsizetype cells = 0;
    for (qsizetype i = 0; i < n;) {
        const Gbk::Unit u = Gbk::unitAt(p + i, n - i);
        const int w = Gbk::unitCells(u, cells, m_index.tabWidth());
        Gbk::appendDisplay(out, p + i, u, w);
        cells += w;
        i += u.length;
    }
    return out;
}

QString LogView::selectedText() const
{
    return textInRange(selectionStart(), selectionEnd());
}

QString LogView::textInRange(qsizetype from, qsizetype to, bool *complete) const
{
    if (complete)
        *complete = true;
    QString out;
    if (!m_log)
        return out;
    from = std::clamp<qsizetype>(from, 0, m_index.indexedSize());
    to = std::clamp<qsizetype>(to, from, m_index.indexedSize());
    if (from == to)
        return out;
    // One pass, line by line, straight into a buffer of the largest size the
    // text can have (one character per byte at most).
    out.resize(to - from);
    char16_t *const begin = reinterpret_cast<char16_t *>(out.data());
    char16_t *dst = begin;
    QByteArray bytes;
    QList<StyledRun> runs;
    const qsizetype lines = m_index.lineCount();
    for (qsizetype line = m_index.lineAt(from); line < lines; ++line) {
        const qsizetype start = m_index.lineStart(line);
        if (start >= to)
            break;
        if (!fetchStyledLine(line, bytes, runs) && complete)
            *complete = false;
        const qsizetype end = start + bytes.size();
        const qsizetype a = std::max(from, start);
        const qsizetype b = std::min(to, end);
        if (b > a)
            dst += Gbk::decodeInto(dst, bytes.constData() + (a - start), b - a);
        if (m_index.lineBreakLength(line) > 0 && from <= end && to > end)
            *dst++ = u'\n';
    }
    out.resize(dst - begin);
    return out;
}

// Character offsets: marks at line starts every kCharMarkSpacing bytes or so
// hold the decoded length of everything before them, so a conversion decodes
// at most the bytes from the nearest mark.
bool LogView::extendCharMarks() const
{
    if (m_charMarks.empty() || m_charMarksGeneration != m_index.generation()
        || m_charMarks.back().byte > m_index.indexedSize()) {
        m_charMarks.assign(1, CharMark());
        m_charMarksGeneration = m_index.generation();
    }
    const CharMark last = m_charMarks.back();
    const qsizetype target = last.byte + kCharMarkSpacing;
    // Only starts of lines that are followed by another line are final.
    const qsizetype closedLines = m_index.lineCount() - 1;
    if (closedLines <= 0)
        return false;
    qsizetype line = m_index.lineAt(target);
    if (line >= closedLines || m_index.lineStart(line) <= last.byte)
        ++line;
    if (line >= closedLines)
        return false;
    const qsizetype next = m_index.lineStart(line);
    if (next <= last.byte)
        return false;
    const QByteArray bytes = m_log->Slice(last.byte, next - last.byte);
    m_charMarks.push_back({next, last.chars + Gbk::decodedLength(bytes.constData(), bytes.size())});
    return true;
}

const LogView::CharMark &LogView::markBeforeByte(qsizetype bytePos) const
{
    extendCharMarks();
    while (m_charMarks.back().byte + kCharMarkSpacing <= bytePos && extendCharMarks()) {
    }
    auto it = std::upper_bound(m_charMarks.begin(), m_charMarks.end(), bytePos,
                               [](qsizetype v, const CharMark &m) { return v < m.byte; });
    return *(it - 1);
}

qsizetype LogView::charOffsetOf(qsizetype bytePos) const
{
    if (!m_log)
        return 0;
    bytePos = std::clamp<qsizetype>(bytePos, 0, m_index.indexedSize());
    const CharMark m = markBeforeByte(bytePos);
    const QByteArray bytes = m_log->Slice(m.byte, bytePos - m.byte);
    return m.chars + Gbk::decodedLength(bytes.constData(), bytes.size());
}

qsizetype LogView::byteOffsetOf(qsizetype charOffset) const
{
    if (!m_log || charOffset <= 0)
        return 0;
    extendCharMarks();
    while (m_charMarks.back().chars <= charOffset && extendCharMarks()) {
    }
    auto it = std::upper_bound(m_charMarks.begin(), m_charMarks.end(), charOffset,
                               [](qsizetype v, const CharMark &m) { return v < m.chars; });
    const size_t k = size_t(it - m_charMarks.begin()) - 1;
    const CharMark m = m_charMarks[k];
    const qsizetype end = k + 1 < m_charMarks.size() ? m_charMarks[k + 1].byte : m_index.indexedSize();
    const QByteArray bytes = m_log->Slice(m.byte, end - m.byte);
    return m.byte + Gbk::bytesForLength(bytes.constData(), bytes.size(), charOffset - m.chars);
}

qsizetype LogView::characterCount() const
{
    return charOffsetOf(m_index.indexedSize());
}

QString LogView::shownText(qsizetype from, qsizetype to) const
{
    if (!m_log)
        return QString();
    from = std::clamp<qsizetype>(from, 0, m_index.indexedSize());
    to = std::clamp<qsizetype>(to, from, m_index.indexedSize());
    QByteArray bytes = m_log->Slice(from, to - from);
    // Each line's rewrite goes over the stored bytes; line breaks stay as
    // stored, so the text decodes to as many characters as rawText().
    QByteArray line;
    QList<StyledRun> runs;
    const qsizetype lines = m_index.lineCount();
    for (qsizetype l = m_index.lineAt(from); l < lines; ++l) {
        const qsizetype start = m_index.lineStart(l);
        if (start >= to)
            break;
        fetchStyledLine(l, line, runs);
        // Where the bytes stop short (they cannot all be read back), what
        // was read and no more.
        const qsizetype a = std::max(from, start);
        const qsizetype b = std::min({to, start + line.size(), from + bytes.size()});
        if (b > a)
            memcpy(bytes.data() + (a - from), line.constData() + (a - start), size_t(b - a));
    }
    return Gbk::decode(bytes.constData(), bytes.size());
}

QString LogView::rawText(qsizetype from, qsizetype to) const
{
    if (!m_log)
        return QString();
    from = std::clamp<qsizetype>(from, 0, m_index.indexedSize());
    to = std::clamp<qsizetype>(to, from, m_index.indexedSize());
    const QByteArray bytes = m_log->Slice(from, to - from);
    return Gbk::decode(bytes.constData(), bytes.size());
}
